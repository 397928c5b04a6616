#include "service/e2e/e2e_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "common/test_support.h"

extern char** environ;

namespace nuv {
namespace e2e {

double SecondsSince(SteadyClock::time_point t) {
  return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

bool WaitUntil(const std::function<bool()>& pred, double maxSeconds, int pollMs) {
  const auto start = SteadyClock::now();
  for (;;) {
    if (pred()) return true;
    if (SecondsSince(start) > maxSeconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
}

bool ProcessGone(pid_t pid) {
  if (pid <= 0) return true;
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == pid) return true;
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  // Plain read(): the file may vanish while the process exits.
  int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char buf[1024];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n <= 0) return true;
  std::string stat(buf, static_cast<size_t>(n));
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || (paren + 2 < stat.size() && stat[paren + 2] == 'Z');
}

void BecomeSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

std::vector<std::string> CleanEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string v = *e;
    if (v.rfind("NOTIFY_SOCKET=", 0) == 0 || v.rfind("INVOCATION_ID=", 0) == 0 ||
        v.rfind("NUV4ONDEKO_", 0) == 0)
      continue;
    env.push_back(v);
  }
  return env;
}

Subprocess::~Subprocess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
}

bool Subprocess::Start(const std::string& exe, const std::vector<std::string>& args,
                       const std::vector<std::string>& env, const std::string& outFile) {
  outFile_ = outFile;
  std::vector<char*> argv{const_cast<char*>(exe.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    // Our own signal mask and dispositions must not leak into the program.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    // A test killed midway takes its programs with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fd);
  pid_ = pid;
  reaped_ = false;
  return true;
}

bool Subprocess::Running() {
  if (reaped_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

int Subprocess::Wait(double maxSeconds) {
  if (!reaped_ && !WaitUntil([this] { return !Running(); }, maxSeconds, 20)) return -1;
  if (pid_ < 0) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Subprocess::Signal(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

int Subprocess::Stop(double graceSeconds) {
  Signal(SIGTERM);
  int rc = Wait(graceSeconds);
  if (rc != -1) return rc;
  Signal(SIGKILL);
  return Wait(5);
}

std::string Subprocess::Output() const {
  return test::FileExists(outFile_) ? test::ReadWholeFile(outFile_) : std::string();
}

bool Subprocess::WaitForOutput(const std::string& needle, double maxSeconds) {
  return WaitUntil([&] { return Output().find(needle) != std::string::npos; }, maxSeconds);
}

}  // namespace e2e
}  // namespace nuv
