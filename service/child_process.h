#pragma once
// ChildProcess: the operating-system side of the worker process as the
// watchdog thread handles it: start it, wait for it a bounded time, kill it.
// The watchdog thread owns one and is its only user. Tests substitute their
// own to drive the watchdog on the virtual clock.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuv {

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  // Variables ("NAME=value") the next starts add to the caller's environment.
  virtual void SetEnvironment(std::vector<std::string> vars) { (void)vars; }
  // Starts program with args (argv[0] is the program itself), the caller's
  // environment (with SetEnvironment's variables) and current directory. 0 and the new pid, or -1 and the
  // system error code in err.
  virtual int Start(const std::string& program, const std::vector<std::string>& args, int& pid,
                    int& err) = 0;
  // 0 when the child has ended (and is reaped), 1 when it still runs after
  // timeoutMs, -1 when waiting failed.
  virtual int Wait(uint32_t timeoutMs) = 0;
  // Kills the child and reaps it. 0, or -1 when there is no child or it
  // could not be killed.
  virtual int Terminate() = 0;
};

// fork and exec, with a pidfd to wait on. The child is made to die with the
// thread that started it (PR_SET_PDEATHSIG, SIGKILL) and ends at once if
// that parent is already gone before it could ask, so that a watchdog killed
// abruptly never leaves a worker behind.
std::unique_ptr<ChildProcess> NewLinuxChildProcess();

}  // namespace nuv
