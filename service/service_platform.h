#pragma once
// ServicePlatform: the operating system's service facilities as the service
// module sees them (systemd in production): where unit files live, whether
// systemd runs and started us, systemctl, sd_notify status reports, the
// system log and the console. The module owns one; tests wrap or replace it
// to watch what the module would tell the system. Methods may be called from
// the module's threads; implementations keep no mutable shared state.

#include <memory>
#include <string>
#include <vector>

namespace nuv {

class ServicePlatform {
 public:
  virtual ~ServicePlatform() = default;

  // Full path of the running executable.
  virtual std::string ExecutablePath() = 0;
  // Directory that holds system unit files.
  virtual std::string UnitDir() = 0;
  // Directories of the units that packages install; a unit of the service's
  // name there is the package's, not the registration tool's.
  virtual std::vector<std::string> PackageUnitDirs() = 0;
  // The ids of an account; false when it does not exist.
  virtual bool LookupUser(const std::string& name, unsigned& uid, unsigned& gid) = 0;
  // True when systemd manages this machine (and may be asked to reload).
  virtual bool SystemdRunning() = 0;
  // Runs "systemctl <args>"; its exit code, or -1 when it could not run.
  virtual int Systemctl(const std::vector<std::string>& args) = 0;
  // True when this process was started by systemd as a service.
  virtual bool StartedBySystemd() = 0;
  // One sd_notify status report ("READY=1", "STOPPING=1", "STATUS=...").
  virtual void Notify(const std::string& state) = 0;
  // One information-level line in the system log under the service name.
  virtual void Syslog(const std::string& text) = 0;
  // One line for the person at the console (stdout), or an error (stderr).
  virtual void Console(const std::string& text, bool error = false) = 0;
};

// The production platform. The environment variable
// NUV4ONDEKO_TEST_UNIT_DIR (tests only) points UnitDir elsewhere; systemd is
// then treated as not running and no package units or service account are
// seen, so that tests never touch the real manager or the machine's files.
std::unique_ptr<ServicePlatform> NewLinuxServicePlatform();

}  // namespace nuv
