#include "service/service_module.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "common/clock.h"
#include "common/paths.h"
#include "common/test_support.h"
#include "service/test_log_count.h"
#include "common/virtual_clock.h"
#include "service/registration.h"

namespace nuv {
namespace {

// What the module told the system, shared between a test and its platform.
struct SystemRecord {
  std::mutex mu;
  std::vector<std::string> notify, syslog, console, systemctl;
  std::vector<std::string> Get(std::vector<std::string> SystemRecord::*field) {
    std::lock_guard<std::mutex> g(mu);
    return this->*field;
  }
};

class FakePlatform : public ServicePlatform {
 public:
  FakePlatform(SystemRecord& rec, std::string unitDir, bool systemd, bool startedBySystemd)
      : rec_(rec), unitDir_(std::move(unitDir)), systemd_(systemd), started_(startedBySystemd) {}
  std::string ExecutablePath() override { return "/opt/nuv/bin/nuv4ondeko"; }
  std::string UnitDir() override { return unitDir_; }
  std::vector<std::string> PackageUnitDirs() override { return packageUnitDirs; }
  bool LookupUser(const std::string& name, unsigned& uid, unsigned& gid) override {
    if (name != "nuv4ondeko" || !serviceUser) return false;
    uid = gid = *serviceUser;
    return true;
  }
  bool SystemdRunning() override { return systemd_; }
  int Systemctl(const std::vector<std::string>& args) override {
    std::string line;
    for (auto& a : args) line += (line.empty() ? "" : " ") + a;
    Add(&SystemRecord::systemctl, line);
    return args[0] == "enable" ? enableResult : 0;
  }
  bool StartedBySystemd() override { return started_; }
  void Notify(const std::string& state) override { Add(&SystemRecord::notify, state); }
  void Syslog(const std::string& text) override { Add(&SystemRecord::syslog, text); }
  void Console(const std::string& text, bool) override { Add(&SystemRecord::console, text); }
  int enableResult = 0;
  std::vector<std::string> packageUnitDirs;
  std::optional<unsigned> serviceUser;  // the account's uid and gid when it exists

 private:
  void Add(std::vector<std::string> SystemRecord::*field, const std::string& v) {
    std::lock_guard<std::mutex> g(rec_.mu);
    (rec_.*field).push_back(v);
  }
  SystemRecord& rec_;
  std::string unitDir_;
  bool systemd_;
  bool started_;
};

// A worker that lives on the virtual clock: it runs until the test ends it,
// and records when it was started, seen to end and killed.
class FakeChild : public ChildProcess {
 public:
  std::atomic<bool> ended{false};
  std::atomic<bool> failStart{false};
  std::atomic<int> starts{0};
  std::atomic<int> terminates{0};
  std::atomic<int64_t> endSeenMs{0};
  std::function<bool()> running;            // the module's m_bRunning
  std::atomic<int64_t> sleptWhileStopping{0};  // waiting after it fell
  std::mutex mu;
  std::vector<int64_t> attemptMs;  // guarded by mu
  std::vector<std::string> args;   // guarded by mu

  int Start(const std::string&, const std::vector<std::string>& a, int& pid, int& err) override {
    {
      std::lock_guard<std::mutex> g(mu);
      attemptMs.push_back(GetClock().NowMs());
      args = a;
    }
    if (failStart) {
      err = 2;
      return -1;
    }
    pid = 4000 + ++starts;
    ended = false;
    return 0;
  }
  int Wait(uint32_t timeoutMs) override {
    for (uint32_t waited = 0; waited < timeoutMs; waited += 100) {
      if (ended) {
        endSeenMs = GetClock().NowMs();
        return 0;
      }
      if (running && !running()) sleptWhileStopping += 100;
      GetClock().SleepMs(100);
    }
    return 1;
  }
  int Terminate() override {
    ++terminates;
    return 0;
  }
  std::vector<int64_t> Attempts() {
    std::lock_guard<std::mutex> g(mu);
    return attemptMs;
  }
};

// An auto-advancing virtual clock that also records how long each thread
// slept, so that waits of different threads can be told apart.
class SleepLedgerClock : public Clock {
 public:
  int64_t Now() override { return inner_.Now(); }
  int64_t NowMs() override { return inner_.NowMs(); }
  uint32_t TickMs() override { return inner_.TickMs(); }
  void SleepMs(uint32_t ms) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      slept_[std::this_thread::get_id()] += ms;
    }
    inner_.SleepMs(ms);
  }
  bool WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
               const std::function<bool()>& pred) override {
    return inner_.WaitFor(lk, cv, ms, pred);
  }
  int64_t Slept(std::thread::id id) {
    std::lock_guard<std::mutex> g(mu_);
    return slept_[id];
  }
  void Reset() {
    std::lock_guard<std::mutex> g(mu_);
    slept_.clear();
  }

 private:
  VirtualClock inner_{VirtualClock::Mode::kAuto};
  std::mutex mu_;
  std::map<std::thread::id, int64_t> slept_;
};

template <typename Pred>
bool WaitReal(Pred pred, int maxMs = 5000) {
  for (int i = 0; i < maxMs; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

class ServiceModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unitDir_ = root_.root() + "/units";
    test::WriteWholeFile(root_.root() + "/keep", "");
    MakeModule(false, false);
  }
  void TearDown() override { SetClockForTest(nullptr); }

  void MakeModule(bool systemd, bool startedBySystemd) {
    module_.reset();
    auto platform = std::make_unique<FakePlatform>(rec_, unitDir_, systemd, startedBySystemd);
    platform_ = platform.get();
    auto child = std::make_unique<FakeChild>();
    child_ = child.get();
    module_ = std::make_unique<CServiceModule>(std::move(platform), std::move(child),
                                               [] { return 42; });
    module_->SetCatchSignals(false);
    CServiceModule* m = module_.get();
    child_->running = [m] { return m->IsRunning(); };
  }

  int LogIndex(const std::string& needle, int from = 0) {
    auto lines = root_.LogLines();
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
      if (lines[i].find(needle) != std::string::npos) return i;
    return -1;
  }

  test::TempInstallRoot root_;
  std::string unitDir_;
  SystemRecord rec_;
  FakePlatform* platform_ = nullptr;
  FakeChild* child_ = nullptr;
  std::unique_ptr<CServiceModule> module_;
};

TEST_F(ServiceModuleTest, WatchdogRestartsAnEndedWorkerAndStopEndsIt) {
  SleepLedgerClock clock;
  SetClockForTest(&clock);
  std::atomic<bool> returned{false};
  std::thread run([&] {
    module_->ServiceRun();
    returned = true;
  });
  ASSERT_TRUE(WaitReal([&] { return child_->starts == 1; }));
  EXPECT_EQ(child_->args, (std::vector<std::string>{"/opt/nuv/bin/nuv4ondeko", "/Child"}));
  EXPECT_EQ(module_->state(), CServiceModule::kStopped);  // plain process: nothing reported
  ASSERT_TRUE(WaitReal([&] { return clock.NowMs() > 1765274400000LL + 3000; }));
  EXPECT_EQ(child_->starts, 1);  // a healthy worker is left alone

  // Only the watchdog thread sleeps on the clock here, so the gap between
  // seeing the end and the new start is exactly its pause.
  child_->ended = true;
  ASSERT_TRUE(WaitReal([&] { return child_->starts == 2; }));
  EXPECT_EQ(child_->Attempts().back() - child_->endSeenMs, 5000);
  int end = LogIndex("m_bRunning is TRUE , child proc end, sleep 5sec to restart it");
  ASSERT_GE(end, 0);
  EXPECT_GE(LogIndex("m_bRunning is TRUE , start child proc", end), 0);
  // The watchdog logs the new pid just after the start returned: wait for it.
  EXPECT_TRUE(WaitReal([&] { return LogIndex("StartChildProc CreateProcess() OK , child pid 4002", end) >= 0; }));

  // STOP: the watchdog thread kills the worker after at most one more
  // second of waiting; the main routine winds down for five seconds.
  module_->Handler(MessageLoop::kStop);
  run.join();
  ASSERT_TRUE(returned);
  EXPECT_EQ(child_->terminates, 1);
  int stop = LogIndex("m_bRunning is FALSE , stop child proc");
  ASSERT_GE(stop, 0);
  EXPECT_EQ(LogIndex("TerminateChild() OK", stop), stop + 1);
  EXPECT_EQ(rec_.Get(&SystemRecord::console), std::vector<std::string>{"Service started"});
  EXPECT_TRUE(rec_.Get(&SystemRecord::notify).empty());
}

TEST_F(ServiceModuleTest, StopKillsTheWorkerWithinASecondAndEndsFiveSecondsLater) {
  SleepLedgerClock clock;
  SetClockForTest(&clock);
  std::atomic<bool> returned{false};
  std::thread::id mainId;
  std::thread run([&] {
    mainId = std::this_thread::get_id();
    module_->ServiceRun();
    returned = true;
  });
  ASSERT_TRUE(WaitReal([&] { return child_->starts == 1; }));
  ASSERT_TRUE(WaitReal([&] { return clock.NowMs() > 1765274400000LL + 2000; }));
  module_->Handler(MessageLoop::kStop);
  run.join();
  ASSERT_TRUE(returned);
  EXPECT_EQ(child_->terminates, 1);
  // The watchdog thread waited at most one more second once the flag fell.
  EXPECT_LE(child_->sleptWhileStopping, 1000);
  EXPECT_EQ(clock.Slept(mainId), 5000);
}

TEST_F(ServiceModuleTest, FailedStartsAreRetriedEveryFiveSeconds) {
  SleepLedgerClock clock;
  SetClockForTest(&clock);
  child_->failStart = true;
  std::thread run([&] { module_->ServiceRun(); });
  ASSERT_TRUE(WaitReal([&] { return child_->Attempts().size() >= 3; }));
  child_->failStart = false;
  ASSERT_TRUE(WaitReal([&] { return child_->starts == 1; }));
  module_->Handler(MessageLoop::kStop);
  run.join();
  auto attempts = child_->Attempts();
  ASSERT_GE(attempts.size(), 4u);
  for (size_t i = 1; i < attempts.size(); ++i) EXPECT_EQ(attempts[i] - attempts[i - 1], 5000);
  int failures = test::CountLogLines(root_, "StartChildProc CreateProcess() failed , lasterr 2");
  EXPECT_EQ(failures, static_cast<int>(attempts.size()) - 1);
  EXPECT_TRUE(root_.LogContains("StartChildProc() failed, sleep 5 sec to restart it"));
  EXPECT_EQ(child_->terminates, 1);
}

TEST_F(ServiceModuleTest, SecondWatchdogFindsTheLockAndStartsNothing) {
  InstanceLock other;
  ASSERT_TRUE(other.Acquire(InstanceLockPath()));
  module_->SetService(true);
  module_->ServiceRun();  // returns at once
  EXPECT_TRUE(root_.LogContains("已经运行了一个实例，不能重复运行"));
  EXPECT_EQ(child_->starts, 0);
  EXPECT_NE(module_->state(), CServiceModule::kRunning);
  EXPECT_TRUE(rec_.Get(&SystemRecord::notify).empty());
  // Once the holder is gone the name is free again.
  other.Release();
  InstanceLock again;
  EXPECT_TRUE(again.Acquire(InstanceLockPath()));
}

// The old lock was a name any local user could take first. Now it is a
// file in the 0700 configuration directory: another user cannot even open
// it, and the old name taken by someone changes nothing.
TEST_F(ServiceModuleTest, AnotherUserCannotTakeOrHoldTheLock) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ::chmod(root_.root().c_str(), 0755);  // only the configuration directory's own mode protects it
  int squatter = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const char name[] = "nuvondeko_for_nuv_mutex";
  std::memcpy(addr.sun_path + 1, name, sizeof name - 1);
  ::bind(squatter, reinterpret_cast<sockaddr*>(&addr),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name));
  const std::string path = InstanceLockPath();
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    InstanceLock theirs;
    ::_exit(theirs.Acquire(path) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user took the lock";
  InstanceLock ours;
  EXPECT_TRUE(ours.Acquire(path));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::close(squatter);
}

TEST_F(ServiceModuleTest, AsAServiceReportsEachStateToSystemd) {
  MakeModule(false, true);
  ASSERT_EQ(Registration().Write(true), 0);
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  std::thread stopper([&] {
    WaitReal([&] { return module_->state() == CServiceModule::kRunning; });
    module_->Handler(MessageLoop::kInterrogate);  // accepted, ignored
    module_->Handler(77);
    module_->Handler(MessageLoop::kStop);
  });
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\""), 0);
  stopper.join();
  EXPECT_TRUE(module_->IsService());
  EXPECT_EQ(module_->state(), CServiceModule::kStopped);
  auto notify = rec_.Get(&SystemRecord::notify);
  ASSERT_EQ(notify.size(), 5u);
  EXPECT_EQ(notify[0], "STATUS=Starting");
  EXPECT_EQ(notify[2], "READY=1\nSTATUS=Running");
  EXPECT_EQ(notify[3], "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(notify[4], "STATUS=Stopped");
  EXPECT_EQ(rec_.Get(&SystemRecord::syslog),
            (std::vector<std::string>{"Service started", "Bad service request", "Service stopped"}));
  EXPECT_TRUE(rec_.Get(&SystemRecord::console).empty());
}

TEST_F(ServiceModuleTest, AsAServiceTellsSystemdTheWorkersStatusEveryFewSeconds) {
  MakeModule(false, true);
  ASSERT_EQ(Registration().Write(true), 0);
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  std::mutex mu;
  std::vector<int64_t> askedMs;  // guarded by mu
  module_->SetStatusSource([&] {
    std::lock_guard<std::mutex> g(mu);
    askedMs.push_back(GetClock().NowMs());
    return "IM up, push up; " + std::to_string(askedMs.size()) + " to cloud";
  });
  std::thread stopper([&] {
    WaitReal([&] {
      std::lock_guard<std::mutex> g(mu);
      return askedMs.size() >= 3;
    });
    module_->Handler(MessageLoop::kStop);
  });
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\""), 0);
  stopper.join();
  std::vector<std::string> lines;
  for (const auto& n : rec_.Get(&SystemRecord::notify))
    if (n.rfind("STATUS=IM up", 0) == 0) lines.push_back(n);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "STATUS=IM up, push up; 1 to cloud");
  EXPECT_EQ(lines[1], "STATUS=IM up, push up; 2 to cloud");
  std::lock_guard<std::mutex> g(mu);
  // Never more often (other threads' sleeps move the automatic clock too).
  EXPECT_GE(askedMs[1] - askedMs[0], static_cast<int64_t>(CServiceModule::kStatusEveryMs));
  // The stop's own report is the last word.
  EXPECT_EQ(rec_.Get(&SystemRecord::notify).back(), "STATUS=Stopped");
}

TEST_F(ServiceModuleTest, RegisteredServiceStartedFromAConsoleRunsAsAPlainProcess) {
  ASSERT_EQ(Registration().Write(true), 0);
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  std::thread stopper([&] {
    WaitReal([&] { return child_->starts == 1; });
    module_->Handler(MessageLoop::kStop);
  });
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\""), 0);
  stopper.join();
  EXPECT_FALSE(module_->IsService());
  EXPECT_TRUE(rec_.Get(&SystemRecord::notify).empty());
  EXPECT_EQ(rec_.Get(&SystemRecord::console), std::vector<std::string>{"Service started"});
}

TEST_F(ServiceModuleTest, EntryDispatchesOnTheCommandLine) {
  // Not registered: the "not found" code, and no watchdog.
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\""), 2);
  EXPECT_EQ(child_->starts, 0);
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\" /Child"), 42);
  // Registration without a service, then removal.
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\" -RegServer"), 0);
  bool local = true;
  EXPECT_EQ(Registration().QueryLocalService(local), 0);
  EXPECT_FALSE(local);
  EXPECT_FALSE(module_->IsInstalled());
  EXPECT_EQ(module_->Main("\"/opt/nuv/bin/nuv4ondeko\" /UnregServer"), 0);
  EXPECT_EQ(Registration().QueryLocalService(local), 2);
}

TEST_F(ServiceModuleTest, InstallWithSystemdEnablesAndUninstallStopsWithoutWaiting) {
  MakeModule(true, false);
  MakeDirs(unitDir_);
  EXPECT_EQ(module_->RegisterServer(true), 0);
  EXPECT_TRUE(module_->IsInstalled());
  EXPECT_NE(test::ReadWholeFile(unitDir_ + "/Nuv4OndekoService.service")
                .find("ExecStart=/opt/nuv/bin/nuv4ondeko\n"),
            std::string::npos);
  EXPECT_EQ(rec_.Get(&SystemRecord::systemctl),
            (std::vector<std::string>{"daemon-reload", "enable Nuv4OndekoService.service"}));
  EXPECT_TRUE(module_->Install());  // already installed: at once, nothing run
  EXPECT_EQ(rec_.Get(&SystemRecord::systemctl).size(), 2u);

  EXPECT_EQ(module_->UnregisterServer(), 0);
  EXPECT_FALSE(module_->IsInstalled());
  EXPECT_FALSE(test::FileExists(Registration().path()));
  auto calls = rec_.Get(&SystemRecord::systemctl);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[2], "stop --no-block Nuv4OndekoService.service");
  EXPECT_EQ(calls[3], "disable Nuv4OndekoService.service");
  EXPECT_EQ(calls[4], "daemon-reload");
  EXPECT_TRUE(module_->Uninstall());  // not installed: at once
  EXPECT_EQ(rec_.Get(&SystemRecord::systemctl).size(), 5u);
}

TEST_F(ServiceModuleTest, InstallFailuresFailTheRegistration) {
  // No unit directory: the service manager cannot be reached.
  EXPECT_EQ(module_->RegisterServer(true), 1);
  EXPECT_EQ(rec_.Get(&SystemRecord::console),
            std::vector<std::string>{"Nuv4OndekoService: Couldn't open service manager"});
  // systemd refuses to enable it: the unit is taken back.
  MakeModule(true, false);
  MakeDirs(unitDir_);
  platform_->enableResult = 1;
  EXPECT_EQ(module_->RegisterServer(true), 1);
  EXPECT_FALSE(module_->IsInstalled());
  EXPECT_TRUE(root_.LogContains("CServiceModule::Install(): Couldn't create service, return FALSE"));
}

TEST_F(ServiceModuleTest, InstallWithoutSystemdWritesTheUnitAndSaysWhatToRun) {
  MakeDirs(unitDir_);
  EXPECT_EQ(module_->RegisterServer(true), 0);
  EXPECT_TRUE(module_->IsInstalled());
  EXPECT_TRUE(rec_.Get(&SystemRecord::systemctl).empty());
  auto console = rec_.Get(&SystemRecord::console);
  ASSERT_EQ(console.size(), 1u);
  EXPECT_NE(console[0].find("systemctl daemon-reload && systemctl enable --now "
                            "Nuv4OndekoService.service"),
            std::string::npos);
  // Registering again replaces the unit (uninstall, then install).
  EXPECT_EQ(module_->RegisterServer(true), 0);
  EXPECT_TRUE(module_->IsInstalled());
}

// With the service's account present, -Service (run as root) names it in
// the unit, lets the unit write only the installation's writable
// directories, and gives those directories to the account, links not
// followed.
TEST_F(ServiceModuleTest, ServiceForItsAccountGivesItTheWritableDirectories) {
  if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  platform_->serviceUser = 65534;
  MakeDirs(unitDir_);
  MakeDirs(root_.config());
  test::WriteWholeFile(root_.config() + "qy.ini", "skey:x\n");
  ASSERT_EQ(symlink((root_.root() + "/keep").c_str(), (root_.config() + "elsewhere").c_str()), 0);
  ASSERT_EQ(module_->RegisterServer(true), 0);

  const std::string unit = test::ReadWholeFile(unitDir_ + "/Nuv4OndekoService.service");
  EXPECT_NE(unit.find("User=nuv4ondeko\nGroup=nuv4ondeko\n"), std::string::npos) << unit;
  char real[PATH_MAX];
  ASSERT_TRUE(realpath(root_.root().c_str(), real));
  const std::string r = real;
  EXPECT_NE(unit.find("ReadWritePaths=" + r + "/Config " + r + "/Logs " + r + "/Download " + r +
                      "/bin/TmpFiles\n"),
            std::string::npos)
      << unit;
  for (const std::string& p : {root_.config(), root_.config() + "qy.ini", root_.config() + "registration.ini",
                               root_.logs(), root_.bin() + "TmpFiles"}) {
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_uid, 65534u) << p;
  }
  struct stat st;
  ASSERT_EQ(stat((root_.root() + "/keep").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);  // behind a link: not the service's
}

// The package ships its own unit: -Service registers, writes no unit of its
// own (which would hide the package's) and asks systemd for nothing;
// -UnregServer leaves the package's unit alone, and so do both with the
// administrator's full copy of it in the system directory.
TEST_F(ServiceModuleTest, PackagedUnitIsLeftToThePackage) {
  MakeModule(true, false);
  const std::string vendor = root_.root() + "/vendor";
  MakeDirs(vendor);
  MakeDirs(unitDir_);
  test::WriteWholeFile(vendor + "/Nuv4OndekoService.service", "[Service]\n");
  test::WriteWholeFile(unitDir_ + "/Nuv4OndekoService.service", "[Service]\n# edited\n");
  platform_->packageUnitDirs = {root_.root() + "/none", vendor};
  EXPECT_EQ(module_->RegisterServer(true), 0);
  bool local = false;
  EXPECT_EQ(Registration().QueryLocalService(local), 0);
  EXPECT_TRUE(local);
  auto console = rec_.Get(&SystemRecord::console);
  ASSERT_EQ(console.size(), 1u);
  EXPECT_NE(console[0].find(vendor + "/Nuv4OndekoService.service comes with the package"), std::string::npos);
  EXPECT_EQ(module_->UnregisterServer(), 0);
  EXPECT_TRUE(rec_.Get(&SystemRecord::systemctl).empty());
  EXPECT_EQ(test::ReadWholeFile(vendor + "/Nuv4OndekoService.service"), "[Service]\n");
  EXPECT_EQ(test::ReadWholeFile(unitDir_ + "/Nuv4OndekoService.service"), "[Service]\n# edited\n");
}

}  // namespace
}  // namespace nuv
