#pragma once
// BridgeRig: one whole bridge on loopback for the end-to-end tests. It lays
// out a temporary installation root with a copy of the real nuv4ondeko,
// starts ondeko_sim (cloud + push) and nuv_im_sim as separate programs,
// writes service.ini and qy.ini from what they report, registers the
// executable and runs it as a console watchdog, whose worker does the
// bridging. The helpers drive the simulators' control interfaces and wait
// (bounded) for what must arrive. Owned and used by one test thread; the
// destructor stops every process it started.

#include <json/json.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "service/e2e/e2e_process.h"

namespace nuv {
namespace e2e {

// One control request's outcome: the HTTP status (0 when no answer) and the
// parsed JSON body (null when it was not JSON).
struct ControlAnswer {
  int status = 0;
  std::string body;
  Json::Value json;
  bool ok() const { return status == 200; }
};

ControlAnswer ControlGet(uint16_t port, const std::string& path);
ControlAnswer ControlPost(uint16_t port, const std::string& path, const std::string& body);
std::string ToJsonText(const Json::Value& v);
std::string Sha256Hex(const std::string& data);
std::string Base64Encode(const std::string& data);
std::string Base64Decode(const std::string& text);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with random hexadecimal digits.
std::string NewGuidText();

struct RigOptions {
  // Text of Config/generalconf.ini. The default keeps every limit but maxcpu
  // at 99: the CPU limit is machine-wide, and a test machine busy with
  // builds and other tests must not end the worker under test.
  std::string generalconf = "0;0;0;0;99;0;0;0;";
  std::string cloudExtra;   // lines added to service.ini [cloud]
  std::string iniExtra;     // sections added at the end of service.ini
  bool writeServiceIni = true;
  bool writeQyIni = true;
  // service.ini [status] listen: any free loopback port by default, so that
  // parallel runs never meet; "" turns the worker's status endpoint off.
  std::string statusListen = "127.0.0.1:0";
};

class BridgeRig {
 public:
  explicit BridgeRig(RigOptions options = RigOptions());
  ~BridgeRig();
  BridgeRig(const BridgeRig&) = delete;
  BridgeRig& operator=(const BridgeRig&) = delete;

  // Starts both simulators, seeds the IM users (alice, bob, carol online)
  // and writes the settings files the options ask for. False with a reason.
  bool StartSimulators(std::string* why);
  // The IM simulator stops (SIGTERM, as its operator stops the server); its
  // records go with it. RestartImSimulator starts a new one on the same
  // ports and installation directory with the same users.
  void StopImSimulator();
  bool RestartImSimulator(std::string* why);
  // Writes service.ini / qy.ini for the running simulators.
  void WriteServiceIni();
  void WriteQyIni();
  // -RegServer, then the bare executable as a console watchdog.
  bool StartWatchdog(std::string* why);
  // Simulators started, watchdog started, bridge up: all three or false.
  bool StartAll(std::string* why, double upSeconds = 20);
  // The IM application and file monitor are started, a push client is
  // established and a token has been bound since the call.
  bool WaitBridgeUp(double maxSeconds);

  Subprocess& watchdog() { return *watchdog_; }
  // Worker pids in start order, from the watchdog's log lines.
  std::vector<pid_t> WorkerPids() const;
  pid_t LastWorker() const;
  // Waits until a worker other than old has started and returns it (0 when
  // none within maxSeconds).
  pid_t WaitNewWorker(pid_t old, double maxSeconds);

  // Control interfaces.
  uint16_t cloudControl() const { return cloudControl_; }
  uint16_t imControl() const { return imControl_; }
  ControlAnswer Cloud(const std::string& path) { return ControlGet(cloudControl_, path); }
  ControlAnswer CloudPost(const std::string& path, const Json::Value& body) {
    return ControlPost(cloudControl_, path, ToJsonText(body));
  }
  ControlAnswer Im(const std::string& path) { return ControlGet(imControl_, path); }
  ControlAnswer ImPost(const std::string& path, const Json::Value& body) {
    return ControlPost(imControl_, path, ToJsonText(body));
  }

  // An IM user's message (POST /send); retried while the IM answers that the
  // application is not started, up to maxSeconds. The message key, or "".
  std::string ImUserSends(const std::string& from, const std::vector<std::string>& to,
                          const std::string& text, const Json::Value& files = Json::Value(),
                          double maxSeconds = 40);
  // A cloud user's message (POST /messages, announced on the push
  // connection unless announce is false). The message id, or 0.
  uint64_t CloudUserSends(const std::string& from, const std::vector<std::string>& to,
                          const std::string& text, Json::Value extra = Json::Value(),
                          bool announce = true);
  // A media file put on the cloud side; its media id.
  std::string CloudPutMedia(const std::string& name, const std::string& data, bool image);

  // Messages the cloud received by send_msg / the IM received by SendMessage,
  // SendSysMessage and SendFile that satisfy match.
  Json::Value CloudSent(const std::function<bool(const Json::Value&)>& match);
  Json::Value ImMessages(const std::function<bool(const Json::Value&)>& match);
  Json::Value ImSysMessages(const std::function<bool(const Json::Value&)>& match);
  Json::Value ImSentFiles(const std::function<bool(const Json::Value&)>& match);
  // Waits until count entries match; the entries (possibly fewer on time-out).
  Json::Value WaitCloudSent(const std::function<bool(const Json::Value&)>& match, double maxSeconds,
                            unsigned count = 1);
  Json::Value WaitImMessages(const std::function<bool(const Json::Value&)>& match,
                             double maxSeconds, unsigned count = 1);
  // Matchers by text.
  static std::function<bool(const Json::Value&)> SentWithContent(const std::string& text);
  static std::function<bool(const Json::Value&)> ImWithText(const std::string& text);

  // One text IM -> cloud and one cloud -> IM, both waited for. Times from
  // each send to its arrival; ok when both arrived within maxSeconds.
  struct RoundTrip {
    bool ok = false;
    double toCloud = -1;
    double toIm = -1;
    double total = -1;  // from the call to the later arrival
  };
  RoundTrip BothWays(const std::string& tag, double maxSeconds = 40);

  const test::TempInstallRoot& root() const { return root_; }
  std::vector<std::string> LogLines() const { return root_.LogLines(); }
  int CountLog(const std::string& needle) const;
  // The watchdog's console output and the log's last lines, for failure
  // messages.
  std::string Diagnostics(size_t lines = 60) const;
  bool WaitLog(const std::string& needle, double maxSeconds, int count = 1) const;
  // token and maxmsgid of Config/generalconf.ini (0 when unreadable).
  // The worker's status endpoint: the port it published in
  // Config/status.addr (0 when none), and a GET there.
  uint16_t StatusPort() const;
  ControlAnswer Status(const std::string& path) const { return ControlGet(StatusPort(), path); }
  uint64_t SavedToken() const;
  uint64_t SavedMaxMsgId() const;
  std::string ExePath() const { return root_.bin() + "nuv4ondeko"; }
  // Runs the installed executable with args (as an operator would, with the
  // rig's environment) and waits up to maxSeconds: its exit code (-1 when it
  // did not end) and what it printed.
  int RunExe(const std::vector<std::string>& args, std::string* output, double maxSeconds = 10);

 private:
  std::string Sim(const std::string& rel) const;
  // Starts nuv_im_sim on the given ports (0: any), reads its ports and seeds
  // the users.
  bool StartImSimulator(uint16_t appPort, uint16_t fmPort, uint16_t controlPort, std::string* why);
  Json::Value Filter(const ControlAnswer& a, const std::function<bool(const Json::Value&)>& m);

  const RigOptions options_;
  test::TempInstallRoot root_;
  std::vector<std::string> env_;
  std::unique_ptr<Subprocess> cloud_;
  std::unique_ptr<Subprocess> im_;
  std::unique_ptr<Subprocess> watchdog_;
  uint16_t cloudControl_ = 0;
  uint16_t pushPort_ = 0;
  uint16_t imControl_ = 0;
  uint16_t imAppPort_ = 0;
  uint16_t imFmPort_ = 0;
  size_t tokensSeen_ = 0;
  int imStarts_ = 0;
  int runs_ = 0;
  std::vector<std::string> outputs_;  // every program's console file, checked at the end
};

}  // namespace e2e
}  // namespace nuv
