// The directory sync thread: presence to the cloud once a minute while the
// processor is started, the full directory export on every fifth pass.

#include "processor/sync_thread.h"

#include <utility>

#include "common/bridge_metrics.h"
#include "common/clock.h"
#include "common/func_timer.h"
#include "common/log.h"
#include "directory/sync_dept.h"
#include "processor/processor.h"

namespace nuv {
namespace {

constexpr uint32_t kStartPauseMs = 20000;
constexpr uint32_t kPassPauseMs = 60000;
constexpr uint32_t kNotStartedPollMs = 3000;
constexpr uint32_t kExceptionPauseMs = 5000;
constexpr int kExportEveryPasses = 5;

// The production jobs: one SyncDept for the thread's life, stopped by the
// thread's stop signal (its pauses and cloud transfers end on a stop).
class SyncDeptJobs : public DirectoryJobs {
 public:
  explicit SyncDeptJobs(const StopSignal& stop)
      : sync_(SyncDeptStop{[&stop] { return stop.Requested(); },
                           [&stop](uint32_t ms) { return stop.SleepMs(ms); }}) {}
  int SyncDataToDK(std::string dir, int unused, int32_t& errCode, std::string& errMsg) override {
    return sync_.SyncDataToDK(std::move(dir), unused, errCode, errMsg);
  }
  int SyncOnlineStateToDK(std::string online, std::string offline, std::string away) override {
    return sync_.SyncOnlineStateToDK(std::move(online), std::move(offline), std::move(away));
  }

 private:
  SyncDept sync_;
};

}  // namespace

// The passes run one after another on this thread, so an export is never
// started while the previous one still runs.
void CNuv4OndekoProcessor::SyncOrg2Ondeko(const StopSignal& stop, DirectoryJobs* jobs) {
  SyncDeptJobs own(stop);
  DirectoryJobs& run = jobs ? *jobs : own;

  WriteLogF("Start Sync Dept data to ondeko thread, sync after 20s");
  if (stop.SleepMs(kStartPauseMs)) return;
  int passes = 0;  // keeps its value while the processor is not started
  while (!stop.Requested()) {
    if (m_status.load() != START) {
      stop.SleepMs(kNotStartedPollMs);
      continue;
    }
    try {
      ++passes;
      if (passes % kExportEveryPasses == 0) {
        FuncTimer timer(L"SyncOrg2Ondeko");
        int32_t errCode = 0;
        std::string errMsg;
        const int ret = run.SyncDataToDK(m_configDir, 0, errCode, errMsg);
        // errMsg is the cloud's (UTF-8) or libcurl's text: logged as it is.
        WriteLogF("SyncOrg2Ondeko SyncDataToDK() return %d errcode %d errmsg '%s'", ret, errCode,
                  errMsg.c_str());
        if (ret == 0 && errCode == 0) Metrics().SetDirectorySynced(GetClock().Now());
        if (stop.Requested()) break;
      }
      std::string online, offline, away;
      if (ImApp* app = App()) app->GetPresenceLists(online, offline, away);
      const int ret = run.SyncOnlineStateToDK(std::move(online), std::move(offline), std::move(away));
      WriteLogF("SyncOnlineStateToDK ret = %d", ret);
    } catch (...) {
      WriteLogF("CNuv4OndekoProcessor::SyncOrg2Ondeko Unknown Exception, sleep 5sec");
      stop.SleepMs(kExceptionPauseMs);
      continue;
    }
    stop.SleepMs(kPassPauseMs);
  }
}

}  // namespace nuv
