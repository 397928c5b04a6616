// The production worker bridge: the process-wide bridge processor, wired to
// the IM connector, the push channel and the cloud by WireWorker. Before the
// processor starts, the installation files are checked once, so that an
// operator finds one log line per problem (file and key) instead of a
// silent bridge; the bridge starts whatever they say and keeps retrying.
#include "common/paths.h"
#include "processor/processor.h"
#include "service/run_as_child.h"
#include "service/worker_settings.h"

namespace nuv {
namespace {

class ProcessorWorkerBridge : public WorkerBridge {
 public:
  void Start() override {
    CheckWorkerSettings(GetConfigDirA());
    CNuv4OndekoProcessor* processor = GetProcessor();
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
