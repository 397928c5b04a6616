#pragma once
// Test environment of the IM connector tests: a temporary install root whose
// service.ini points the connector at an in-process IM server simulator on
// ephemeral loopback ports, and a manual virtual clock. One test thread.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "sim/im/im_sim_server.h"

namespace nuv {

class WireFields;

namespace test {

class ImTestEnv {
 public:
  // startServer false: the ports are reserved in service.ini, the server is
  // started later with StartServer (the "server down" case).
  explicit ImTestEnv(bool startServer = true);
  ~ImTestEnv();

  void StartServer();
  // Adds sections to service.ini after the [im] section (a [cloud] section,
  // say) and reloads the settings.
  void AppendServiceIni(const std::string& text);
  sim::ImSimServer& server() { return *server_; }
  // Changes some of the simulator's faults.
  void SetFaults(const std::function<void(sim::ImSimServer::Faults&)>& change);
  // Runs fn on a worker thread and moves virtual time 20 ms whenever some
  // thread sleeps on the clock, at most 20 ms per 4 real milliseconds so that
  // events on loopback keep pace. Bounded to about 24 s of real time.
  void RunInVirtualTime(const std::function<void()>& fn);
  VirtualClock& clock() { return clock_; }
  TempInstallRoot& root() { return root_; }

 private:
  TempInstallRoot root_;
  VirtualClock clock_{VirtualClock::Mode::kManual};
  uint16_t appPort_ = 0;
  uint16_t fmPort_ = 0;
  std::string imIni_;
  std::unique_ptr<sim::ImSimServer> server_;
};

// Polls pred in real time (at most maxMs); true when it turned true.
bool WaitUntil(const std::function<bool()>& pred, int maxMs = 5000);

// What the content of a message sent to the IM server carries, read back the
// way the IM reads it: the data's fields and the text of its body.
struct SentContent {
  std::wstring key, mode, sender, title, initiator, imMessageId, text;
  bool bodyParsed = false;  // the body parsed as a message body
};
// Reads m's "content"; throws what the data's XML loader throws when the
// content is not well-formed.
SentContent ReadSentContent(const WireFields& m);

}  // namespace test
}  // namespace nuv
