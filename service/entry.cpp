#include "service/entry.h"

#include <sys/stat.h>

#include "common/paths.h"
#include "service/command_line.h"
#include "service/run_as_child.h"
#include "service/service_module.h"
#include "service/status_client.h"

namespace nuv {

int ServiceEntry(int argc, const char* const* argv) {
  // Nothing the service writes is for other users: credentials, the token,
  // the journal, directory snapshots with names and phone numbers, the log.
  // The worker inherits it from the watchdog.
  ::umask(077);
  CServiceModule module(NewLinuxServicePlatform(), NewLinuxChildProcess(),
                        [] { return RunAsChild(); });
  module.SetStatusSource([] { return QueryWorkerStatus(GetConfigDirA(), 1000).line; });
  module.SetStatusCommand([](std::string* out) { return PrintWorkerStatus(GetConfigDirA(), out); });
  return module.Main(JoinCommandLine(argc, argv));
}

}  // namespace nuv
