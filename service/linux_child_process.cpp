// fork/exec, pidfd wait and kill of the worker process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "service/child_process.h"

extern char** environ;

namespace nuv {
namespace {

class LinuxChildProcess : public ChildProcess {
 public:
  ~LinuxChildProcess() override { CloseHandles(); }

  void SetEnvironment(std::vector<std::string> vars) override { extraEnv_ = std::move(vars); }

  int Start(const std::string& program, const std::vector<std::string>& args, int& pid,
            int& err) override {
    pid = 0;
    err = 0;
    if (pid_ > 0) {
      err = EBUSY;
      return -1;
    }
    // Everything the child needs is prepared before fork: after it, in a
    // process with threads, only async-signal-safe calls are allowed.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Our environment without the variables set here, then those.
    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e) {
      bool replaced = false;
      for (const std::string& v : extraEnv_) {
        const size_t eq = v.find('=');
        if (eq != std::string::npos) replaced = replaced || std::strncmp(*e, v.c_str(), eq + 1) == 0;
      }
      if (!replaced) envp.push_back(*e);
    }
    for (const std::string& v : extraEnv_) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);
    const pid_t parent = ::getpid();
    // The child reports a failed exec through this pipe; a successful exec
    // closes it (O_CLOEXEC) and the parent reads end-of-file.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
      err = errno;
      return -1;
    }
    pid_t child = ::fork();
    if (child < 0) {
      err = errno;
      ::close(report[0]);
      ::close(report[1]);
      return -1;
    }
    if (child == 0) {
      ::close(report[0]);
      // The watchdog blocks its stop signals to read them synchronously; a
      // blocked mask survives exec, so the worker gets a clean one.
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      // Its own process group: Ctrl-C at the watchdog's console reaches the
      // watchdog alone, which then ends the worker in order.
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(1);  // the watchdog died before prctl
      ::execve(program.c_str(), argv.data(), envp.data());
      int e = errno;
      ssize_t ignored = ::write(report[1], &e, sizeof e);
      (void)ignored;
      ::_exit(127);
    }
    ::close(report[1]);
    int childErr = 0;
    ssize_t n;
    do {
      n = ::read(report[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n > 0) {
      ::waitpid(child, nullptr, 0);
      err = childErr;
      return -1;
    }
    pid_ = child;
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));  // -1: poll waitpid
    pid = child;
    return 0;
  }

  int Wait(uint32_t timeoutMs) override {
    if (pid_ <= 0) return -1;
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      int r;
      do {
        r = ::poll(&p, 1, static_cast<int>(timeoutMs));
      } while (r < 0 && errno == EINTR);
      if (r < 0) return -1;
      if (r == 0) return 1;
      return Reap(0) ? 0 : -1;
    }
    // Without pidfd support: look every 50 ms.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
      if (r == pid_) {
        CloseHandles();
        return 0;
      }
      if (r < 0 && errno != EINTR) return -1;
      if (std::chrono::steady_clock::now() >= deadline) return 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  int Terminate() override {
    if (pid_ <= 0) return -1;
    if (::kill(pid_, SIGKILL) != 0 && errno != ESRCH) return -1;
    return Reap(0) ? 0 : -1;
  }

 private:
  // Collects the ended child; flags 0 blocks until it has ended.
  bool Reap(int flags) {
    pid_t r;
    do {
      r = ::waitpid(pid_, nullptr, flags);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    CloseHandles();
    return true;
  }

  void CloseHandles() {
    if (pidfd_ >= 0) ::close(pidfd_);
    pidfd_ = -1;
    pid_ = 0;
  }

  pid_t pid_ = 0;
  int pidfd_ = -1;
  std::vector<std::string> extraEnv_;
};

}  // namespace

std::unique_ptr<ChildProcess> NewLinuxChildProcess() {
  return std::make_unique<LinuxChildProcess>();
}

}  // namespace nuv
