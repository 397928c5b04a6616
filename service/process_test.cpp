// The real executable in a temporary install root: registration, the
// watchdog restarting a killed worker, the worker dying with a killed
// watchdog, the single-instance lock, and a clean stop on SIGTERM. Each wait
// is bounded; the whole file runs in about fifteen seconds of real time.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "service/e2e/e2e_process.h"
#include "service/test_log_count.h"

namespace nuv {
namespace {

using e2e::ProcessGone;
using e2e::SecondsSince;
using e2e::WaitUntil;
using Clock = e2e::SteadyClock;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = root_.bin() + "nuv4ondeko";
    std::string cmd = std::string("cp '") + NUV_BINARY_DIR + "/service/nuv4ondeko' '" + exe_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    // No status endpoint: its default port would be shared between runs.
    test::WriteWholeFile(root_.config() + "service.ini", "[status]\nlisten =\n");
    unitDir_ = root_.root() + "/units";
    ASSERT_EQ(system(("mkdir -p '" + unitDir_ + "'").c_str()), 0);
    // The children's environment: ours without anything that would make
    // them think systemd started them, plus the test-only settings.
    env_ = e2e::CleanEnvironment();
    env_.push_back("NUV4ONDEKO_TEST_UNIT_DIR=" + unitDir_);
  }

  void TearDown() override {
    for (pid_t p : spawned_) ::kill(p, SIGKILL);
    for (pid_t p : spawned_) ::waitpid(p, nullptr, WNOHANG);
    for (pid_t p : WorkerPids()) ::kill(p, SIGKILL);
  }

  pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(exe_.c_str())};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env_) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::execve(exe_.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    spawned_.push_back(pid);
    return pid;
  }

  // Exit code of a finished run, or -1 after maxSeconds (the process is
  // then killed).
  int WaitExit(pid_t pid, double maxSeconds) {
    int status = 0;
    bool done = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, maxSeconds);
    if (!done) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int Run(const std::vector<std::string>& args) { return WaitExit(Spawn(args), 5); }

  std::vector<pid_t> WorkerPids() {
    std::vector<pid_t> pids;
    const std::string tag = "StartChildProc CreateProcess() OK , child pid ";
    for (auto& l : root_.LogLines()) {
      size_t at = l.find(tag);
      if (at != std::string::npos) pids.push_back(std::atoi(l.c_str() + at + tag.size()));
    }
    return pids;
  }

  int CountLog(const std::string& needle) { return test::CountLogLines(root_, needle); }

  test::TempInstallRoot root_;
  std::string exe_;
  std::string unitDir_;
  std::vector<std::string> env_;
  std::vector<pid_t> spawned_;
};

TEST_F(ProcessTest, WatchdogRestartsAKilledWorkerAndSigtermEndsBoth) {
  // Registration as a service writes a unit systemd accepts.
  ASSERT_EQ(Run({"-Service"}), 0);
  const std::string unit = unitDir_ + "/Nuv4OndekoService.service";
  ASSERT_TRUE(test::FileExists(unit));
  EXPECT_NE(test::ReadWholeFile(unit).find("ExecStart=" + exe_ + "\n"), std::string::npos);
  if (system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
    EXPECT_EQ(system(("systemd-analyze verify '" + unit + "' >/dev/null 2>&1").c_str()), 0);
  }

  // Not started by systemd: the watchdog runs as a plain process.
  pid_t watchdog = Spawn({});
  ASSERT_TRUE(WaitUntil([&] { return WorkerPids().size() == 1; }, 5));
  const pid_t first = WorkerPids()[0];
  std::string cmdline = test::ReadWholeFile("/proc/" + std::to_string(first) + "/cmdline");
  EXPECT_NE(cmdline.find(std::string("/Child")), std::string::npos);

  auto killed = Clock::now();
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return WorkerPids().size() == 2; }, 9));
  const double restartSeconds = SecondsSince(killed);
  std::printf("worker restarted %.2f s after kill -9\n", restartSeconds);
  EXPECT_GE(restartSeconds, 4.5);
  EXPECT_LE(restartSeconds, 8.0);
  const pid_t second = WorkerPids()[1];
  EXPECT_NE(second, first);
  EXPECT_EQ(CountLog("m_bRunning is TRUE , child proc end, sleep 5sec to restart it"), 1);
  EXPECT_FALSE(ProcessGone(second));

  auto term = Clock::now();
  ASSERT_EQ(::kill(watchdog, SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(second); }, 2.5));
  const double workerSeconds = SecondsSince(term);
  EXPECT_EQ(WaitExit(watchdog, 9), 0);
  const double watchdogSeconds = SecondsSince(term);
  std::printf("after SIGTERM: worker gone in %.2f s, watchdog in %.2f s\n", workerSeconds,
              watchdogSeconds);
  EXPECT_GE(watchdogSeconds, 4.5);
  EXPECT_LE(watchdogSeconds, 8.0);
  EXPECT_EQ(CountLog("m_bRunning is FALSE , stop child proc"), 1);
  EXPECT_EQ(CountLog("TerminateChild() OK"), 1);
}

TEST_F(ProcessTest, KilledWatchdogTakesItsWorkerAndTheLockIsSingle) {
  // Not registered yet: "not found", nothing started.
  EXPECT_EQ(Run({}), 2);
  EXPECT_TRUE(WorkerPids().empty());
  ASSERT_EQ(Run({"-RegServer"}), 0);
  EXPECT_FALSE(test::FileExists(unitDir_ + "/Nuv4OndekoService.service"));

  pid_t watchdog = Spawn({});
  ASSERT_TRUE(WaitUntil([&] { return WorkerPids().size() == 1; }, 5));
  const pid_t worker = WorkerPids()[0];

  // A second watchdog finds the lock, says so and ends without a worker.
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(CountLog("已经运行了一个实例，不能重复运行"), 1);
  EXPECT_EQ(WorkerPids().size(), 1u);

  // A worker whose "/Child" is not last is a watchdog too (and meets the lock).
  EXPECT_EQ(Run({"/Child", "now"}), 0);
  EXPECT_EQ(CountLog("已经运行了一个实例，不能重复运行"), 2);

  auto killed = Clock::now();
  ASSERT_EQ(::kill(watchdog, SIGKILL), 0);
  ::waitpid(watchdog, nullptr, 0);
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 2));
  std::printf("worker gone %.2f s after kill -9 of the watchdog\n", SecondsSince(killed));

  // The kernel released the lock with the dead watchdog: a new one starts.
  pid_t next = Spawn({});
  EXPECT_TRUE(WaitUntil([&] { return WorkerPids().size() == 2; }, 5));
  ::kill(next, SIGKILL);
  ::waitpid(next, nullptr, 0);
  if (WorkerPids().size() == 2) {
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(WorkerPids()[1]); }, 2));
  }
}

}  // namespace
}  // namespace nuv
