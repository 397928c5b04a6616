#include "common/virtual_clock.h"

#include <chrono>
#include <thread>

namespace nuv {
namespace {
// Real-time slice of a PollFor caller's socket wait between looks at the
// virtual time.
constexpr uint32_t kPollSliceMs = 1;
}  // namespace

VirtualClock::VirtualClock(Mode mode, int64_t startMs, uint32_t startTick)
    : mode_(mode), startMs_(startMs), startTick_(startTick), nowMs_(startMs) {}

VirtualClock::~VirtualClock() = default;

int64_t VirtualClock::Now() { return nowMs_.load() / 1000; }
int64_t VirtualClock::NowMs() { return nowMs_.load(); }

uint32_t VirtualClock::TickMs() {
  return static_cast<uint32_t>(startTick_ + static_cast<uint64_t>(nowMs_.load() - startMs_));
}

void VirtualClock::BeginSleep(int64_t deadline) {
  std::lock_guard<std::mutex> g(mu_);
  deadlines_.insert(deadline);
  ++sleepers_;
}

void VirtualClock::EndSleep(int64_t deadline) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = deadlines_.find(deadline);
  if (it != deadlines_.end()) deadlines_.erase(it);
  --sleepers_;
}

void VirtualClock::WaitUntilMs(int64_t deadline) {
  if (mode_ == Mode::kAuto) {
    int64_t cur = nowMs_.load();
    while (cur < deadline && !nowMs_.compare_exchange_weak(cur, deadline)) {
    }
    std::lock_guard<std::mutex> g(mu_);
    cv_.notify_all();
    return;
  }
  std::unique_lock<std::mutex> lk(mu_);
  deadlines_.insert(deadline);
  ++sleepers_;
  cv_.wait(lk, [&] { return nowMs_.load() >= deadline; });
  deadlines_.erase(deadlines_.find(deadline));
  --sleepers_;
}

void VirtualClock::SleepMs(uint32_t ms) { WaitUntilMs(nowMs_.load() + ms); }

bool VirtualClock::WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
                           const std::function<bool()>& pred) {
  const int64_t deadline = nowMs_.load() + ms;
  if (mode_ == Mode::kAuto) {
    // Give a notifier a short real-time chance, then jump to the deadline.
    BeginSleep(deadline);
    const bool notified = cv.wait_for(lk, std::chrono::milliseconds(5), pred);
    EndSleep(deadline);
    if (notified) return true;
    int64_t cur = nowMs_.load();
    while (cur < deadline && !nowMs_.compare_exchange_weak(cur, deadline)) {
    }
    return pred();
  }
  BeginSleep(deadline);
  bool ok = false;
  for (;;) {
    if (pred()) { ok = true; break; }
    if (nowMs_.load() >= deadline) break;
    cv.wait_for(lk, std::chrono::milliseconds(1));
  }
  EndSleep(deadline);
  return ok;
}

int VirtualClock::PollFor(uint32_t ms, const std::function<int(uint32_t sliceMs)>& poll) {
  const int64_t deadline = nowMs_.load() + ms;
  BeginSleep(deadline);
  int rc = 0;
  while (rc == 0 && nowMs_.load() < deadline) rc = poll(kPollSliceMs);
  EndSleep(deadline);
  return rc;
}

void VirtualClock::NoteWakeup(int delta) {
  if (delta > 0) {
    pendingWakeups_ += delta;
    return;
  }
  // Never below zero: a wait that began on another clock (installed before
  // this one) may end here.
  int cur = pendingWakeups_.load();
  while (cur > 0 && !pendingWakeups_.compare_exchange_weak(cur, cur + delta > 0 ? cur + delta : 0)) {
  }
}

void VirtualClock::Advance(int64_t ms) {
  nowMs_ += ms;
  std::lock_guard<std::mutex> g(mu_);
  cv_.notify_all();
}

void VirtualClock::SetNowMs(int64_t ms) {
  nowMs_ = ms;
  std::lock_guard<std::mutex> g(mu_);
  cv_.notify_all();
}

bool VirtualClock::WaitForSleepers(int n, int maxRealMs) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxRealMs);
  while (sleepers_.load() < n) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

bool VirtualClock::WaitUntilSettled(int n, int maxRealMs) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxRealMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (sleepers_.load() >= n && pendingWakeups_.load() == 0 &&
          (deadlines_.empty() || *deadlines_.begin() > nowMs_.load()))
        return true;
    }
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void VirtualClock::AdvanceInSteps(int64_t totalMs, int64_t stepMs, int sleepersBefore) {
  for (int64_t done = 0; done < totalMs; done += stepMs) {
    WaitForSleepers(sleepersBefore);
    Advance(stepMs < totalMs - done ? stepMs : totalMs - done);
  }
}

}  // namespace nuv
