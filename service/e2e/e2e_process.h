#pragma once
// Test-support helpers of the end-to-end tests: a child process started
// from a program path with its own environment and an output file, stopped
// and reaped with bounded waits; and the small waiting and process-state
// helpers around it. Used by one test thread at a time.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace nuv {
namespace e2e {

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point t);

// Polls pred every pollMs until it is true (true) or maxSeconds passed
// (false).
bool WaitUntil(const std::function<bool()>& pred, double maxSeconds, int pollMs = 50);

// True when pid no longer runs: gone, or a zombie. Reaps it first when it is
// a child of this process (the end-to-end tests make themselves the
// subreaper of orphaned grandchildren, so a worker whose watchdog was killed
// ends up here).
bool ProcessGone(pid_t pid);

// Makes this process adopt orphaned descendants (so that they can be reaped
// and checked). Idempotent.
void BecomeSubreaper();

// The environment of this process without the variables that would make a
// child believe systemd started it and without earlier NUV4ONDEKO_ settings.
std::vector<std::string> CleanEnvironment();

// A started program. The destructor kills it (SIGKILL) and reaps it.
class Subprocess {
 public:
  Subprocess() = default;
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Starts exe with args (argv[0] = exe) and env, stdout and stderr appended
  // to outFile. False when fork or exec failed (exec failure shows as exit
  // code 127).
  bool Start(const std::string& exe, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::string& outFile);

  pid_t pid() const { return pid_; }
  // Still running (not yet reaped).
  bool Running();
  // Waits up to maxSeconds for the end: the exit code (128 + signal for a
  // killed process), or -1 when it still runs.
  int Wait(double maxSeconds);
  void Signal(int sig);
  // SIGTERM, up to graceSeconds for the end, then SIGKILL. The exit status as
  // Wait reports it.
  int Stop(double graceSeconds);
  // What the program wrote so far.
  std::string Output() const;
  // Waits until the output contains needle.
  bool WaitForOutput(const std::string& needle, double maxSeconds);

 private:
  pid_t pid_ = -1;
  bool reaped_ = true;
  int status_ = 0;
  std::string outFile_;
};

}  // namespace e2e
}  // namespace nuv
