#pragma once
// Resource probes used by the worker's resource guard: the process's private
// memory and the machine's CPU load. Only the worker's main thread calls
// GetCpuUsage (its previous sample is process-wide and unguarded).

#include <cstdint>

namespace nuv {

// Private resident plus swapped memory of this process (RssAnon + VmSwap from
// /proc/self/status) in KB. 0, or -1 on failure.
int GetMemUsageKB(uint64_t& kb);

// Machine CPU load in percent from the idle time in /proc/stat and the service
// clock. 0, or -1 when /proc/stat cannot be read, -2 when the processor count
// is unknown, -3 when the clock gives no time, -4 when the idle time is
// missing. The first call only records a sample and yields 0.
int GetCpuUsage(int& load);

// The load formula over samples, separated from the system for tests.
// Idle and time are in the same unit (ms); idle summed over all processors.
class CpuLoadCalculator {
 public:
  // Returns the last accepted load; a computed value outside 0..100 is
  // ignored and the previous load kept.
  int Update(uint64_t idle, uint64_t time, int processors);

 private:
  uint64_t prevIdle_ = 0;
  uint64_t prevTime_ = 0;
  int lastLoad_ = 0;
};

}  // namespace nuv
