#pragma once
// BridgeTestEnv: the whole bridge in one test process. It starts the
// outside world on ephemeral loopback ports -- the cloud simulator (HTTPS API,
// upload proxy, media store), its push server (every cloud message created
// is announced on it), the IM server simulator and the IM server's directory
// database -- lays out a temporary installation root whose service.ini and
// qy.ini point at them, installs a virtual clock that runs at a steady pace
// (below), and runs the real process-wide processor wired by WireWorker.
// Tests then make things happen on either side and wait, bounded in real
// time, for what arrived where.
//
// Time: a manual VirtualClock that a pacing thread moves forward by
// Options::paceStepMs every Options::paceRealMs of real time (5x real time
// by default). Pure auto mode does not work where real network I/O happens:
// every idle loop's sleep jumps the clock at once, so a 60 s reply time-out
// on a real socket would pass in microseconds. The steady pace keeps
// virtual time-outs far longer than loopback round trips while the
// processor's long pauses (10 s retries, 2 s passes) pass quickly.
// Advance() jumps further for tests of long timers.
//
// One per process: the IM connector's single instance (CAppManager) keeps
// the ports and directories of the first environment, so a second one in the
// same process is refused (std::logic_error). ctest runs every test case in
// its own process.
//
// Owned by the test thread; the wait and action helpers are called from it.
// The push-callback records are written by the push thread under their own
// lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "im/wire_codec.h"
#include "sim/cloud/sim_cloud.h"
#include "sim/im/im_sim_server.h"

namespace nuv {

class CNuv4OndekoProcessor;
struct OndekoMsgItem;

namespace sim {
class PushServer;
class ImDirectoryDb;
}  // namespace sim

namespace test {

class BridgeTestEnv {
 public:
  // Default bound of the waits, in real milliseconds (generous for the
  // sanitizer build on a loaded machine).
  static constexpr int kWaitMs = 20000;

  struct Options {
    // Begin the processor's start at the end of the constructor. false: the
    // test adjusts the wiring (processor().Seams(), Handlers()) and calls
    // Start() itself.
    bool start = true;
    // Appended to the generated service.ini (extra sections or keys).
    std::string extraServiceIni;
    // Written as Config/generalconf.ini before the processor exists ("" =
    // none: the configuration center's defaults).
    std::string generalConf;
    // Virtual milliseconds added every paceRealMs real milliseconds.
    int64_t paceStepMs = 10;
    int paceRealMs = 2;
  };

  // Starts the simulators, writes the configuration, installs the clock,
  // wires the processor and (Options::start) begins its start. Throws
  // std::runtime_error when a simulator cannot start.
  BridgeTestEnv();
  explicit BridgeTestEnv(Options options);
  // Shuts the processor down (in fast virtual time), stops the simulators,
  // restores the system clock and removes the installation root.
  ~BridgeTestEnv();
  BridgeTestEnv(const BridgeTestEnv&) = delete;
  BridgeTestEnv& operator=(const BridgeTestEnv&) = delete;

  // Begins the processor's start (idempotent).
  void Start();
  // Shuts the processor down now (END, its cleanup, every thread joined) in
  // fast virtual time, the simulators still up, so a test can see what the
  // shutdown did. The destructor does it too.
  void StopProcessor();

  // ---- the parts ----
  CNuv4OndekoProcessor& processor();
  sim::SimCloud& cloud() { return *cloud_; }
  sim::PushServer& push() { return *push_; }
  sim::ImSimServer& im() { return *im_; }
  sim::ImDirectoryDb& imdb() { return *imdb_; }
  TempInstallRoot& root() { return root_; }
  VirtualClock& clock() { return clock_; }
  // The IM server's installation directory ([im] install_dir).
  std::string imInstallDir() const { return root_.root() + "/imserver"; }

  // ---- making things happen ----
  // Creates a message on the cloud side; the push server announces it.
  // Returns its msg_id.
  uint64_t CreateCloudMessage(const sim::SimCloudMessage& m);
  // Creates a message the push server does not announce (it is only served
  // by fetch_msg), for a gap in the ids. Returns its msg_id. Test thread only.
  uint64_t CreateCloudMessageUnannounced(const sim::SimCloudMessage& m);
  // Stores a file in the cloud's media store; returns its media_id.
  std::string PutCloudMedia(const std::string& name, const std::string& data, const std::string& type = "file");
  // A user of the IM types a message (one message-received event per
  // receiver copy). False (reason in *keyOrError) when the application is
  // not started at the IM simulator.
  bool RaiseImMessage(const sim::ImSimServer::UserMessage& m, std::string* keyOrError = nullptr,
                      std::vector<std::string>* fids = nullptr);
  // Moves virtual time forward at once (besides the steady pace).
  void Advance(int64_t ms) { clock_.Advance(ms); }
  // Moves virtual time forward by stepMs every realPauseMs real milliseconds
  // (besides the steady pace) until cond holds; false after maxRealMs. For
  // minutes of virtual time in a second or two: keep stepMs well below the
  // virtual time-outs of the exchanges in flight (30 s for an IM call, 10 s
  // for a restart report).
  bool AdvanceUntil(const std::function<bool()>& cond, int64_t stepMs = 1000, int realPauseMs = 5,
                    int maxRealMs = kWaitMs);

  // ---- waiting for what arrived where (bounded, real time) ----
  // True once cond held (polled about every 2 ms); false after maxRealMs.
  bool WaitUntil(const std::function<bool()>& cond, int maxRealMs = kWaitMs);
  // The processor is in START, the application registered and started at the
  // IM simulator (file monitor too) and a push client established.
  bool WaitForStart(int maxRealMs = kWaitMs);

  // Cloud side. Each waits until at least n records are there and returns
  // all of them (fewer when the wait ran out: assert the size).
  // Requests of an endpoint: "send_msg", "bind_token", "fetch_msg",
  // "cli_report", "set_mute", "media_upload", ...
  std::vector<sim::SimRequest> WaitForCloudRequests(const std::string& endpoint, size_t n,
                                                    int maxRealMs = kWaitMs);
  std::vector<sim::SimSentMessage> WaitForSentMessages(size_t n, int maxRealMs = kWaitMs);  // send_msg
  std::vector<uint64_t> WaitForBoundTokens(size_t n, int maxRealMs = kWaitMs);              // bind_token
  std::vector<std::string> WaitForReports(size_t n, int maxRealMs = kWaitMs);               // cli_report
  // set_mute batches, each a list of (account, mute_status).
  std::vector<std::vector<std::pair<std::string, int>>> WaitForMuteBatches(size_t n, int maxRealMs = kWaitMs);

  // IM side: the calls the bridge made at the IM simulator.
  std::vector<WireFields> WaitForImMessages(size_t n, int maxRealMs = kWaitMs);     // SendMessage
  std::vector<WireFields> WaitForImSysMessages(size_t n, int maxRealMs = kWaitMs);  // SendSysMessage
  std::vector<sim::ImSimServer::SentFile> WaitForImFiles(size_t n, int maxRealMs = kWaitMs);  // SendFile

  // The push callback seams. The environment puts taps in front of the
  // callbacks WireWorker installed: every call is recorded, then passed on.
  std::vector<uint64_t> WaitForTokenCallbacks(size_t n, int maxRealMs = kWaitMs);
  // msg ids of the notify callback's calls, in call order.
  std::vector<uint64_t> WaitForNotifyCallbacks(size_t n, int maxRealMs = kWaitMs);

  // Times the processor asked to end the process (the environment records
  // the request instead of ending the test) and the restart reports asked for.
  int ProcessEndRequests() const;
  std::vector<std::wstring> RebootReports() const;
  // The cloud's cli_report records as they stood at each end request (what
  // had reached the cloud before the process would have ended).
  std::vector<std::vector<std::string>> ReportsAtEndRequests() const;

 private:
  static void TapNotify(uint64_t msgid, OndekoMsgItem* item);
  static int TapToken(uint64_t token);
  void StartPacing(int64_t stepMs, int realMs);
  void StopPacing();
  void Teardown();
  // Throws std::logic_error when an environment already took the process.
  static bool CheckProcessFree();

  const bool processFree_ = CheckProcessFree();  // first: before the root exists
  const Options options_;
  TempInstallRoot root_;
  VirtualClock clock_{VirtualClock::Mode::kManual};
  std::unique_ptr<sim::PushServer> push_;
  std::unique_ptr<sim::SimCloud> cloud_;
  std::unique_ptr<sim::ImDirectoryDb> imdb_;
  std::unique_ptr<sim::ImSimServer> im_;
  bool started_ = false;

  struct Pacer;
  std::unique_ptr<Pacer> pacer_;

  // Guards the records below (push thread writes, test thread reads).
  mutable std::mutex mu_;
  void (*nextNotify_)(uint64_t, OndekoMsgItem*) = nullptr;
  int (*nextToken_)(uint64_t) = nullptr;
  std::vector<uint64_t> tokens_;
  std::vector<uint64_t> notifies_;
  int endRequests_ = 0;
  std::vector<std::wstring> reboots_;
  std::vector<std::vector<std::string>> reportsAtEnd_;
};

}  // namespace test
}  // namespace nuv
