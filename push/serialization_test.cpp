// Frames and messages: the exact sizes and layouts on the wire, the receive
// side's decoders (checksums, ordering, bounds) and the stream reassembly of
// length-prefixed frames split at every byte offset.

#include "push/serialization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "push/byte_order.h"
#include "push/gap_client.h"
#include "push/push_crypto.h"
#include "push/push_settings.h"
#include "sim/push/server_frames.h"

namespace nuv {
namespace {

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Plain(GapPacket& msg) {
  hibuffer b;
  EXPECT_EQ(0, msg.serialize(b));
  return std::string(b.data(), b.length());
}

std::string SessionKey() { return std::string("ABCDEFGHIJKLMNOP") + std::string("qrstuvwxyz012345"); }

// Ciphertext length of a message and its size on the wire (with prefix).
std::pair<size_t, size_t> Sizes(GapPacket& msg) {
  Serialization ser(kPushPublicKey);
  ser.SetKey(SessionKey());
  hibuffer frame;
  EXPECT_EQ(0, ser.write(frame, msg));
  GapClient client(GapClientCallbacks(), "127.0.0.1", 1);
  client.senddata(frame.data(), frame.length());
  return {frame.length(), client.sendBuffer().length()};
}

TEST(GapFrameTest, SizesOnTheWire) {
  HeartBeatReq hb;
  EXPECT_EQ(14u, Plain(hb).size());
  EXPECT_EQ(std::make_pair(size_t{16}, size_t{20}), Sizes(hb));
  ConnectReq conn(1, 2, 3);
  EXPECT_EQ(30u, Plain(conn).size());
  EXPECT_EQ(32u, Sizes(conn).first);
  NotifyRsp ack(9);
  EXPECT_EQ(18u, Plain(ack).size());
  EXPECT_EQ(32u, Sizes(ack).first);
  GapKeyReq key(kInitialGapKey, 0);
  EXPECT_EQ(52u, Plain(key).size());
  EXPECT_EQ(std::make_pair(size_t{128}, size_t{132}), Sizes(key));
}

TEST(GapFrameTest, HeaderLayout) {
  ConnectReq conn(0x0102030405060708ULL, 0x0A0B0C0D, 0x11121314);
  conn.sequence = 0x7F01;
  const std::string p = Plain(conn);
  const auto* u = U8(p);
  EXPECT_EQ(1, u[0]);
  EXPECT_EQ(14, GetU16(u + 1));
  EXPECT_EQ(CMD_CONNECT_REQ, GetU16(u + 3));
  EXPECT_EQ(0x7F01, GetU16(u + 5));
  EXPECT_EQ(16u, GetU32(u + 7));
  EXPECT_EQ(GapChecksum(u + 14, 16), u[11]);
  EXPECT_EQ(conn.randomTag, GetU16(u + 12));
  EXPECT_EQ(0x0102030405060708ULL, GetU64(u + 14));
  EXPECT_EQ(0x0A0B0C0Du, GetU32(u + 22));
  EXPECT_EQ(0x11121314u, GetU32(u + 26));
  HeartBeatReq hb;
  EXPECT_EQ(0, U8(Plain(hb))[11]);  // empty body: checksum 0
}

// Decrypts and decodes a server frame (ciphertext without prefix).
int ReadFrame(const std::string& cipher, std::unique_ptr<GapPacket>* msg,
              const std::string& key = SessionKey()) {
  Serialization ser(kPushPublicKey);
  ser.SetKey(key);
  return ser.read(U8(cipher), cipher.size(), msg);
}

sim::NotifyEntry Item(uint32_t seq) {
  sim::NotifyEntry e;
  e.msgId = 1000 + seq;
  e.sequence = seq;
  e.flag = 1;
  e.payload = "p" + std::to_string(seq);
  return e;
}

TEST(GapFrameTest, ReadsServerMessages) {
  std::unique_ptr<GapPacket> msg;
  ASSERT_EQ(0, ReadFrame(sim::EncodeConnectReply(SessionKey(), 0, 77, 88), &msg));
  auto* rsp = dynamic_cast<ConnectRsp*>(msg.get());
  ASSERT_NE(nullptr, rsp);
  EXPECT_EQ(0u, rsp->getResult());
  EXPECT_EQ(77u, rsp->token);
  EXPECT_EQ(88u, rsp->createtime);

  ASSERT_EQ(0, ReadFrame(sim::EncodeHeartbeat(SessionKey(), true), &msg));
  EXPECT_EQ(CMD_HEARTBEAT_REQ, msg->getCmd());

  // Items 7, 3, 5 come out 3, 5, 7 with their fields and payload copies.
  ASSERT_EQ(0, ReadFrame(sim::EncodeNotify(SessionKey(), {Item(7), Item(3), Item(5)}), &msg));
  auto* notify = dynamic_cast<NotifyReq*>(msg.get());
  ASSERT_NE(nullptr, notify);
  ASSERT_EQ(3u, notify->items.size());
  EXPECT_EQ(3u, notify->items[0].sequence);
  EXPECT_EQ(5u, notify->items[1].sequence);
  EXPECT_EQ(7u, notify->items[2].sequence);
  EXPECT_EQ(1003u, notify->items[0].msgId);
  EXPECT_EQ("p5", notify->items[1].payload);
  EXPECT_EQ(1, notify->items[2].flag);

  // The key reply is read under the initial key.
  const std::string fresh = sim::RandomSessionKey();
  ASSERT_EQ(0, ReadFrame(sim::EncodeKeyReply(fresh), &msg, kInitialGapKey));
  auto* key = dynamic_cast<GapKeyRsp*>(msg.get());
  ASSERT_NE(nullptr, key);
  EXPECT_EQ(fresh, key->key);
  EXPECT_EQ(-1, ReadFrame(sim::EncodeKeyReply(fresh, 1), &msg, kInitialGapKey));
}

TEST(GapFrameTest, UnknownAndClientCommandsYieldNoMessage) {
  for (uint16_t cmd : {uint16_t{CMD_CONNECT_REQ}, uint16_t{CMD_NOTIFY_RSP}, uint16_t{0}, uint16_t{99}}) {
    std::string plain = Plain(*std::make_unique<HeartBeatReq>());
    PutU16(reinterpret_cast<uint8_t*>(&plain[0]) + 3, cmd);
    std::string cipher;
    ASSERT_EQ(0, AesEncrypt(SessionKey().substr(0, 16), SessionKey().substr(16), U8(plain),
                            plain.size(), &cipher));
    std::unique_ptr<GapPacket> msg;
    EXPECT_EQ(0, ReadFrame(cipher, &msg)) << cmd;
    EXPECT_EQ(nullptr, msg) << cmd;
  }
}

TEST(GapFrameTest, ChecksumMismatchFailsTheRead) {
  std::unique_ptr<GapPacket> msg;
  EXPECT_EQ(-1, ReadFrame(sim::EncodeNotify(SessionKey(), {Item(1)}, 1), &msg));
  // A frame under another key never reads as a message. Mostly the read
  // fails (a half-decoded message may still be handed over with the error
  // code); but the header carries a random field, and about one frame in a
  // few hundred decrypts to valid padding and an unknown command, which the
  // reader rightly skips without error and without a message.
  const std::string otherKey = std::string("0123456789abcdef") + std::string("FEDCBA9876543210");
  int failed = 0;
  for (int i = 0; i < 20; ++i) {
    const int rc = ReadFrame(sim::EncodeNotify(otherKey, {Item(1)}), &msg);
    if (rc != 0) ++failed;
    if (rc == 0) {
      EXPECT_EQ(nullptr, msg);
    }
  }
  EXPECT_GT(failed, 0);
}

// Every prefix of a valid plaintext fails cleanly, and a body length that
// claims more than the plaintext holds is refused.
TEST(GapFrameTest, TruncatedPlaintextsAreRejected) {
  std::vector<sim::NotifyEntry> items = {Item(1), Item(2)};
  std::string cipher = sim::EncodeNotify(SessionKey(), items);
  std::string plain;
  ASSERT_EQ(0, AesDecrypt(SessionKey().substr(0, 16), SessionKey().substr(16), U8(cipher),
                          cipher.size(), &plain));
  for (size_t n = 0; n < plain.size(); ++n) {
    NotifyReq req;
    EXPECT_NE(0, req.deserialize(U8(plain), n)) << n;
  }
  NotifyReq whole;
  EXPECT_EQ(0, whole.deserialize(U8(plain), plain.size()));

  // The body length and checksum right, but the inner counts lie.
  auto withBody = [](const std::string& body) {
    hibuffer b;
    HeartBeatReq hb;
    hb.serialize(b);
    std::string p(b.data(), b.length());
    PutU32(reinterpret_cast<uint8_t*>(&p[0]) + 7, static_cast<uint32_t>(body.size()));
    p[11] = static_cast<char>(GapChecksum(U8(body), body.size()));
    return p + body;
  };
  NotifyReq req;
  std::string body("\x00\x02", 2);  // two items announced, none present
  EXPECT_EQ(kGapTruncated, req.deserialize(U8(withBody(body)), withBody(body).size()));
  body = std::string("\x80\x00", 2);  // 32768 items
  EXPECT_EQ(kGapTooLarge, req.deserialize(U8(withBody(body)), withBody(body).size()));
  body = std::string("\x00\x01\x00\x00\x80\x00", 6) + std::string(13, '\0');  // payload 32768
  EXPECT_EQ(kGapTooLarge, req.deserialize(U8(withBody(body)), withBody(body).size()));
  ConnectRsp rsp;
  body = std::string(15, '\0');  // one byte short of a ConnectRsp body
  EXPECT_EQ(kGapTruncated, rsp.deserialize(U8(withBody(body)), withBody(body).size()));
  GapKeyRsp key;
  EXPECT_EQ(kGapTruncated, key.deserialize(U8(std::string(55, '\0')), 55));

  // Too short to hold a command: a failed read, not an unknown command.
  std::string shortCipher;
  AesEncrypt(SessionKey().substr(0, 16), SessionKey().substr(16), U8(plain), 4, &shortCipher);
  std::unique_ptr<GapPacket> msg;
  EXPECT_NE(0, ReadFrame(shortCipher, &msg));
}

// Three frames in one stream, cut into two reads at every byte offset: the
// reassembly yields the same three frames every time.
TEST(FrameScanTest, SplitAtEveryOffset) {
  const std::vector<std::string> bodies = {"first frame", std::string(40, 'x'), ""};
  std::string stream;
  for (const auto& b : bodies) stream += sim::WithLengthPrefix(b);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    hibuffer buf;
    std::vector<std::string> got;
    for (const std::string& piece : {stream.substr(0, cut), stream.substr(cut)}) {
      buf.append(piece);
      size_t off = 0;
      for (;;) {
        const auto* p = reinterpret_cast<const uint8_t*>(buf.data()) + off;
        FrameScan scan = ScanFrame(p, buf.length() - off, 1024);
        ASSERT_NE(FrameScan::kTooLarge, scan.status);
        if (scan.status == FrameScan::kNeedMore) break;
        got.emplace_back(reinterpret_cast<const char*>(p) + 4, scan.bodyLen);
        off += 4 + scan.bodyLen;
      }
      buf.consumeFront(off);
    }
    EXPECT_EQ(bodies, got) << cut;
    EXPECT_EQ(0u, buf.length()) << cut;
  }
  const std::string huge("\x01\x00\x00\x01", 4);
  EXPECT_EQ(FrameScan::kTooLarge, ScanFrame(U8(huge), 4, GapClient::kMaxFrameLen).status);
  EXPECT_EQ(FrameScan::kNeedMore, ScanFrame(U8(huge), 3, GapClient::kMaxFrameLen).status);
}

}  // namespace
}  // namespace nuv
