#pragma once
// What the worker's status endpoint answers, built from the metrics snapshot
// and the gauges read when the request came: the Prometheus text exposition
// (/metrics), the health verdict (/healthz) and the same figures as JSON
// (/status). Pure functions; any thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bridge_metrics.h"

namespace nuv {

// Queue order of the gauges: the four work queues by identifier, then the
// combine queue.
constexpr int kStatusQueues = 5;
extern const char* const kStatusQueueNames[kStatusQueues];  // "TXT2NUV" ... "COMBINEQUEUE"

// The worker's state as it is now (read on each request).
struct WorkerGauges {
  int pid = 0;
  int processorStatus = -1;  // INIT..EXIT, -1 before the processor exists
  bool imUp = false;         // IM application started and the processor in START
  uint64_t queues[kStatusQueues] = {};
  bool journal = false;  // a work journal is in use
  uint64_t journalQueued = 0;
  uint64_t journalParked = 0;
  int64_t oldestParkedAgeSec = 0;
  uint64_t residentBytes = 0;
  double cpuSeconds = 0;
  std::string logFile;
};

// Healthy: the IM application is up and the push connection established.
bool IsHealthy(const MetricsSnapshot& m, const WorkerGauges& g);

std::string FormatMetricsText(const MetricsSnapshot& m, const WorkerGauges& g);
// {"im": "up"|"down", "push": ..., "processor": "START"|...}, one line.
std::string FormatHealthJson(const MetricsSnapshot& m, const WorkerGauges& g);
// Every figure of the exposition, for people and scripts; now: seconds since 1970.
std::string FormatStatusJson(const MetricsSnapshot& m, const WorkerGauges& g, int64_t now);

}  // namespace nuv
