#include "service/bridge_test_env.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "common/clock.h"
#include "common/paths.h"
#include "processor/processor.h"
#include "service/worker_wiring.h"
#include "sim/imdb/im_directory_db.h"
#include "sim/push/cloud_push_link.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace test {
namespace {

// The live environment, for the push-callback taps (plain functions by the
// push connection's callback form). Guarded by g_envMu.
std::mutex g_envMu;
BridgeTestEnv* g_env = nullptr;
// Set by the first environment of the process; never cleared.
std::atomic<bool> g_envUsed{false};

// Pace of the clock while the processor shuts down: 20x real time, so its
// 20 s end wait and 3 s pauses pass in about a second while the IM and push
// round trips of the shutdown still fit in their time-outs.
constexpr int64_t kTeardownStepMs = 20;
constexpr int kTeardownRealMs = 1;

template <typename T>
std::vector<T> WaitForCount(BridgeTestEnv& env, size_t n, int maxRealMs, const std::function<std::vector<T>()>& get) {
  std::vector<T> got;
  env.WaitUntil([&] {
    got = get();
    return got.size() >= n;
  }, maxRealMs);
  return got;
}

}  // namespace

// Moves the manual clock forward at a steady pace on its own thread.
struct BridgeTestEnv::Pacer {
  Pacer(VirtualClock& clock, int64_t stepMs, int realMs)
      : thread([this, &clock, stepMs, realMs] {
          while (!stop.load()) {
            clock.Advance(stepMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(realMs));
          }
        }) {}
  ~Pacer() {
    stop = true;
    thread.join();
  }
  std::atomic<bool> stop{false};
  std::thread thread;
};

bool BridgeTestEnv::CheckProcessFree() {
  if (g_envUsed.load()) {
    throw std::logic_error(
        "BridgeTestEnv: one per process (the IM connector keeps the first environment's ports and "
        "directories); run each case in its own process (ctest, --gtest_filter)");
  }
  return true;
}

BridgeTestEnv::BridgeTestEnv() : BridgeTestEnv(Options()) {}

BridgeTestEnv::BridgeTestEnv(Options options) : options_(std::move(options)) {
  SetClockForTest(&clock_);
  StartPacing(options_.paceStepMs, options_.paceRealMs);
  try {
    push_ = std::make_unique<sim::PushServer>();
    if (!push_->Start()) throw std::runtime_error("BridgeTestEnv: the push server did not start");

    sim::SimCloudOptions cloudOptions;
    cloudOptions.dataDir = root_.root() + "/cloudsim";
    if (!MakeDirs(cloudOptions.dataDir)) throw std::runtime_error("BridgeTestEnv: cannot create " + cloudOptions.dataDir);
    cloudOptions.control = false;  // tests drive it through its methods
    cloud_ = std::make_unique<sim::SimCloud>(cloudOptions);
    if (!cloud_->Start()) throw std::runtime_error("BridgeTestEnv: cloud simulator: " + cloud_->LastError());
    sim::AnnounceCloudMessages(*cloud_, *push_);

    std::string error;
    imdb_ = sim::ImDirectoryDb::Create(imInstallDir(), error);
    if (!imdb_) throw std::runtime_error("BridgeTestEnv: IM directory database: " + error);
    im_ = std::make_unique<sim::ImSimServer>();
    if (!im_->Start(&error)) throw std::runtime_error("BridgeTestEnv: IM simulator: " + error);

    root_.WriteServiceIni(cloud_->ServiceIniSection() +                                       //
                          "[push]\nhost = 127.0.0.1\nport = " + std::to_string(push_->port()) +  //
                          "\n[im]\nserver_ip = 127.0.0.1\napp_port = " + std::to_string(im_->appPort()) +
                          "\nfilemonitor_port = " + std::to_string(im_->fmPort()) +
                          "\ninstall_dir = " + imInstallDir() + "\n" + options_.extraServiceIni);
    WriteWholeFile(root_.config() + "qy.ini", cloud_->QyIniText());
    if (!options_.generalConf.empty()) WriteWholeFile(root_.config() + "generalconf.ini", options_.generalConf);
  } catch (...) {
    Teardown();
    throw;
  }

  // From here on the process-wide instances take this environment's settings.
  g_envUsed = true;
  CNuv4OndekoProcessor& p = processor();
  WireWorker(p);
  ProcessorSeams& seams = p.Seams();
  {
    std::lock_guard<std::mutex> g(mu_);
    nextNotify_ = seams.onNotify;
    nextToken_ = seams.onToken;
  }
  {
    std::lock_guard<std::mutex> g(g_envMu);
    g_env = this;
  }
  seams.onNotify = &BridgeTestEnv::TapNotify;
  seams.onToken = &BridgeTestEnv::TapToken;
  // A fatal condition is recorded, not allowed to end the test process. The
  // restart report still goes wherever the wiring sends it.
  seams.exitProcess = [this](int) {
    std::vector<std::string> reports = cloud_->Reports();
    std::lock_guard<std::mutex> g(mu_);
    ++endRequests_;
    reportsAtEnd_.push_back(std::move(reports));
  };
  auto report = seams.reportReboot;
  seams.reportReboot = [this, report](const std::wstring& code) {
    {
      std::lock_guard<std::mutex> g(mu_);
      reboots_.push_back(code);
    }
    return report ? report(code) : 0;
  };
  if (options_.start) Start();
}

BridgeTestEnv::~BridgeTestEnv() { Teardown(); }

void BridgeTestEnv::StopProcessor() {
  StopPacing();
  StartPacing(kTeardownStepMs, kTeardownRealMs);
  ReleaseProcessor();
}

void BridgeTestEnv::Teardown() {
  StopProcessor();
  if (im_) im_->Stop();
  if (push_) push_->Stop();
  if (cloud_) cloud_->Stop();
  // The IM connection's loss may have looked the processor up again.
  ReleaseProcessor();
  {
    std::lock_guard<std::mutex> g(g_envMu);
    if (g_env == this) g_env = nullptr;
  }
  StopPacing();
  SetClockForTest(nullptr);
  im_.reset();
  imdb_.reset();
  cloud_.reset();
  push_.reset();
}

void BridgeTestEnv::StartPacing(int64_t stepMs, int realMs) {
  pacer_ = std::make_unique<Pacer>(clock_, stepMs, realMs);
}

void BridgeTestEnv::StopPacing() { pacer_.reset(); }

void BridgeTestEnv::Start() {
  if (started_) return;
  started_ = true;
  processor().Init();
  processor().BeginStart();
}

CNuv4OndekoProcessor& BridgeTestEnv::processor() { return *GetProcessor(); }

void BridgeTestEnv::TapNotify(uint64_t msgid, OndekoMsgItem* item) {
  void (*next)(uint64_t, OndekoMsgItem*) = nullptr;
  {
    std::lock_guard<std::mutex> g(g_envMu);
    if (!g_env) return;
    std::lock_guard<std::mutex> g2(g_env->mu_);
    g_env->notifies_.push_back(msgid);
    next = g_env->nextNotify_;
  }
  if (next) next(msgid, item);
}

int BridgeTestEnv::TapToken(uint64_t token) {
  int (*next)(uint64_t) = nullptr;
  {
    std::lock_guard<std::mutex> g(g_envMu);
    if (!g_env) return 0;
    std::lock_guard<std::mutex> g2(g_env->mu_);
    g_env->tokens_.push_back(token);
    next = g_env->nextToken_;
  }
  return next ? next(token) : 0;
}

uint64_t BridgeTestEnv::CreateCloudMessage(const sim::SimCloudMessage& m) { return cloud_->CreateMessage(m); }

uint64_t BridgeTestEnv::CreateCloudMessageUnannounced(const sim::SimCloudMessage& m) {
  cloud_->SetMessageCreatedHook(nullptr);
  const uint64_t id = cloud_->CreateMessage(m);
  sim::AnnounceCloudMessages(*cloud_, *push_);
  return id;
}

std::string BridgeTestEnv::PutCloudMedia(const std::string& name, const std::string& data, const std::string& type) {
  return cloud_->PutMedia(name, data, type);
}

bool BridgeTestEnv::RaiseImMessage(const sim::ImSimServer::UserMessage& m, std::string* keyOrError,
                                   std::vector<std::string>* fids) {
  std::string key;
  std::vector<std::string> ids;
  bool ok = im_->UserSend(m, &key, &ids);
  if (keyOrError) *keyOrError = key;
  if (fids) *fids = ids;
  return ok;
}

bool BridgeTestEnv::WaitUntil(const std::function<bool()>& cond, int maxRealMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxRealMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool BridgeTestEnv::AdvanceUntil(const std::function<bool()>& cond, int64_t stepMs, int realPauseMs,
                                 int maxRealMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxRealMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    clock_.Advance(stepMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(realPauseMs));
  }
  return true;
}

bool BridgeTestEnv::WaitForStart(int maxRealMs) {
  return WaitUntil([this] {
    const sim::ImSimServer::AppState app = im_->State();
    return processor().GetStatus() == CNuv4OndekoProcessor::START && app.registered && app.started &&
           app.fmStarted && push_->Stats().established > 0;
  }, maxRealMs);
}

std::vector<sim::SimRequest> BridgeTestEnv::WaitForCloudRequests(const std::string& endpoint, size_t n,
                                                                 int maxRealMs) {
  return WaitForCount<sim::SimRequest>(*this, n, maxRealMs, [&] {
    std::vector<sim::SimRequest> out;
    for (auto& r : cloud_->Requests())
      if (r.endpoint == endpoint) out.push_back(std::move(r));
    return out;
  });
}

std::vector<sim::SimSentMessage> BridgeTestEnv::WaitForSentMessages(size_t n, int maxRealMs) {
  return WaitForCount<sim::SimSentMessage>(*this, n, maxRealMs, [&] { return cloud_->SentMessages(); });
}

std::vector<uint64_t> BridgeTestEnv::WaitForBoundTokens(size_t n, int maxRealMs) {
  return WaitForCount<uint64_t>(*this, n, maxRealMs, [&] { return cloud_->BoundTokens(); });
}

std::vector<std::string> BridgeTestEnv::WaitForReports(size_t n, int maxRealMs) {
  return WaitForCount<std::string>(*this, n, maxRealMs, [&] { return cloud_->Reports(); });
}

std::vector<std::vector<std::pair<std::string, int>>> BridgeTestEnv::WaitForMuteBatches(size_t n, int maxRealMs) {
  return WaitForCount<std::vector<std::pair<std::string, int>>>(*this, n, maxRealMs,
                                                                [&] { return cloud_->MuteBatches(); });
}

std::vector<WireFields> BridgeTestEnv::WaitForImMessages(size_t n, int maxRealMs) {
  return WaitForCount<WireFields>(*this, n, maxRealMs, [&] { return im_->Messages(); });
}

std::vector<WireFields> BridgeTestEnv::WaitForImSysMessages(size_t n, int maxRealMs) {
  return WaitForCount<WireFields>(*this, n, maxRealMs, [&] { return im_->SysMessages(); });
}

std::vector<sim::ImSimServer::SentFile> BridgeTestEnv::WaitForImFiles(size_t n, int maxRealMs) {
  return WaitForCount<sim::ImSimServer::SentFile>(*this, n, maxRealMs, [&] { return im_->SentFiles(); });
}

std::vector<uint64_t> BridgeTestEnv::WaitForTokenCallbacks(size_t n, int maxRealMs) {
  return WaitForCount<uint64_t>(*this, n, maxRealMs, [&] {
    std::lock_guard<std::mutex> g(mu_);
    return tokens_;
  });
}

std::vector<uint64_t> BridgeTestEnv::WaitForNotifyCallbacks(size_t n, int maxRealMs) {
  return WaitForCount<uint64_t>(*this, n, maxRealMs, [&] {
    std::lock_guard<std::mutex> g(mu_);
    return notifies_;
  });
}

int BridgeTestEnv::ProcessEndRequests() const {
  std::lock_guard<std::mutex> g(mu_);
  return endRequests_;
}

std::vector<std::wstring> BridgeTestEnv::RebootReports() const {
  std::lock_guard<std::mutex> g(mu_);
  return reboots_;
}

std::vector<std::vector<std::string>> BridgeTestEnv::ReportsAtEndRequests() const {
  std::lock_guard<std::mutex> g(mu_);
  return reportsAtEnd_;
}

}  // namespace test
}  // namespace nuv
