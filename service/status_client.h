#pragma once
// The running worker's status as the operator's command (-Status) and the
// watchdog's one-line systemd status read it: found through service.ini
// [status] listen (or, when it names port 0, the address the worker
// published), asked over loopback HTTP with short time-outs, summed up in
// words. Any thread; each call makes its own connection.

#include <string>
#include <vector>

namespace nuv {

struct WorkerStatus {
  enum State {
    kHealthy,     // the worker answered: IM and push up
    kUnhealthy,   // the worker answered: something is down
    kNotRunning,  // no answer where the worker would listen
    kOff,         // the status endpoint is turned off or misconfigured
  } state = kNotRunning;
  std::string address;             // where it was asked ("" when off)
  std::string line;                // one line (systemd's status)
  std::vector<std::string> lines;  // the summary for people
};

// Asks the worker of this installation (service.ini as this process read
// it; the published address in configDir, ending in '/'); waits at most
// about timeoutMs.
WorkerStatus QueryWorkerStatus(const std::string& configDir, int timeoutMs);

// The summary of a /status answer (JSON text); false when it is not one.
bool SummarizeStatusJson(const std::string& json, int64_t now, WorkerStatus* out);

// -Status: prints the summary to out; the exit code: 0 healthy, 1 not
// healthy, 3 not running, 4 the endpoint is off.
int PrintWorkerStatus(const std::string& configDir, std::string* out);

}  // namespace nuv
