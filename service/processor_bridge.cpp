// The production worker bridge: the process-wide bridge processor.
#include <unistd.h>

#include "common/log.h"
#include "common/text_conv.h"
#include "service/run_as_child.h"

namespace nuv {
namespace {

class ProcessorWorkerBridge : public WorkerBridge {
 public:
  void Start() override {}
  void EndProcess(const std::wstring& code) override {
    WriteLogF("RunAsChild() ending the worker, reason %s", WideToUtf8(code).c_str());
    ::_exit(0);
  }
};

}  // namespace

WorkerBridge& ProcessorBridge() {
  static ProcessorWorkerBridge bridge;
  return bridge;
}

}  // namespace nuv
