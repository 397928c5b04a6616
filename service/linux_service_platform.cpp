// systemd, syslog and console access for the service module.
#include <limits.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "service/service_platform.h"

extern char** environ;

namespace nuv {
namespace {

const char* TestUnitDir() {
#if NUV_TEST_HOOKS
  const char* dir = std::getenv("NUV4ONDEKO_TEST_UNIT_DIR");
  return dir && *dir ? dir : nullptr;
#else
  return nullptr;
#endif
}

class LinuxServicePlatform : public ServicePlatform {
 public:
  std::string ExecutablePath() override {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  std::string UnitDir() override {
    if (const char* dir = TestUnitDir()) return dir;
    return "/etc/systemd/system";
  }

  std::vector<std::string> PackageUnitDirs() override {
    if (TestUnitDir()) return {};
    return {"/lib/systemd/system", "/usr/lib/systemd/system"};
  }

  bool LookupUser(const std::string& name, unsigned& uid, unsigned& gid) override {
    if (TestUnitDir()) return false;
    struct passwd pw;
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) != 0 || !found) return false;
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
  }

  bool SystemdRunning() override {
    if (TestUnitDir()) return false;
    struct stat st;
    return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
  }

  int Systemctl(const std::vector<std::string>& args) override {
    std::vector<std::string> all{"systemctl"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0)
      return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool StartedBySystemd() override {
    // systemd gives every unit it starts an invocation id; Type=notify units
    // also get the socket for status reports.
    const char* notify = std::getenv("NOTIFY_SOCKET");
    const char* invocation = std::getenv("INVOCATION_ID");
    return (notify && *notify) && (invocation && *invocation);
  }

  void Notify(const std::string& state) override { ::sd_notify(0, state.c_str()); }

  void Syslog(const std::string& text) override {
    ::openlog("Nuv4OndekoService", LOG_PID, LOG_DAEMON);
    ::syslog(LOG_INFO, "%s", text.c_str());
    ::closelog();
  }

  void Console(const std::string& text, bool error) override {
    std::FILE* out = error ? stderr : stdout;
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
  }
};

}  // namespace

std::unique_ptr<ServicePlatform> NewLinuxServicePlatform() {
  return std::make_unique<LinuxServicePlatform>();
}

}  // namespace nuv
