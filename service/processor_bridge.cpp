// The production worker bridge: the process-wide bridge processor, wired by
// WireWorker to the IM connector, the push channel and the cloud (every
// handler and thread routine). Nothing here is a test hook: the installation
// root is the executable's own location, the settings come from
// <root>/Config/service.ini and the credentials from <root>/Config/qy.ini.
// Before the processor starts, those two files are checked once, so that an
// operator finds one log line per problem (file and key) instead of a silent
// bridge; the bridge then starts with what they say and keeps retrying what
// it cannot reach.
#include "common/paths.h"
#include "processor/processor.h"
#include "service/run_as_child.h"
#include "service/worker_settings.h"
#include "service/worker_wiring.h"

namespace nuv {
namespace {

class ProcessorWorkerBridge : public WorkerBridge {
 public:
  void Start() override {
    CheckWorkerSettings(GetConfigDirA());
    CNuv4OndekoProcessor* processor = GetProcessor();
    WireWorker(*processor);
    processor->Init();
    processor->BeginStart();
  }
  void EndProcess(const std::wstring& code) override { GetProcessor()->EndProcess(code); }
};

}  // namespace

WorkerBridge& ProcessorBridge() {
  static ProcessorWorkerBridge bridge;
  return bridge;
}

}  // namespace nuv
