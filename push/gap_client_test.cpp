// GapClient on real loopback sockets with scripted peers: the connect
// back-off, prompt stops wherever the thread waits, partial sends that keep
// the exact unsent tail, and the frame length ceiling.

#include "push/gap_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "push/byte_order.h"
#include "push/push_socket.h"

namespace nuv {
namespace {

using Ms = std::chrono::milliseconds;

// Records the length of every timed wait, then lets the virtual clock run it.
class RecordingClock : public VirtualClock {
 public:
  RecordingClock() : VirtualClock(Mode::kAuto) {}
  bool WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
               const std::function<bool()>& pred) override {
    {
      std::lock_guard<std::mutex> g(mu);
      waits.push_back(ms);
    }
    return VirtualClock::WaitFor(lk, cv, ms, pred);
  }
  std::vector<uint32_t> Waits() {
    std::lock_guard<std::mutex> g(mu);
    return waits;
  }
  std::mutex mu;
  std::vector<uint32_t> waits;
};

bool PollUntil(const std::function<bool()>& pred, int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + Ms(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(Ms(2));
  }
  return true;
}

// What the callbacks saw; the client is set once it exists.
struct Owner {
  GapClient* client = nullptr;
  std::atomic<int> connects{0};
  std::atomic<int> frames{0};
  std::string queueOnConnect;  // queued as one frame on every connect
};

void OnConnect(void* o) {
  auto* owner = static_cast<Owner*>(o);
  ++owner->connects;
  if (!owner->queueOnConnect.empty())
    owner->client->senddata(owner->queueOnConnect.data(), owner->queueOnConnect.size());
}
void OnFrame(void* o, const uint8_t*, size_t) { ++static_cast<Owner*>(o)->frames; }

GapClientCallbacks Callbacks(Owner* owner) {
  GapClientCallbacks cb;
  cb.owner = owner;
  cb.connect = &OnConnect;
  cb.receive = &OnFrame;
  return cb;
}

class GapClientTest : public ::testing::Test {
 protected:
  void TearDown() override { SetClockForTest(nullptr); }
  test::TempInstallRoot root_;
};

TEST_F(GapClientTest, ConnectBackoffDoublesUpTo900Seconds) {
  RecordingClock clock;
  SetClockForTest(&clock);
  uint16_t port = 0;
  int blocker = net::BindWithoutListen(&port);  // connects to it are refused
  ASSERT_GE(blocker, 0);
  Owner owner;
  {
    GapClient client(Callbacks(&owner), "127.0.0.1", port);
    ASSERT_TRUE(client.Start());
    ASSERT_TRUE(PollUntil([&] { return clock.Waits().size() >= 14; }));
  }
  net::Close(blocker);
  const std::vector<uint32_t> waits = clock.Waits();
  // The 1-second pause before the name lookup, then the back-off.
  const std::vector<uint32_t> expected = {1000,   1000,   2000,   4000,   8000,   16000, 32000,
                                          64000,  128000, 256000, 512000, 900000, 900000, 900000};
  EXPECT_EQ(expected, std::vector<uint32_t>(waits.begin(), waits.begin() + 14));
  EXPECT_EQ(0, owner.connects);
  EXPECT_TRUE(root_.LogContains("connect [127.0.0.1, " + std::to_string(port) + "] fail sleep 512"));
  EXPECT_TRUE(root_.LogContains("Host name : 127.0.0.1"));
}

TEST_F(GapClientTest, UnresolvableHostIsRetriedAfterThePause) {
  RecordingClock clock;
  SetClockForTest(&clock);
  Owner owner;
  GapClient client(Callbacks(&owner), "", 8080);
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(PollUntil([&] { return clock.Waits().size() >= 3; }));
  client.Stop();
  client.Join();
  EXPECT_EQ(1000u, clock.Waits()[1]);
  EXPECT_TRUE(root_.LogContains("gethostbyname fail host == null"));
}

TEST_F(GapClientTest, StopIsPromptDuringALongBackoffSleep) {
  VirtualClock clock(VirtualClock::Mode::kManual);
  SetClockForTest(&clock);
  uint16_t port = 0;
  int blocker = net::BindWithoutListen(&port);
  Owner owner;
  auto client = std::make_unique<GapClient>(Callbacks(&owner), "127.0.0.1", port);
  ASSERT_TRUE(client->Start());
  // Let every sleep end at once until the thread sleeps 256 s.
  ASSERT_TRUE(PollUntil([&] {
    if (root_.LogContains("fail sleep 256")) return true;
    if (clock.Sleepers() == 1) clock.Advance(1000000);
    std::this_thread::sleep_for(Ms(3));
    return false;
  }));
  ASSERT_TRUE(clock.WaitForSleepers(1));
  auto t0 = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, Ms(1000));
  net::Close(blocker);
}

// A scripted peer: accepts one connection at a time.
class RawPeer {
 public:
  RawPeer() { listener_ = net::Listen("127.0.0.1", 0, &port_); }
  ~RawPeer() {
    net::Close(conn_);
    net::Close(listener_);
  }
  uint16_t port() const { return port_; }
  bool AcceptOne(int ms = 5000) {
    return PollUntil(
        [&] {
          int s = net::Accept(listener_);
          if (s < 0) return false;
          net::Close(conn_);
          conn_ = s;
          return true;
        },
        ms);
  }
  bool Write(const std::string& bytes) { return net::SendAll(conn_, bytes.data(), bytes.size()); }
  // Reads until n bytes arrived (bounded in time).
  std::string ReadExactly(size_t n, int ms = 10000) {
    std::string got;
    char buf[65536];
    PollUntil(
        [&] {
          int err = 0;
          for (;;) {
            ssize_t r = net::Recv(conn_, buf, sizeof buf, &err);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
          }
          return got.size() >= n;
        },
        ms);
    return got;
  }

 private:
  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};

TEST_F(GapClientTest, PartialSendsKeepTheExactTail) {
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  RawPeer peer;
  Owner owner;
  // 24 MiB cannot fit the socket buffers while the peer does not read.
  owner.queueOnConnect.resize(24u << 20);
  for (size_t i = 0; i < owner.queueOnConnect.size(); ++i)
    owner.queueOnConnect[i] = static_cast<char>((i * 131) >> 7);
  GapClient client(Callbacks(&owner), "127.0.0.1", peer.port());
  owner.client = &client;
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(peer.AcceptOne());
  ASSERT_TRUE(PollUntil([&] { return root_.LogContains("not write full writelen"); }));
  const size_t total = 4 + owner.queueOnConnect.size();
  const std::string got = peer.ReadExactly(total);
  ASSERT_EQ(total, got.size());
  EXPECT_EQ(owner.queueOnConnect.size(), GetU32(reinterpret_cast<const uint8_t*>(got.data())));
  EXPECT_TRUE(got.compare(4, std::string::npos, owner.queueOnConnect) == 0);
  client.Stop();
  client.Join();
  EXPECT_EQ(1, owner.connects);
}

TEST_F(GapClientTest, OversizedLengthPrefixDropsTheConnection) {
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  RawPeer peer;
  Owner owner;
  GapClient client(Callbacks(&owner), "127.0.0.1", peer.port());
  owner.client = &client;
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(peer.AcceptOne());
  ASSERT_TRUE(peer.Write(std::string("\x01\x00\x00\x01", 4)));  // 16 MiB + 1
  ASSERT_TRUE(peer.AcceptOne());                                // the client came back
  EXPECT_EQ(0, owner.frames);
  EXPECT_TRUE(root_.LogContains("recv frame length 16777217 above limit 16777216, reconnect"));
}

TEST_F(GapClientTest, StopIsPromptWhileHalfAFrameIsHeld) {
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  RawPeer peer;
  Owner owner;
  auto client = std::make_unique<GapClient>(Callbacks(&owner), "127.0.0.1", peer.port());
  owner.client = client.get();
  ASSERT_TRUE(client->Start());
  ASSERT_TRUE(peer.AcceptOne());
  ASSERT_TRUE(peer.Write(std::string("\x00\x00\x00\x64", 4) + "only ten b"));
  ASSERT_TRUE(PollUntil([&] { return client->recvBuffer().length() == 14; }));
  auto t0 = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, Ms(1000));
  EXPECT_EQ(0, owner.frames);
}

}  // namespace
}  // namespace nuv
