#include "push/gap_msg.h"

#include <algorithm>
#include <random>

#include "common/clock.h"
#include "push/byte_order.h"
#include "push/push_log.h"

namespace nuv {

const char kInitialGapKey[] = "KQ58207RTMBNZWLPXE-HV61J47KLMPxy";

namespace {
// Item counts and payload lengths travel as uint16 but were always treated
// as signed 16-bit numbers: 32768 and above is refused.
constexpr uint32_t kSigned16Limit = 32768;
constexpr size_t kNotifyItemHead = 17;  // reserved, length, msg id, sequence, flag
}  // namespace

uint16_t DrawGapRandom() {
  thread_local std::minstd_rand gen(static_cast<uint32_t>(GetClock().NowMs()) ^
                                    std::random_device{}());
  return static_cast<uint16_t>(gen() % 32768);
}

uint8_t GapChecksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<uint8_t>(sum);
}

GapPacket::GapPacket() : sequence(DrawGapRandom()) {}

int GapMsg::serialize(hibuffer& b) {
  b.appendU8(version);
  b.appendU16(static_cast<uint16_t>(kGapHeaderLen));
  b.appendU16(getCmd());
  b.appendU16(sequence);
  const size_t p1 = b.length();
  b.appendU32(0);
  const size_t p2 = b.length();
  b.appendU8(0);
  randomTag = DrawGapRandom();
  b.appendU16(randomTag);
  const size_t bodyStart = b.length();
  int rc = serializeBody(b);
  if (rc != 0) return rc;
  const size_t bodyLen = b.length() - bodyStart;
  const uint8_t sum = GapChecksum(reinterpret_cast<const uint8_t*>(b.data()) + bodyStart, bodyLen);
  PutU32(reinterpret_cast<uint8_t*>(b.data()) + p1, static_cast<uint32_t>(bodyLen));
  b.data()[p2] = static_cast<char>(sum);
  return 0;
}

int GapMsg::deserialize(const uint8_t* data, size_t len) {
  if (data == nullptr || len < kGapHeaderLen) return kGapTruncated;
  sequence = GetU16(data + 5);
  const uint32_t bodyLen = GetU32(data + 7);
  const uint8_t checksum = data[11];
  randomTag = GetU16(data + 12);
  if (bodyLen > len - kGapHeaderLen) return kGapTruncated;
  if (GapChecksum(data + kGapHeaderLen, bodyLen) != checksum) {
    PushLog("checksum fail bodylen %d", static_cast<int>(bodyLen));
    return kGapChecksum;
  }
  return deserializeBody(data + kGapHeaderLen, bodyLen);
}

int ConnectReq::serializeBody(hibuffer& b) {
  PushLog("ConnectReq::serializeBody headlen : %d", static_cast<int>(b.length()));
  b.appendU64(token);
  b.appendU32(createtime);
  b.appendU32(lastSeq);
  PushLog("ConnectReq::serializeBody alllen : %d", static_cast<int>(b.length()));
  return 0;
}

int ConnectRsp::deserializeBody(const uint8_t* body, size_t len) {
  ByteReader r(body, len);
  if (!r.ReadU32(&result) || !r.ReadU64(&token) || !r.ReadU32(&createtime)) return kGapTruncated;
  return 0;
}

int NotifyReq::deserializeBody(const uint8_t* body, size_t len) {
  items.clear();
  ByteReader r(body, len);
  uint16_t count = 0;
  if (!r.ReadU16(&count)) return kGapTruncated;
  if (count >= kSigned16Limit) return kGapTooLarge;
  if (count > r.remaining() / kNotifyItemHead) return kGapTruncated;
  const int64_t now = GetClock().Now();
  items.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    NotifyItem item;
    uint16_t payloadLen = 0;
    if (!r.Skip(2) || !r.ReadU16(&payloadLen)) return kGapTruncated;
    if (payloadLen >= kSigned16Limit) return kGapTooLarge;
    if (!r.ReadU64(&item.msgId) || !r.ReadU32(&item.sequence) || !r.ReadU8(&item.flag) ||
        !r.ReadBytes(payloadLen, &item.payload))
      return kGapTruncated;
    item.receiveTime = now;
    items.push_back(std::move(item));
  }
  std::stable_sort(items.begin(), items.end(),
                   [](const NotifyItem& a, const NotifyItem& b) { return a.sequence < b.sequence; });
  return 0;
}

int NotifyRsp::serializeBody(hibuffer& b) {
  b.appendU32(ackSeq);
  return 0;
}

int GapKeyReq::serialize(hibuffer& b) {
  if (key.size() != kSessionKeyLen) return kGapTruncated;
  b.appendU8(version);
  b.appendU16(static_cast<uint16_t>(kGapKeyReqLen));
  b.appendU16(CMD_GAPKEY);
  b.appendU16(sequence);
  b.appendU32(0);
  b.appendU8(0);
  b.append(key);
  b.appendU32(static_cast<uint32_t>(sendTimeMs / 1000));
  b.appendU32(static_cast<uint32_t>(sendTimeMs % 1000));
  return 0;
}

int GapKeyRsp::deserialize(const uint8_t* data, size_t len) {
  if (data == nullptr || len < kGapKeyRspLen) return kGapTruncated;
  version = data[0];
  cmd = GetU16(data + 3);
  sequence = GetU16(data + 5);
  checksum = data[11];
  serverTimeMs = uint64_t{GetU32(data + 12)} * 1000 + GetU32(data + 16);
  value = GetU32(data + 20);
  key.assign(reinterpret_cast<const char*>(data + 24), kSessionKeyLen);
  return GapChecksum(data + 24, kSessionKeyLen) == checksum ? 0 : kGapChecksum;
}

}  // namespace nuv
