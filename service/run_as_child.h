#pragma once
// RunAsChild: the worker process's main routine. It starts the bridge
// processor and then guards the process's resource use on the main thread;
// when a limit is passed it has the reason reported and ends the process.

#include <string>

#include "service/resource_guard.h"

namespace nuv {

// The worker's bridge as its main routine sees it. Owned by the caller of
// RunAsChild; used on the main thread.
class WorkerBridge {
 public:
  virtual ~WorkerBridge() = default;
  // Creates the processor and starts its control thread; returns at once.
  virtual void Start() = 0;
  // Reports the restart reason (a report code) and ends the process with
  // exit code 0. Returns only when a test intercepted the end.
  virtual void EndProcess(const std::wstring& code) = 0;
};

// The bridge of the production worker (the process-wide processor).
WorkerBridge& ProcessorBridge();

// Runs the worker with the given bridge and probes, the limits taken from
// the configuration center. Returns 0 only when EndProcess returned.
int RunAsChild(WorkerBridge& bridge, ResourceProbes& probes);
// The production worker.
int RunAsChild();

}  // namespace nuv
