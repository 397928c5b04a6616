#pragma once
// StopSignal: tells the processor's threads to end (process shutdown, tests
// destroying a processor) and lets them sleep on the service clock in a way
// that a stop request cuts short. Also carries the supervisor's "a thread
// ended" wake-up (Notify). Owned by the processor; any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace nuv {

class StopSignal {
 public:
  // Sets the flag and wakes every sleeper.
  void Request();
  bool Requested() const { return stop_.load(); }
  // Sleeps ms on the service clock; returns true at once when a stop is (or
  // becomes) requested, false after the full sleep.
  bool SleepMs(uint32_t ms) const;
  // Waits up to ms for pred() or a stop request; re-checks pred on every
  // Notify. Returns pred()'s last value.
  bool WaitFor(uint32_t ms, const std::function<bool()>& pred) const;
  // Wakes waiters so they re-check their predicate.
  void Notify() const;

 private:
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
};

}  // namespace nuv
