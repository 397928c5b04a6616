#include "service/run_as_child.h"

#include "common/log.h"
#include "config/config_center.h"

namespace nuv {

int RunAsChild(WorkerBridge& bridge, ResourceProbes& probes) {
  WriteLogF("RunAsChild() is call");
  bridge.Start();
  ConfigValues& limits = CConfigCenter::GetInstance().values();
  ResourceGuard guard(probes, limits.maxmem, limits.maxcpu);
  bridge.EndProcess(guard.Run());
  return 0;
}

int RunAsChild() { return RunAsChild(ProcessorBridge(), SystemResourceProbes()); }

}  // namespace nuv
