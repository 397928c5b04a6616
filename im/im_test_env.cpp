#include "im/im_test_env.h"

#include <atomic>
#include <stdexcept>
#include <thread>

#include "common/clock.h"
#include "common/text_conv.h"
#include "im/msg_body.h"
#include "im/net_socket.h"
#include "im/sdk.h"
#include "im/wire_codec.h"
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
  if (startServer) {
    StartServer();  // on ephemeral ports: no other process can take them first
  } else {
    appPort_ = FreePort();
    fmPort_ = FreePort();
  }
  imIni_ = "[im]\nserver_ip = 127.0.0.1\napp_port = " + std::to_string(appPort_) +
           "\nfilemonitor_port = " + std::to_string(fmPort_) + "\n";
  root_.WriteServiceIni(imIni_);
}

void ImTestEnv::AppendServiceIni(const std::string& text) { root_.WriteServiceIni(imIni_ + text); }

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
  appPort_ = server_->appPort();
  fmPort_ = server_->fmPort();
}

void ImTestEnv::SetFaults(const std::function<void(sim::ImSimServer::Faults&)>& change) {
  sim::ImSimServer::Faults f = server_->GetFaults();
  change(f);
  server_->SetFaults(f);
}

void ImTestEnv::RunInVirtualTime(const std::function<void()>& fn) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    fn();
    done = true;
  });
  // 20 ms of virtual time per 4 ms of real time: a message's 10-second
  // download limit then leaves 2 s of real time for the loopback round trips,
  // enough on a loaded machine (a reply that waits 100 ms for the scheduler
  // must not look like 2 virtual seconds).
  for (int i = 0; i < 6000 && !done; ++i) {
    if (clock_.Sleepers() > 0) clock_.Advance(20);
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
  }
  worker.join();
}

bool WaitUntil(const std::function<bool()>& pred, int maxMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

SentContent ReadSentContent(const WireFields& m) {
  auto data = CreateLocalNUVSData();
  data->LoadXML(Utf8ToWide(m.Get("content")));
  SentContent s;
  s.key = data->GetString(L"Key");
  s.mode = data->GetString(L"Mode");
  s.sender = data->GetString(L"Sender");
  s.title = data->GetString(L"Title");
  s.initiator = data->GetString(L"Initiator");
  s.imMessageId = data->GetString(L"im_message_id");
  std::vector<CQueueFile> files;
  std::vector<std::wstring> names;
  s.bodyParsed = ParseMsgBody(data->GetString(L"Content"), L"/tmp", &s.text, &files, &names);
  return s;
}

}  // namespace test
}  // namespace nuv
