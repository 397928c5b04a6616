#include "im/im_test_env.h"

#include <stdexcept>

#include "common/clock.h"
#include "im/net_socket.h"
#include "processor/processor.h"

namespace nuv {
namespace test {
namespace {

// A free loopback port: bound, read and released again.
uint16_t FreePort() {
  std::string error;
  uint16_t port = 0;
  int fd = net::ListenTcp("127.0.0.1", 0, &port, &error);
  if (fd < 0) throw std::runtime_error(error);
  net::Close(fd);
  return port;
}

}  // namespace

ImTestEnv::ImTestEnv(bool startServer) {
  SetClockForTest(&clock_);
  appPort_ = FreePort();
  fmPort_ = FreePort();
  root_.WriteServiceIni("[im]\nserver_ip = 127.0.0.1\napp_port = " + std::to_string(appPort_) +
                        "\nfilemonitor_port = " + std::to_string(fmPort_) + "\n");
  if (startServer) StartServer();
}

ImTestEnv::~ImTestEnv() {
  if (server_) server_->Stop();
  // The processor's teardown waits on the clock: let it run in auto time.
  VirtualClock fast(VirtualClock::Mode::kAuto);
  SetClockForTest(&fast);
  ReleaseProcessor();
  SetClockForTest(nullptr);
}

void ImTestEnv::StartServer() {
  sim::ImSimServer::Options opt;
  opt.appPort = appPort_;
  opt.fmPort = fmPort_;
  server_ = std::make_unique<sim::ImSimServer>(opt);
  std::string error;
  if (!server_->Start(&error)) throw std::runtime_error(error);
}

bool WaitUntil(const std::function<bool()>& pred, int maxMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace test
}  // namespace nuv
