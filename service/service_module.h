#pragma once
// CServiceModule: the executable's three roles. As the registration tool it
// writes or removes the registration entries and the systemd unit; as the
// watchdog (the installed service, or the same code run from a console) it
// holds the single-instance lock, runs the watchdog thread that keeps one
// worker process alive, and waits for a stop request; for "/Child" it hands
// over to the worker's main routine; for "-Status" it prints the running
// worker's status. One instance per process, owned by the entry point.
// Threads: the main thread (everything but the watchdog loop), the watchdog
// thread and, as a service with a status source, the status thread that
// tells systemd a one-line status every few seconds; they share only
// m_bRunning (the status source is set before ServiceRun).

#include <atomic>
#include <cstdarg>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "service/child_process.h"
#include "service/instance_lock.h"
#include "service/message_loop.h"
#include "service/service_platform.h"

namespace nuv {

class CServiceModule {
 public:
  // The states reported to the service manager.
  enum State { kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4 };

  // runAsChild is the worker's main routine, called for "/Child".
  CServiceModule(std::unique_ptr<ServicePlatform> platform, std::unique_ptr<ChildProcess> child,
                 std::function<int()> runAsChild);
  ~CServiceModule();
  CServiceModule(const CServiceModule&) = delete;
  CServiceModule& operator=(const CServiceModule&) = delete;

  // The entry point's work for a whole command line; the process exit code.
  int Main(const std::string& commandLine);

  // Runs the watchdog as a service when it is one and systemd started it,
  // otherwise as a plain process.
  int StartModule();
  void ServiceMain();
  // A control request (MessageLoop::Control).
  void Handler(int control);
  // printf-style; to the system log as a service, to the console otherwise.
  void LogEvent(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The unit -Service wrote (in the system's unit directory).
  bool IsInstalled();
  // Writes and enables the unit; with a unit of the same name installed by
  // the package, only says how to start it.
  bool Install();
  // Stops, disables and removes the unit -Service wrote; nothing where the
  // package installed one.
  bool Uninstall();
  // 0 on success.
  int RegisterServer(bool bService);
  int UnregisterServer();
  // The watchdog process's main routine: returns about 5 s after a stop.
  void ServiceRun();

  // Starts the watchdog thread and returns at once.
  void DoChildProc();
  // 0 or -1.
  int StartChildProc();
  // 0 ended, 1 still running after 1000 ms, -1 wait failed.
  int WaitChild();
  // 0 or -1.
  int TerminateChild();

  // Where the watchdog's one-line status for systemd comes from (asked every
  // kStatusEveryMs while it runs as a service); unset: no status line.
  void SetStatusSource(std::function<std::string()> source) { statusSource_ = std::move(source); }
  // What "-Status" runs: prints into out, returns the exit code. Unset: 4.
  void SetStatusCommand(std::function<int(std::string* out)> command) { statusCommand_ = std::move(command); }
  static constexpr uint32_t kStatusEveryMs = 5000;
  // The environment variable that tells a worker how many workers this
  // watchdog started before it.
  static const char kRestartsVariable[];

  // Whether ServiceRun reads the stop signals (tests running the module in
  // their own process turn it off and call Handler instead).
  void SetCatchSignals(bool on) { catchSignals_ = on; }
  bool IsService() const { return m_bService; }
  void SetService(bool on) { m_bService = on; }
  bool IsRunning() const { return m_bRunning.load(); }
  State state() const { return m_status.currentState.load(); }
  int exitCode() const { return m_status.exitCode; }

 private:
  void WatchdogThread();
  void StatusThread();
  void SetServiceStatus(State state);
  std::string UnitPath();
  // The package's unit of this name, or "".
  std::string PackagedUnitPath();
  // Makes the service's account (when it exists) the owner of the
  // directories the service writes and of what they hold.
  bool GiveToServiceUser();

  const std::string m_szServiceName;
  bool m_bService = false;
  bool catchSignals_ = true;
  // The status record: written by the main thread, read by tests.
  struct Status {
    std::atomic<State> currentState{kStopped};
    int exitCode = 0;
  } m_status;
  // Shared between the main thread and the watchdog thread.
  std::atomic<bool> m_bRunning{false};

  std::unique_ptr<ServicePlatform> platform_;
  std::unique_ptr<ChildProcess> child_;  // used by the watchdog thread only
  std::function<int()> runAsChild_;
  std::function<std::string()> statusSource_;
  std::function<int(std::string*)> statusCommand_;
  int childStarts_ = 0;  // workers started; watchdog thread only
  MessageLoop loop_;
  InstanceLock lock_;
  std::thread watchdog_;
  std::thread status_;
};

}  // namespace nuv
