#pragma once
// Microseconds of CLOCK_MONOTONIC. The simulators stamp what they record
// with it; the clock is one for every process on the machine, so stamps
// taken by two simulators and by the benchmark that drives them compare
// directly.

#include <time.h>

#include <cstdint>

namespace nuv {
namespace sim {

inline int64_t MonotonicMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace sim
}  // namespace nuv
