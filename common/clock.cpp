#include "common/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace nuv {
namespace {

SystemClock& TheSystemClock() {
  static SystemClock clock;
  return clock;
}

std::atomic<Clock*> g_installedClock{nullptr};

}  // namespace

Clock& GetClock() {
  Clock* c = g_installedClock.load(std::memory_order_acquire);
  return c ? *c : TheSystemClock();
}

void InstallClock(Clock* clock) { g_installedClock.store(clock, std::memory_order_release); }

int64_t SystemClock::Now() { return static_cast<int64_t>(::time(nullptr)); }

int64_t SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

uint32_t SystemClock::TickMs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SystemClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SystemClock::WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
                          const std::function<bool()>& pred) {
  return cv.wait_for(lk, std::chrono::milliseconds(ms), pred);
}

int Clock::PollFor(uint32_t ms, const std::function<int(uint32_t sliceMs)>& poll) {
  return poll(ms);
}

void WakeupEvent::Notify() {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (waiting_ && !set_ && !noted_) {
      GetClock().NoteWakeup(1);
      noted_ = true;
    }
    set_ = true;
  }
  cv_.notify_all();
}

bool WakeupEvent::WaitMs(uint32_t ms) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!set_) {
    waiting_ = true;
    GetClock().WaitFor(lk, cv_, ms, [this] { return set_; });
    waiting_ = false;
    if (noted_) {
      GetClock().NoteWakeup(-1);
      noted_ = false;
    }
  }
  const bool woken = set_;
  set_ = false;
  return woken;
}

bool SleepUnless(uint32_t ms, const std::function<bool()>& stop, uint32_t sliceMs) {
  Clock& clock = GetClock();
  if (sliceMs == 0) sliceMs = 1;
  uint32_t waited = 0;
  while (waited < ms) {
    if (stop()) return true;
    uint32_t step = ms - waited < sliceMs ? ms - waited : sliceMs;
    clock.SleepMs(step);
    waited += step;
  }
  return stop();
}

}  // namespace nuv
