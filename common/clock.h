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
  // Waits for something outside the clock (sockets, pipes) for up to ms of
  // this clock's time. poll(sliceMs) is the caller's own readiness wait: it
  // blocks for at most sliceMs of real time and returns non-zero when the
  // wait should end (ready, error, stop). PollFor returns poll's first
  // non-zero result, or 0 once ms have passed. The default runs poll(ms)
  // once, which is right for any clock whose time is real time.
  virtual int PollFor(uint32_t ms, const std::function<int(uint32_t sliceMs)>& poll);
  // Told by WakeupEvent when a Notify is about to end a waiter's wait (+1)
  // and when that waiter has returned (-1), so that a virtual clock can tell
  // a notified sleeper from an idle one. Nothing by default.
  virtual void NoteWakeup(int /*delta*/) {}
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

// WakeupEvent: a timed wait that a producer can end early. The wait runs on
// the process clock (a VirtualClock drives its time-out in tests, and counts
// the waiter as a sleeper), and the event stays set until a wait consumes
// it, so a Notify that comes just before the wait is not lost. Meant for one
// waiting thread (a queue's consumer); any thread may Notify.
class WakeupEvent {
 public:
  // Sets the event and wakes the waiter.
  void Notify();
  // Waits until the event is set or ms of the process clock have passed,
  // then clears it. True when the event was set.
  bool WaitMs(uint32_t ms);

 private:
  // Guards the flags.
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
  bool waiting_ = false;  // a thread is inside WaitMs's clock wait
  bool noted_ = false;    // Notify told the clock it ends that wait
};

// Sleeps in slices of at most sliceMs on the process clock until ms have
// passed or stop() turns true. Returns true when stopped. Used by threads
// that must react to a stop request within about a second while they wait.
bool SleepUnless(uint32_t ms, const std::function<bool()>& stop, uint32_t sliceMs = 100);

}  // namespace nuv
