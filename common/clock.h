#pragma once
// The one clock of the service. Every clock read and every wait goes through
// Clock so that tests can run long timers (5 s retries, 20 s checks, 900 s idle
// timers) in virtual time. Production uses SystemClock; tests install a
// VirtualClock with SetClockForTest. Any thread may call any method.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace nuv {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970 (UTC).
  virtual int64_t Now() = 0;
  // Milliseconds since 1970; finer-grained companion of Now().
  virtual int64_t NowMs() = 0;
  // Millisecond tick counter, 32-bit, wrapping like the platform tick.
  virtual uint32_t TickMs() = 0;
  // Blocks the calling thread for ms milliseconds of this clock's time.
  virtual void SleepMs(uint32_t ms) = 0;
  // Waits on cv (lk held by the caller) until pred() is true or ms of this
  // clock's time have passed. Returns pred()'s last value. Callers that change
  // the state pred() reads must notify cv as usual.
  virtual bool WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                       uint32_t ms, const std::function<bool()>& pred) = 0;
};

// The process-wide clock: the system clock unless another was installed.
Clock& GetClock();
// Makes clock the process-wide clock (nullptr restores the system clock); the
// caller keeps it alive while installed. Call while no other thread uses the
// clock.
void InstallClock(Clock* clock);
// The tests' way to install their clock: InstallClock, defined in the test
// support library (nuv_testsupport), which no shipped program links.
void SetClockForTest(Clock* clock);

// Wall-clock time, steady ticks and real sleeps.
class SystemClock : public Clock {
 public:
  int64_t Now() override;
  int64_t NowMs() override;
  uint32_t TickMs() override;
  void SleepMs(uint32_t ms) override;
  bool WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
               const std::function<bool()>& pred) override;
};

// Sleeps in slices of at most sliceMs on the process clock until ms have
// passed or stop() turns true. Returns true when stopped. Used by threads
// that must react to a stop request within about a second while they wait.
bool SleepUnless(uint32_t ms, const std::function<bool()>& stop, uint32_t sliceMs = 100);

}  // namespace nuv
