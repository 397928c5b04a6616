// Fuzz target over the push channel's receive-side decoders: the notify
// payload decoder on the raw input, and Serialization::read on the input
// taken as a decrypted plaintext (it is encrypted under a fixed session key
// first, so every input reaches the message decoders). The first input byte
// steers the plaintext towards each command and, when asked, makes the body
// length and checksum consistent so that the body decoders are reached too.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "push/byte_order.h"
#include "push/gap_msg.h"
#include "push/notify_payload.h"
#include "push/push_crypto.h"
#include "push/serialization.h"

namespace {

const std::string kSession = "0123456789ABCDEFfedcba9876543210";
const uint16_t kCommands[] = {nuv::CMD_GAPKEY, nuv::CMD_CONNECT_RSP, nuv::CMD_HEARTBEAT_REQ,
                              nuv::CMD_HEARTBEAT_RSP, nuv::CMD_NOTIFY_REQ, 0x4242};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nuv::OndekoMsgItem item;
  nuv::ParseFromBuffer(&item, data, static_cast<int>(size));
  if (size == 0) return 0;

  const uint8_t steer = data[0];
  std::string plain(reinterpret_cast<const char*>(data + 1), size - 1);
  auto* p = reinterpret_cast<uint8_t*>(&plain[0]);
  if (plain.size() >= 5) nuv::PutU16(p + 3, kCommands[steer % 6]);
  if ((steer & 0x80) && plain.size() >= nuv::kGapHeaderLen) {
    const size_t body = plain.size() - nuv::kGapHeaderLen;
    nuv::PutU32(p + 7, static_cast<uint32_t>(body));
    p[11] = nuv::GapChecksum(p + nuv::kGapHeaderLen, body);
  }
  std::string cipher;
  if (nuv::AesEncrypt(kSession.substr(0, 16), kSession.substr(16), p, plain.size(), &cipher) != 0)
    return 0;
  nuv::Serialization ser;
  ser.SetKey(kSession);
  std::unique_ptr<nuv::GapPacket> msg;
  ser.read(reinterpret_cast<const uint8_t*>(cipher.data()), cipher.size(), &msg);
  // Raw input as ciphertext as well: decryption must refuse or decode it.
  ser.read(data, size, &msg);
  return 0;
}
