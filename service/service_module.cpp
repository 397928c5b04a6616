#include "service/service_module.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/clock.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/str_format.h"
#include "service/command_line.h"
#include "service/registration.h"
#include "service/systemd_unit.h"

namespace nuv {
namespace {

// Gives path and, for a directory, everything below it to uid:gid. Links
// are not followed; entries the account already owns keep their group (an
// operator group on the logs). Keeps the first failure in failed.
void GiveTree(const std::string& path, uid_t uid, gid_t gid, std::string& failed) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
  if (st.st_uid != uid && ::lchown(path.c_str(), uid, gid) != 0 && failed.empty())
    failed = path + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return;
  std::vector<std::string> names;
  if (DIR* d = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    }
    ::closedir(d);
  }
  for (const std::string& n : names) GiveTree(path + "/" + n, uid, gid, failed);
}

}  // namespace

CServiceModule::CServiceModule(std::unique_ptr<ServicePlatform> platform,
                               std::unique_ptr<ChildProcess> child,
                               std::function<int()> runAsChild)
    : m_szServiceName(kServiceName),
      platform_(std::move(platform)),
      child_(std::move(child)),
      runAsChild_(std::move(runAsChild)) {}

const char CServiceModule::kRestartsVariable[] = "NUV4ONDEKO_WORKER_RESTARTS";

CServiceModule::~CServiceModule() {
  m_bRunning = false;
  if (watchdog_.joinable()) watchdog_.join();
  if (status_.joinable()) status_.join();
}

int CServiceModule::Main(const std::string& commandLine) {
  const CommandLineAction action = ScanCommandLine(commandLine);
  switch (action.role) {
    case CommandLineAction::kUnregServer: return UnregisterServer();
    case CommandLineAction::kRegServer: return RegisterServer(false);
    case CommandLineAction::kService: return RegisterServer(true);
    case CommandLineAction::kStatus: {
      std::string text;
      const int code = statusCommand_ ? statusCommand_(&text) : 4;
      if (!text.empty() && text.back() == '\n') text.pop_back();
      if (!text.empty()) platform_->Console(text);
      return code;
    }
    case CommandLineAction::kNone: break;
  }
  if (action.child) return runAsChild_ ? runAsChild_() : 1;

  bool localService = false;
  int ret = Registration().QueryLocalService(localService);
  if (ret != 0) {
    platform_->Console(m_szServiceName + ": not registered (" + Registration().path() +
                           " missing); run it once with -RegServer or -Service",
                       true);
    return ret;
  }
  m_bService = localService;
  return StartModule();
}

int CServiceModule::StartModule() {
  if (m_bService) {
    if (platform_->StartedBySystemd()) {
      ServiceMain();
    } else {
      // Started from a console although registered as a service.
      m_bService = false;
      ServiceRun();
    }
  } else {
    ServiceRun();
  }
  return m_status.exitCode;
}

void CServiceModule::ServiceMain() {
  SetServiceStatus(kStartPending);
  if (catchSignals_ && !loop_.CatchSignals()) {
    LogEvent("Handler not installed");
    return;
  }
  m_status.exitCode = 0;
  SetServiceStatus(kStartPending);
  ServiceRun();
  SetServiceStatus(kStopped);
  LogEvent("Service stopped");
}

void CServiceModule::Handler(int control) {
  switch (control) {
    case MessageLoop::kStop:
      SetServiceStatus(kStopPending);
      loop_.PostQuit();
      break;
    case MessageLoop::kPause:
    case MessageLoop::kContinue:
    case MessageLoop::kInterrogate:
    case MessageLoop::kShutdown:
      break;
    default:
      LogEvent("Bad service request");
  }
}

void CServiceModule::LogEvent(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = StrFormatV(fmt, ap);
  va_end(ap);
  if (m_bService)
    platform_->Syslog(text);
  else
    platform_->Console(text);
}

void CServiceModule::SetServiceStatus(State state) {
  m_status.currentState = state;
  if (!m_bService) return;
  switch (state) {
    case kStartPending: platform_->Notify("STATUS=Starting"); break;
    case kRunning: platform_->Notify("READY=1\nSTATUS=Running"); break;
    case kStopPending: platform_->Notify("STOPPING=1\nSTATUS=Stopping"); break;
    case kStopped: platform_->Notify("STATUS=Stopped"); break;
  }
}

std::string CServiceModule::UnitPath() { return platform_->UnitDir() + "/" + UnitFileName(); }

bool CServiceModule::IsInstalled() {
  struct stat st;
  return ::stat(UnitPath().c_str(), &st) == 0;
}

std::string CServiceModule::PackagedUnitPath() {
  for (const std::string& dir : platform_->PackageUnitDirs()) {
    const std::string path = dir + "/" + UnitFileName();
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return path;
  }
  return "";
}

bool CServiceModule::GiveToServiceUser() {
  unsigned uid = 0;
  unsigned gid = 0;
  if (!platform_->LookupUser(kServiceUser, uid, gid)) return true;  // runs as root
  std::string failed;
  for (const std::string& dir : GetWritableDirs()) GiveTree(dir, uid, gid, failed);
  if (failed.empty()) return true;
  platform_->Console(m_szServiceName + ": cannot give " + failed + " to the user " + kServiceUser +
                         " the service runs as",
                     true);
  return false;
}

bool CServiceModule::Install() {
  const std::string packaged = PackagedUnitPath();
  if (!packaged.empty()) {
    platform_->Console(m_szServiceName + ": the unit " + packaged +
                       " comes with the package; once service.ini and qy.ini are written: "
                       "systemctl enable --now " + m_szServiceName);
    return true;
  }
  if (IsInstalled()) return true;
  struct stat st;
  const std::string dir = platform_->UnitDir();
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(dir.c_str(), W_OK) != 0) {
    platform_->Console(m_szServiceName + ": Couldn't open service manager", true);
    return false;
  }
  const std::string unit = UnitPath();
  UnitOptions options;
  options.exePath = platform_->ExecutablePath();
  unsigned uid = 0;
  unsigned gid = 0;
  if (platform_->LookupUser(kServiceUser, uid, gid)) options.user = kServiceUser;
  options.writablePaths = GetWritableDirs();
  if (WriteFileSafe(unit, BuildUnitText(options)) != 0) {
    WriteLogF("CServiceModule::Install(): Couldn't create service, return FALSE");
    return false;
  }
  ::chmod(unit.c_str(), 0644);
  if (!platform_->SystemdRunning()) {
    platform_->Console("Wrote " + unit + "; systemd is not running here. Once it is, run: " +
                       "systemctl daemon-reload && systemctl enable --now " + UnitFileName());
    return true;
  }
  platform_->Systemctl({"daemon-reload"});
  if (platform_->Systemctl({"enable", UnitFileName()}) != 0) {
    ::unlink(unit.c_str());
    platform_->Systemctl({"daemon-reload"});
    WriteLogF("CServiceModule::Install(): Couldn't create service, return FALSE");
    return false;
  }
  return true;
}

bool CServiceModule::Uninstall() {
  // Beside the package's unit, a unit of this name in the system directory
  // is the administrator's (systemctl edit --full), not ours to remove.
  if (!IsInstalled() || !PackagedUnitPath().empty()) return true;
  const bool systemd = platform_->SystemdRunning();
  if (systemd) {
    platform_->Systemctl({"stop", "--no-block", UnitFileName()});
    platform_->Systemctl({"disable", UnitFileName()});
  }
  if (::unlink(UnitPath().c_str()) != 0 && errno != ENOENT) {
    WriteLogF("CServiceModule::Uninstall() Service could not be deleted");
    return false;
  }
  if (systemd) platform_->Systemctl({"daemon-reload"});
  return true;
}

int CServiceModule::RegisterServer(bool bService) {
  Uninstall();
  Registration reg;
  int ret = reg.Write(bService);
  if (ret != 0) {
    platform_->Console(m_szServiceName + ": cannot write " + reg.path(), true);
    return ret;
  }
  // A service that could not be installed is a failed registration, and the
  // exit code says so. The service's account must own what it writes,
  // the registration file just written included.
  if (bService && (!GiveToServiceUser() || !Install())) return 1;
  return 0;
}

int CServiceModule::UnregisterServer() {
  Registration().Remove();
  Uninstall();
  return 0;
}

void CServiceModule::ServiceRun() {
  if (catchSignals_) loop_.CatchSignals();
  m_bRunning = false;
  int lockError = 0;
  if (!lock_.Acquire(InstanceLockPath(), &lockError)) {
    // A lock file this user cannot open is not another instance.
    if (lockError != 0)
      WriteLogF("CServiceModule::ServiceRun cannot open the lock file '%s' (%s): not started",
                InstanceLockPath().c_str(), std::strerror(lockError));
    else
      WriteLogF("已经运行了一个实例，不能重复运行");
    return;
  }
  LogEvent("Service started");
  if (m_bService) SetServiceStatus(kRunning);

  m_bRunning = true;
  DoChildProc();
  WriteLogF("DoChildProc() return , start message loop");
  if (m_bService && statusSource_ && !status_.joinable()) status_ = std::thread([this] { StatusThread(); });

  loop_.Run([this](int control) { Handler(control); });

  // The watchdog thread sees the flag within about a second and ends the
  // worker; this pause gives it the time before the process goes.
  m_bRunning = false;
  GetClock().SleepMs(5000);
  if (watchdog_.joinable()) watchdog_.join();
  if (status_.joinable()) status_.join();
}

void CServiceModule::StatusThread() {
  auto stopped = [this] { return !m_bRunning.load(); };
  while (!stopped()) {
    const std::string line = statusSource_();
    if (stopped()) break;  // the stop's own status stays
    if (!line.empty()) platform_->Notify("STATUS=" + line);
    SleepUnless(kStatusEveryMs, stopped);
  }
}

void CServiceModule::DoChildProc() {
  if (watchdog_.joinable()) watchdog_.join();
  watchdog_ = std::thread([this] { WatchdogThread(); });
}

void CServiceModule::WatchdogThread() {
  // Waits end early once the service stops, so that the thread is gone
  // before the main routine's wind-down is over.
  auto stopped = [this] { return !m_bRunning.load(); };
  bool started = false;
  while (m_bRunning) {
    if (!started) {
      WriteLogF("m_bRunning is TRUE , start child proc");
      if (StartChildProc() != 0) {
        WriteLogF("StartChildProc() failed, sleep 5 sec to restart it");
        SleepUnless(5000, stopped);
      } else {
        started = true;
      }
      continue;
    }
    int ret = WaitChild();
    if (ret == 1) continue;
    if (ret == 0) {
      WriteLogF("m_bRunning is TRUE , child proc end, sleep 5sec to restart it");
      started = false;
      SleepUnless(5000, stopped);
    } else {
      WriteLogF("m_bRunning is TRUE , waitchildend failed, sleep 2sec to continue");
      SleepUnless(2000, stopped);
    }
  }
  if (started) {
    WriteLogF("m_bRunning is FALSE , stop child proc");
    TerminateChild();
  }
}

int CServiceModule::StartChildProc() {
  const std::string exe = platform_->ExecutablePath();
  int pid = 0;
  int err = 0;
  child_->SetEnvironment({std::string(kRestartsVariable) + "=" + std::to_string(childStarts_)});
  if (child_->Start(exe, {exe, "/Child"}, pid, err) != 0) {
    WriteLogF("StartChildProc CreateProcess() failed , lasterr %d", err);
    return -1;
  }
  WriteLogF("StartChildProc CreateProcess() OK , child pid %d", pid);
  ++childStarts_;
  return 0;
}

int CServiceModule::WaitChild() { return child_->Wait(1000); }

int CServiceModule::TerminateChild() {
  if (child_->Terminate() != 0) {
    WriteLogF("TerminateChild() FAILED");
    return -1;
  }
  WriteLogF("TerminateChild() OK");
  return 0;
}

}  // namespace nuv
