#pragma once
// Frame encryption of the push channel: AES-128-CBC with PKCS #7 padding for
// ordinary frames, RSA PKCS #1 v1.5 public-key encryption for the key
// request. Pure functions over bytes; any thread. Results are 0 or one of the
// negative codes below (callers log them).

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv {

enum PushCryptoError {
  kCryptoChunkFailed = -1,    // RSA: encryption of a chunk failed
  kCryptoNullArgument = -2,   // null data/output, empty RSA key
  kCryptoTooShort = -3,       // AES decrypt: fewer than 16 bytes
  kCryptoBadKeyText = -3,     // RSA: key text not readable as a public key
  kCryptoKeySetup = -4,       // AES key setup failed (also: key not 16 bytes)
  kCryptoNotRsa = -4,         // RSA: the public key holds no RSA key
  kCryptoPartialBlock = -5,   // AES decrypt: length not a multiple of 16
  kCryptoBadPadding = -6,     // AES decrypt: last byte 0 or above 16
  kCryptoIvEqualsKey = -7,    // AES encrypt: IV equal to the key
};

// AES-128-CBC encryption with PKCS #7 padding; key and iv are 16 bytes. The
// ciphertext is (n rounded down to a multiple of 16) + 16 bytes.
int AesEncrypt(const std::string& key, const std::string& iv, const uint8_t* data, size_t n,
               std::string* out);
// Decrypts and strips the padding by the value of the last byte (1 to 16).
int AesDecrypt(const std::string& key, const std::string& iv, const uint8_t* data, size_t n,
               std::string* out);

// RSA PKCS #1 v1.5 encryption under a public key given either as a PEM text
// or as the bare base64 body of one. A plaintext longer than (modulus - 11)
// bytes is cut into chunks, each encrypted into one modulus-sized block.
int RsaEncrypt(const std::string& publicKey, const uint8_t* data, size_t n, std::string* out);

// Wraps a base64 body into PEM: a line feed after every 64 characters and the
// BEGIN/END PUBLIC KEY lines around it. A text that already holds a PEM
// header is returned unchanged.
std::string PublicKeyPem(const std::string& keyText);

}  // namespace nuv
