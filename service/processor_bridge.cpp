// The production worker bridge: the process-wide bridge processor, wired by
// WireWorker to the IM connector, the push channel and the cloud (every
// handler and thread routine). Nothing here is a test hook: the installation
// root is the executable's own location, the settings come from
// <root>/Config/service.ini and the credentials from <root>/Config/qy.ini.
// Before the processor starts, those two files are checked once, so that an
// operator finds one log line per problem (file and key) instead of a silent
// bridge; the bridge then starts with what they say and keeps retrying what
// it cannot reach. The worker's status endpoint starts with it ([status]
// listen), and its metrics carry the watchdog's restart count.
#include <cstdlib>

#include "common/bridge_metrics.h"
#include "common/clock.h"
#include "common/paths.h"
#include "processor/processor.h"
#include "service/run_as_child.h"
#include "service/service_module.h"
#include "service/status_endpoint.h"
#include "service/worker_settings.h"
#include "service/worker_wiring.h"

namespace nuv {
namespace {

// The watchdog's count of the workers it started before this one.
uint64_t RestartsFromWatchdog() {
  const char* text = std::getenv(CServiceModule::kRestartsVariable);
  return text ? std::strtoull(text, nullptr, 10) : 0;
}

class ProcessorWorkerBridge : public WorkerBridge {
 public:
  void Start() override {
    Metrics().SetWorkerStart(GetClock().Now(), RestartsFromWatchdog());
    CheckWorkerSettings(GetConfigDirA());
    CNuv4OndekoProcessor* processor = GetProcessor();
    WireWorker(*processor);
    processor->Init();
    processor->BeginStart();
    endpoint_ = StartWorkerStatusEndpoint(GetConfigDirA());
  }
  void EndProcess(const std::wstring& code) override { GetProcessor()->EndProcess(code); }

 private:
  // The status endpoint lives as long as the worker (nullptr: off).
  std::unique_ptr<StatusEndpoint> endpoint_;
};

}  // namespace

WorkerBridge& ProcessorBridge() {
  static ProcessorWorkerBridge bridge;
  return bridge;
}

}  // namespace nuv
