// The client connection against a bare loopback listener that misbehaves:
// never answers, or hangs up in the middle of a call.
#include "im/im_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/clock.h"
#include "common/sdk_error.h"
#include "common/virtual_clock.h"
#include "im/net_socket.h"

namespace nuv {
namespace {

class SilentServer {
 public:
  SilentServer() {
    std::string err;
    fd_ = net::ListenTcp("127.0.0.1", 0, &port_, &err);
    thread_ = std::thread([this] {
      for (;;) {
        int c = net::AcceptTcp(fd_);
        if (c < 0) return;
        char buf[256];
        while (net::RecvSome(c, buf, sizeof(buf)) > 0) {
          if (hangUp_) break;
        }
        net::Close(c);
      }
    });
  }
  ~SilentServer() {
    net::Shutdown(fd_);
    thread_.join();
    net::Close(fd_);
  }
  uint16_t port() const { return port_; }
  std::atomic<bool> hangUp_{false};

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

uint32_t CallCode(ImConnection& c) {
  try {
    c.Call("Register", WireFields{});
  } catch (const NuvSdkError& e) {
    return e.code();
  }
  return 0;
}

TEST(ImConnection, CallWithoutReplyTimesOutOnTheClock) {
  VirtualClock clock(VirtualClock::Mode::kManual);
  SetClockForTest(&clock);
  SilentServer server;
  ImConnection conn("test");
  conn.SetEndpoint("127.0.0.1", server.port());
  std::atomic<uint32_t> code{1};
  std::thread caller([&] { code = CallCode(conn); });
  clock.AdvanceInSteps(ImConnection::kCallTimeoutMs, ImConnection::kCallSliceMs);
  caller.join();
  EXPECT_EQ(kSdkErrTimeout, code.load());
  SetClockForTest(nullptr);
}

TEST(ImConnection, HangUpFailsTheCallReportsTheLossAndReconnects) {
  SilentServer server;
  server.hangUp_ = true;
  ImConnection conn("test");
  std::atomic<int> lost{0};
  conn.SetHandlers(nullptr, [&](const std::string&) { ++lost; });
  conn.SetEndpoint("127.0.0.1", server.port());
  EXPECT_EQ(kSdkErrServerUnavailable, CallCode(conn));
  for (int i = 0; i < 5000 && lost == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(1, lost.load());
  EXPECT_EQ(kSdkErrServerUnavailable, CallCode(conn));  // connected again, lost again
  // Nobody listening: refused at once.
  conn.Disconnect();
  conn.SetEndpoint("127.0.0.1", 1);
  EXPECT_EQ(kSdkErrServerUnavailable, CallCode(conn));
  EXPECT_FALSE(conn.IsConnected());
}

// Set when the event thread that armed it ends (its thread_local dies).
std::atomic<bool> gEventThreadEnded{false};
struct ThreadEndSignal {
  bool armed = false;
  ~ThreadEndSignal() {
    if (armed) gEventThreadEnded = true;
  }
};
thread_local ThreadEndSignal tEndSignal;

bool WaitReal(const std::function<bool()>& pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

TEST(ImConnection, HandlerThatDestroysItsConnectionEndsTheEventThreadCleanly) {
  // An application stop handler may release the SDK object that owns the
  // connection, so the connection dies on its own event thread. The thread
  // must then end without touching the destroyed object, and events queued
  // behind (they refer to it) must not run.
  auto holder = std::make_unique<ImConnection>("test");
  ImConnection* conn = holder.get();
  std::atomic<bool> laterRan{false};
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> tokenAlive = token;
  std::mutex gate;
  gate.lock();  // holds the event thread until both events are queued
  conn->Post([&] {
    std::lock_guard<std::mutex> g(gate);
    tEndSignal.armed = true;
    holder.reset();
  });
  conn->Post([&laterRan, token] { laterRan = true; });
  token.reset();
  gate.unlock();
  EXPECT_TRUE(WaitReal([&] { return gEventThreadEnded.load(); }));
  EXPECT_FALSE(laterRan.load());
  EXPECT_TRUE(tokenAlive.expired());  // the dropped event was released
}

}  // namespace
}  // namespace nuv
