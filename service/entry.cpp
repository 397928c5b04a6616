#include "service/entry.h"

#include "service/command_line.h"
#include "service/run_as_child.h"
#include "service/service_module.h"

namespace nuv {

int ServiceEntry(int argc, const char* const* argv) {
  CServiceModule module(NewLinuxServicePlatform(), NewLinuxChildProcess(),
                        [] { return RunAsChild(); });
  return module.Main(JoinCommandLine(argc, argv));
}

}  // namespace nuv
