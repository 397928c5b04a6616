#pragma once
// Virtual clock for tests. Time moves only when the test calls Advance (manual
// mode) or, in auto mode, whenever a thread sleeps: the sleeper's deadline
// becomes the new time at once (a WaitFor caller first gets a few real
// milliseconds for a notifier). Sleepers and WaitFor callers in manual mode
// block (in real time) until Advance moves virtual time past their deadline.
// PollFor callers wait for their sockets in real time until virtual time,
// moved by someone else, passes their deadline; they never move time
// themselves, in either mode, since their peer is real and may answer at any
// real moment. Every waiter counts as a sleeper with its deadline.
// Thread-safe; owned by the test that installs it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "common/clock.h"

namespace nuv {

class VirtualClock : public Clock {
 public:
  enum class Mode { kManual, kAuto };
  // startMs: milliseconds since 1970; startTick: initial 32-bit tick value
  // (set near 0xFFFFFFFF to test the wrap).
  explicit VirtualClock(Mode mode = Mode::kManual, int64_t startMs = 1765274400000LL,
                        uint32_t startTick = 1000);
  ~VirtualClock() override;

  int64_t Now() override;
  int64_t NowMs() override;
  uint32_t TickMs() override;
  void SleepMs(uint32_t ms) override;
  bool WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
               const std::function<bool()>& pred) override;
  int PollFor(uint32_t ms, const std::function<int(uint32_t sliceMs)>& poll) override;
  void NoteWakeup(int delta) override;

  // Moves virtual time forward and wakes every sleeper whose deadline passed.
  void Advance(int64_t ms);
  // Sets the absolute time (never backwards for sleepers' sake).
  void SetNowMs(int64_t ms);
  // Number of threads currently blocked in SleepMs, WaitFor or PollFor.
  int Sleepers() const { return sleepers_.load(); }
  // Blocks (real time, bounded by maxRealMs) until at least n threads sleep.
  bool WaitForSleepers(int n, int maxRealMs = 5000) const;
  // Blocks (real time, bounded) until at least n threads sleep and none of
  // them is due: every sleeper whose deadline an Advance passed, and every
  // one a WakeupEvent was notified for, has woken and gone back to sleep (or
  // ended). After it, whatever the time reached so far and the wake-ups
  // given so far make the sleepers do has been done.
  bool WaitUntilSettled(int n, int maxRealMs = 5000) const;
  // Repeatedly waits for n sleepers and advances by stepMs, totalMs in all.
  // Drives multi-threaded code through long virtual spans deterministically.
  void AdvanceInSteps(int64_t totalMs, int64_t stepMs, int sleepersBefore = 1);

 private:
  void WaitUntilMs(int64_t deadline);
  // Counts the caller as a sleeper due at deadline (and back).
  void BeginSleep(int64_t deadline);
  void EndSleep(int64_t deadline);

  const Mode mode_;
  const int64_t startMs_;
  const uint32_t startTick_;
  std::atomic<int64_t> nowMs_;
  std::atomic<int> sleepers_{0};
  std::atomic<int> pendingWakeups_{0};  // notified WakeupEvent waiters not yet returned
  // Guards deadlines_ and the wake-up condition of sleepers.
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::multiset<int64_t> deadlines_;  // one per sleeper
};

}  // namespace nuv
