// The production worker bridge: the process-wide bridge processor. Its
// seams keep their defaults until the IM connector, the push channel and the
// cloud reporter are wired in; the restart report goes through the
// processor's reportReboot seam.
#include "processor/processor.h"
#include "service/run_as_child.h"

namespace nuv {
namespace {

class ProcessorWorkerBridge : public WorkerBridge {
 public:
  void Start() override {
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
