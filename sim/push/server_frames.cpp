#include "sim/push/server_frames.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <ctime>
#include <memory>

#include "push/byte_order.h"
#include "push/gap_msg.h"
#include "push/notify_payload.h"
#include "push/push_crypto.h"

namespace nuv {
namespace sim {
namespace {

struct SslFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
  void operator()(BIO* b) const { BIO_free(b); }
};

// Server-direction bodies of the messages the service only reads, and
// client-direction bodies the service only writes.
class ServerConnectRsp : public ConnectRsp {
 public:
  int serializeBody(hibuffer& b) override {
    b.appendU32(result);
    b.appendU64(token);
    b.appendU32(createtime);
    return 0;
  }
};

class ServerNotifyReq : public GapMsg {
 public:
  explicit ServerNotifyReq(const std::vector<NotifyEntry>& items) : items_(items) {}
  uint16_t getCmd() const override { return CMD_NOTIFY_REQ; }
  int serializeBody(hibuffer& b) override {
    b.appendU16(static_cast<uint16_t>(items_.size()));
    for (const NotifyEntry& e : items_) {
      b.appendU16(0);
      b.appendU16(static_cast<uint16_t>(e.payload.size()));
      b.appendU64(e.msgId);
      b.appendU32(e.sequence);
      b.appendU8(e.flag);
      b.append(e.payload);
    }
    return 0;
  }

 private:
  const std::vector<NotifyEntry>& items_;
};

class ServerConnectReq : public ConnectReq {
 public:
  int deserializeBody(const uint8_t* body, size_t len) override {
    ByteReader r(body, len);
    return r.ReadU64(&token) && r.ReadU32(&createtime) && r.ReadU32(&lastSeq) ? 0 : kGapTruncated;
  }
};

class ServerNotifyRsp : public NotifyRsp {
 public:
  int deserializeBody(const uint8_t* body, size_t len) override {
    ByteReader r(body, len);
    return r.ReadU32(&ackSeq) ? 0 : kGapTruncated;
  }
};

std::string Encrypt(const std::string& sessionKey, GapPacket& msg, uint8_t checksumDelta) {
  hibuffer plain;
  msg.serialize(plain);
  if (checksumDelta != 0 && plain.length() > 11) plain.data()[11] += static_cast<char>(checksumDelta);
  std::string cipher;
  AesEncrypt(sessionKey.substr(0, 16), sessionKey.substr(16, 16),
             reinterpret_cast<const uint8_t*>(plain.data()), plain.length(), &cipher);
  return cipher;
}

}  // namespace

int RsaDecrypt(const std::string& privateKeyPem, const uint8_t* data, size_t n, std::string* out) {
  std::unique_ptr<BIO, SslFree> bio(
      BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())));
  std::unique_ptr<EVP_PKEY, SslFree> key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) return -3;
  std::unique_ptr<EVP_PKEY_CTX, SslFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return -4;
  const size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
  if (n == 0 || n % modulus != 0) return -2;
  std::string result;
  for (size_t off = 0; off < n; off += modulus) {
    std::string block(modulus, '\0');
    size_t len = modulus;
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(&block[0]), &len, data + off,
                         modulus) != 1)
      return -1;
    result.append(block, 0, len);
  }
  out->swap(result);
  return 0;
}

std::string RandomSessionKey() {
  std::string key(kSessionKeyLen, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&key[0]), static_cast<int>(key.size())) != 1) {
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>(DrawGapRandom());
  }
  return key;
}

int DecodeKeyRequest(const std::string& privateKeyPem, const uint8_t* frame, size_t len,
                     ClientFrame* out) {
  std::string plain;
  int rc = RsaDecrypt(privateKeyPem, frame, len, &plain);
  if (rc != 0) return rc;
  if (plain.size() < kGapKeyReqLen) return kGapTruncated;
  const auto* p = reinterpret_cast<const uint8_t*>(plain.data());
  out->cmd = GetU16(p + 3);
  if (out->cmd != CMD_GAPKEY) return -5;
  out->key.assign(plain, 12, kSessionKeyLen);
  out->sendTimeMs = uint64_t{GetU32(p + 44)} * 1000 + GetU32(p + 48);
  return 0;
}

int DecodeClientFrame(const std::string& sessionKey, const uint8_t* frame, size_t len,
                      ClientFrame* out) {
  std::string plain;
  int rc = AesDecrypt(sessionKey.substr(0, 16), sessionKey.substr(16, 16), frame, len, &plain);
  if (rc != 0) return rc;
  if (plain.size() < kGapHeaderLen) return kGapTruncated;
  const auto* p = reinterpret_cast<const uint8_t*>(plain.data());
  out->cmd = GetU16(p + 3);
  switch (out->cmd) {
    case CMD_CONNECT_REQ: {
      ServerConnectReq req;
      rc = req.deserialize(p, plain.size());
      out->token = req.token;
      out->createtime = req.createtime;
      out->lastSeq = req.lastSeq;
      return rc;
    }
    case CMD_NOTIFY_RSP: {
      ServerNotifyRsp rsp;
      rc = rsp.deserialize(p, plain.size());
      out->ackSeq = rsp.ackSeq;
      return rc;
    }
    case CMD_HEARTBEAT_REQ: {
      HeartBeatReq req;
      return req.deserialize(p, plain.size());
    }
    case CMD_HEARTBEAT_RSP: {
      HeartBeatRsp rsp;
      return rsp.deserialize(p, plain.size());
    }
    default:
      return -5;
  }
}

std::string EncodeKeyReply(const std::string& newKey, uint8_t checksumDelta) {
  uint8_t plain[kGapKeyRspLen] = {0};
  plain[0] = 1;
  PutU16(plain + 1, static_cast<uint16_t>(kGapKeyRspLen));
  PutU16(plain + 3, CMD_GAPKEY);
  PutU16(plain + 5, DrawGapRandom());
  const auto* key = reinterpret_cast<const uint8_t*>(newKey.data());
  plain[11] = static_cast<uint8_t>(GapChecksum(key, kSessionKeyLen) + checksumDelta);
  const int64_t nowMs = static_cast<int64_t>(::time(nullptr)) * 1000;
  PutU32(plain + 12, static_cast<uint32_t>(nowMs / 1000));
  PutU32(plain + 16, 0);
  PutU32(plain + 20, 0);
  for (size_t i = 0; i < kSessionKeyLen; ++i) plain[24 + i] = key[i];
  const std::string initial(kInitialGapKey);
  std::string cipher;
  AesEncrypt(initial.substr(0, 16), initial.substr(16, 16), plain, sizeof plain, &cipher);
  return cipher;
}

std::string EncodeConnectReply(const std::string& sessionKey, uint32_t result, uint64_t token,
                               uint32_t createtime) {
  ServerConnectRsp rsp;
  rsp.result = result;
  rsp.token = token;
  rsp.createtime = createtime;
  return Encrypt(sessionKey, rsp, 0);
}

std::string EncodeHeartbeat(const std::string& sessionKey, bool request) {
  HeartBeatReq req;
  HeartBeatRsp rsp;
  return request ? Encrypt(sessionKey, req, 0) : Encrypt(sessionKey, rsp, 0);
}

std::string EncodeNotify(const std::string& sessionKey, const std::vector<NotifyEntry>& items,
                         uint8_t checksumDelta) {
  ServerNotifyReq req(items);
  return Encrypt(sessionKey, req, checksumDelta);
}

std::string WithLengthPrefix(const std::string& cipher) {
  uint8_t prefix[4];
  PutU32(prefix, static_cast<uint32_t>(cipher.size()));
  return std::string(reinterpret_cast<const char*>(prefix), 4) + cipher;
}

void AppendTlvHead(std::string* out, uint16_t tag, uint8_t type) {
  uint8_t b[3];
  PutU16(b, tag);
  b[2] = type;
  out->append(reinterpret_cast<const char*>(b), 3);
}

namespace {
void AppendU32(std::string* out, uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  out->append(reinterpret_cast<const char*>(b), 4);
}
}  // namespace

void AppendTlvU32(std::string* out, uint16_t tag, uint32_t v) {
  AppendTlvHead(out, tag, kTlvU32);
  AppendU32(out, v);
}

void AppendTlvU64(std::string* out, uint16_t tag, uint64_t v) {
  AppendTlvHead(out, tag, kTlvU64);
  uint8_t b[8];
  PutU64(b, v);
  out->append(reinterpret_cast<const char*>(b), 8);
}

void AppendTlvString(std::string* out, uint16_t tag, const std::string& s) {
  AppendTlvHead(out, tag, kTlvString);
  AppendU32(out, static_cast<uint32_t>(s.size()));
  out->append(s);
}

void AppendTlvStringList(std::string* out, uint16_t tag, const std::vector<std::string>& list) {
  AppendTlvHead(out, tag, kTlvStringArray);
  AppendU32(out, static_cast<uint32_t>(list.size()));
  for (const std::string& s : list) {
    AppendU32(out, static_cast<uint32_t>(s.size()));
    out->append(s);
  }
}

std::string EncodeNotifyPayload(const OndekoMsgItem& item) {
  std::string out;
  AppendTlvU64(&out, kTagMsgId, item.msg_id);
  AppendTlvString(&out, kTagCurUserId, item.cur_userid);
  AppendTlvString(&out, kTagChatId, item.chatid);
  AppendTlvString(&out, kTagChatName, item.chatname);
  if (!item.to_userid_list.empty()) AppendTlvStringList(&out, kTagToUserIdList, item.to_userid_list);
  if (!item.skip_userid_list.empty())
    AppendTlvStringList(&out, kTagSkipUserIdList, item.skip_userid_list);
  AppendTlvString(&out, kTagContent, item.content);
  if (!item.image_id_list.empty()) AppendTlvStringList(&out, kTagImageIdList, item.image_id_list);
  if (!item.file_id_list.empty()) AppendTlvStringList(&out, kTagFileIdList, item.file_id_list);
  AppendTlvU32(&out, kTagCreateTime, item.create_time);
  AppendTlvU32(&out, kTagMsgType, item.msg_type);
  return out;
}

}  // namespace sim
}  // namespace nuv
