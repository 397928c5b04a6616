#pragma once
// The push frames seen from the server's side: decoding what the service
// sends (the RSA key request, ConnectReq, NotifyRsp, heartbeats) and
// encoding what the server sends (GapKeyRsp, ConnectRsp, NotifyReq,
// heartbeats), plus the TLV encoder of a notify payload. Built on the
// service's own message classes and crypto, so both sides share one layout.
// Pure functions; any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cloud/ondeko_records.h"

namespace nuv {
namespace sim {

// One item of a NotifyReq as the server announces it.
struct NotifyEntry {
  uint64_t msgId = 0;
  uint32_t sequence = 0;
  uint8_t flag = 0;
  std::string payload;  // TLV-encoded message
};

// What a frame from the service decoded to.
struct ClientFrame {
  uint16_t cmd = 0;
  uint64_t token = 0;       // ConnectReq
  uint32_t createtime = 0;  // ConnectReq
  uint32_t lastSeq = 0;     // ConnectReq
  uint32_t ackSeq = 0;      // NotifyRsp
  std::string key;          // GapKeyReq: the 32 key bytes
  uint64_t sendTimeMs = 0;  // GapKeyReq
};

// RSA-decrypts and decodes a key request. 0, or negative.
int DecodeKeyRequest(const std::string& privateKeyPem, const uint8_t* frame, size_t len,
                     ClientFrame* out);
// AES-decrypts (session key: 32 bytes) and decodes any other frame. 0, or
// negative (bad padding, bad checksum, unknown command, short body).
int DecodeClientFrame(const std::string& sessionKey, const uint8_t* frame, size_t len,
                      ClientFrame* out);

// Encoders return the ciphertext without the length prefix. checksumDelta is
// added to the header's checksum byte (non-zero makes a frame whose checksum
// does not match its body).
std::string EncodeKeyReply(const std::string& newKey, uint8_t checksumDelta = 0);
std::string EncodeConnectReply(const std::string& sessionKey, uint32_t result, uint64_t token,
                               uint32_t createtime);
std::string EncodeHeartbeat(const std::string& sessionKey, bool request);
std::string EncodeNotify(const std::string& sessionKey, const std::vector<NotifyEntry>& items,
                         uint8_t checksumDelta = 0);

// Adds the 4-byte big-endian length prefix.
std::string WithLengthPrefix(const std::string& cipher);

// TLV encoding of a message record, the fields in tag order (lists only when
// non-empty).
std::string EncodeNotifyPayload(const OndekoMsgItem& item);

// Low-level TLV writers (tests build odd payloads with them).
void AppendTlvU32(std::string* out, uint16_t tag, uint32_t v);
void AppendTlvU64(std::string* out, uint16_t tag, uint64_t v);
void AppendTlvString(std::string* out, uint16_t tag, const std::string& s);
void AppendTlvStringList(std::string* out, uint16_t tag, const std::vector<std::string>& list);
void AppendTlvHead(std::string* out, uint16_t tag, uint8_t type);

// RSA PKCS #1 v1.5 decryption with a PEM private key, block by block.
int RsaDecrypt(const std::string& privateKeyPem, const uint8_t* data, size_t n, std::string* out);

// 32 fresh random bytes.
std::string RandomSessionKey();

}  // namespace sim
}  // namespace nuv
