#pragma once
// The messages of the push channel and their plaintext layout. Every message
// except the two key-exchange frames starts with a 14-byte header
// (version, header length 14, command, sequence, body length, body checksum,
// random tag), then its body; all integers big-endian. GapKeyReq/GapKeyRsp
// write or read their whole frame themselves. Decoders check every length
// against the plaintext they are given. Message objects are plain values
// owned by whoever built or decoded them; one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "push/hibuffer.h"

namespace nuv {

enum GapCmd : uint16_t {
  CMD_CONNECT_REQ = 1,
  CMD_CONNECT_RSP = 2,
  CMD_HEARTBEAT_REQ = 3,
  CMD_HEARTBEAT_RSP = 4,
  CMD_NOTIFY_REQ = 5,
  CMD_NOTIFY_RSP = 6,
  CMD_GAPKEY = 0x8000,
};

constexpr size_t kGapHeaderLen = 14;
constexpr size_t kGapKeyReqLen = 52;
constexpr size_t kGapKeyRspLen = 56;
constexpr size_t kSessionKeyLen = 32;
// The session key before the key exchange.
extern const char kInitialGapKey[];

// Decoder results besides 0.
enum GapDecodeError {
  kGapChecksum = -1,   // body checksum (or key checksum) mismatch
  kGapTruncated = -2,  // a length or count runs past the plaintext
  kGapTooLarge = -3,   // a count or length of 32768 and above
};

// A fresh pseudo-random value 0..32767 for sequences and random tags (not
// examined by the receiving side).
uint16_t DrawGapRandom();
// Sum of the bytes modulo 256.
uint8_t GapChecksum(const uint8_t* p, size_t n);

class GapPacket {
 public:
  GapPacket();
  virtual ~GapPacket() = default;
  // Appends the whole plaintext frame to b; returns 0 or a negative code.
  virtual int serialize(hibuffer& b) = 0;
  // Reads the message from its decrypted plaintext; 0 or a negative code.
  virtual int deserialize(const uint8_t* data, size_t len) = 0;
  virtual uint16_t getCmd() const = 0;

  uint8_t version = 1;
  uint16_t sequence;
};

class GapMsg : public GapPacket {
 public:
  int serialize(hibuffer& b) override;
  int deserialize(const uint8_t* data, size_t len) override;
  uint16_t getCmd() const override { return 0; }
  virtual int serializeBody(hibuffer& /*b*/) { return 0; }
  virtual int deserializeBody(const uint8_t* /*body*/, size_t /*len*/) { return 0; }

  uint16_t randomTag = 0;
};

class ConnectReq : public GapMsg {
 public:
  ConnectReq(uint64_t token = 0, uint32_t createtime = 0, uint32_t lastSeq = 0)
      : token(token), createtime(createtime), lastSeq(lastSeq) {}
  uint16_t getCmd() const override { return CMD_CONNECT_REQ; }
  int serializeBody(hibuffer& b) override;

  uint64_t token;
  uint32_t createtime;
  uint32_t lastSeq;
};

class ConnectRsp : public GapMsg {
 public:
  uint16_t getCmd() const override { return CMD_CONNECT_RSP; }
  int deserializeBody(const uint8_t* body, size_t len) override;
  uint32_t getResult() const { return result; }

  uint32_t result = 0;
  uint64_t token = 0;
  uint32_t createtime = 0;
};

class HeartBeatReq : public GapMsg {
 public:
  uint16_t getCmd() const override { return CMD_HEARTBEAT_REQ; }
};

class HeartBeatRsp : public GapMsg {
 public:
  uint16_t getCmd() const override { return CMD_HEARTBEAT_RSP; }
};

// One announced message inside a NotifyReq.
struct NotifyItem {
  uint64_t msgId = 0;
  uint32_t sequence = 0;
  uint8_t flag = 0;
  std::string payload;  // private copy of the TLV payload
  int64_t receiveTime = 0;
};

class NotifyReq : public GapMsg {
 public:
  uint16_t getCmd() const override { return CMD_NOTIFY_REQ; }
  // Reads the items and sorts them by sequence, ascending.
  int deserializeBody(const uint8_t* body, size_t len) override;

  std::vector<NotifyItem> items;
};

class NotifyRsp : public GapMsg {
 public:
  explicit NotifyRsp(uint32_t seq = 0) : ackSeq(seq) {}
  uint16_t getCmd() const override { return CMD_NOTIFY_RSP; }
  int serializeBody(hibuffer& b) override;

  uint32_t ackSeq;
};

class GapKeyReq : public GapPacket {
 public:
  GapKeyReq(const std::string& key, uint64_t sendTimeMs) : key(key), sendTimeMs(sendTimeMs) {}
  uint16_t getCmd() const override { return CMD_GAPKEY; }
  int serialize(hibuffer& b) override;
  int deserialize(const uint8_t*, size_t) override { return 0; }

  std::string key;  // 32 bytes
  uint64_t sendTimeMs;
};

class GapKeyRsp : public GapPacket {
 public:
  uint16_t getCmd() const override { return CMD_GAPKEY; }
  int serialize(hibuffer&) override { return 0; }
  // 0 when the key bytes sum to the checksum byte, else kGapChecksum.
  int deserialize(const uint8_t* data, size_t len) override;

  uint16_t cmd = 0;
  uint8_t checksum = 0;
  uint64_t serverTimeMs = 0;
  uint32_t value = 0;
  std::string key;  // 32 bytes
};

}  // namespace nuv
