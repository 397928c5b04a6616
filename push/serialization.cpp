#include "push/serialization.h"

#include "push/byte_order.h"
#include "push/push_crypto.h"
#include "push/push_log.h"

namespace nuv {

void Serialization::SetKey(const std::string& key) {
  aesKey_ = key.substr(0, 16);
  aesIv_ = key.size() > 16 ? key.substr(16, 16) : std::string();
}

int Serialization::write(hibuffer& out, GapPacket& msg) {
  hibuffer plain;
  int rc = msg.serialize(plain);
  if (rc != 0) return rc;
  const auto* p = reinterpret_cast<const uint8_t*>(plain.data());
  std::string cipher;
  rc = msg.getCmd() == CMD_GAPKEY ? RsaEncrypt(publicKey_, p, plain.length(), &cipher)
                                  : AesEncrypt(aesKey_, aesIv_, p, plain.length(), &cipher);
  if (rc != 0) return rc;
  out.clear();
  out.append(cipher);
  return 0;
}

std::unique_ptr<GapPacket> CreateReceivedMessage(uint16_t cmd) {
  switch (cmd) {
    case CMD_GAPKEY: return std::make_unique<GapKeyRsp>();
    case CMD_CONNECT_RSP: return std::make_unique<ConnectRsp>();
    case CMD_HEARTBEAT_REQ: return std::make_unique<HeartBeatReq>();
    case CMD_HEARTBEAT_RSP: return std::make_unique<HeartBeatRsp>();
    case CMD_NOTIFY_REQ: return std::make_unique<NotifyReq>();
    default: return nullptr;
  }
}

int Serialization::read(const uint8_t* bytes, size_t len, std::unique_ptr<GapPacket>* msg) {
  msg->reset();
  std::string plain;
  int rc = AesDecrypt(aesKey_, aesIv_, bytes, len, &plain);
  if (rc != 0) return rc;
  // The command sits at offset 3; a plaintext too short to hold it is a
  // failed read, not an unknown command.
  if (plain.size() < 5) return kGapTruncated;
  const auto* p = reinterpret_cast<const uint8_t*>(plain.data());
  const uint16_t cmd = GetU16(p + 3);
  *msg = CreateReceivedMessage(cmd);
  if (!*msg) return 0;
  rc = (*msg)->deserialize(p, plain.size());
  if (rc != 0) PushLog("Serialization read deserialize cmd %hu ret %d", cmd, rc);
  return rc;
}

}  // namespace nuv
