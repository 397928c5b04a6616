#include "push/push_crypto.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>

namespace nuv {
namespace {

constexpr size_t kBlock = 16;

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
  void operator()(BIO* b) const { BIO_free(b); }
};

// Runs AES-128-CBC without OpenSSL's own padding over whole blocks.
int AesCbc(bool encrypt, const std::string& key, const std::string& iv, const uint8_t* in,
           size_t n, uint8_t* out) {
  if (key.size() != kBlock || iv.size() != kBlock) return kCryptoKeySetup;
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return kCryptoKeySetup;
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const auto* v = reinterpret_cast<const unsigned char*>(iv.data());
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, k, v, encrypt ? 1 : 0) != 1)
    return kCryptoKeySetup;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int len = 0, fin = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &len, in, static_cast<int>(n)) != 1) return kCryptoKeySetup;
  if (EVP_CipherFinal_ex(ctx.get(), out + len, &fin) != 1) return kCryptoKeySetup;
  return 0;
}

}  // namespace

int AesEncrypt(const std::string& key, const std::string& iv, const uint8_t* data, size_t n,
               std::string* out) {
  if (data == nullptr && n > 0) return kCryptoNullArgument;
  if (out == nullptr) return kCryptoNullArgument;
  if (iv == key) return kCryptoIvEqualsKey;
  const size_t padded = n / kBlock * kBlock + kBlock;
  const uint8_t pad = static_cast<uint8_t>(padded - n);
  std::string plain(padded, static_cast<char>(pad));
  if (n > 0) plain.replace(0, n, reinterpret_cast<const char*>(data), n);
  std::string cipher(padded, '\0');
  int rc = AesCbc(true, key, iv, reinterpret_cast<const uint8_t*>(plain.data()), padded,
                  reinterpret_cast<uint8_t*>(&cipher[0]));
  if (rc != 0) return rc;
  out->swap(cipher);
  return 0;
}

int AesDecrypt(const std::string& key, const std::string& iv, const uint8_t* data, size_t n,
               std::string* out) {
  if (data == nullptr || out == nullptr) return kCryptoNullArgument;
  if (n < kBlock) return kCryptoTooShort;
  if (n % kBlock != 0) return kCryptoPartialBlock;
  std::string plain(n, '\0');
  int rc = AesCbc(false, key, iv, data, n, reinterpret_cast<uint8_t*>(&plain[0]));
  if (rc != 0) return rc;
  const uint8_t pad = static_cast<uint8_t>(plain.back());
  if (pad == 0 || pad > kBlock) return kCryptoBadPadding;
  plain.resize(n - pad);
  out->swap(plain);
  return 0;
}

std::string PublicKeyPem(const std::string& keyText) {
  if (keyText.find("-----BEGIN") != std::string::npos) return keyText;
  std::string pem = "-----BEGIN PUBLIC KEY-----\n";
  for (size_t i = 0; i < keyText.size(); i += 64) {
    if (i > 0) pem += '\n';
    pem.append(keyText, i, 64);
  }
  pem += "\n-----END PUBLIC KEY-----\n";
  return pem;
}

int RsaEncrypt(const std::string& publicKey, const uint8_t* data, size_t n, std::string* out) {
  if (publicKey.empty() || data == nullptr || out == nullptr) return kCryptoNullArgument;
  const std::string pem = PublicKeyPem(publicKey);
  std::unique_ptr<BIO, CtxFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return kCryptoBadKeyText;
  std::unique_ptr<EVP_PKEY, CtxFree> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) return kCryptoBadKeyText;
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return kCryptoNotRsa;
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return kCryptoChunkFailed;
  const size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
  if (modulus <= 11) return kCryptoNotRsa;
  const size_t chunk = modulus - 11;
  std::string result;
  for (size_t off = 0; off < n; off += chunk) {
    const size_t len = n - off < chunk ? n - off : chunk;
    size_t outLen = modulus;
    std::string block(modulus, '\0');
    if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(&block[0]), &outLen,
                         data + off, len) != 1)
      return kCryptoChunkFailed;
    result.append(block, 0, outLen);
  }
  out->swap(result);
  return 0;
}

}  // namespace nuv
