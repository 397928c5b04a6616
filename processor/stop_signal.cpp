#include "processor/stop_signal.h"

#include "common/clock.h"

namespace nuv {

void StopSignal::Request() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

bool StopSignal::SleepMs(uint32_t ms) const {
  if (stop_.load()) return true;
  std::unique_lock<std::mutex> lk(mu_);
  return GetClock().WaitFor(lk, cv_, ms, [this] { return stop_.load(); });
}

bool StopSignal::WaitFor(uint32_t ms, const std::function<bool()>& pred) const {
  std::unique_lock<std::mutex> lk(mu_);
  GetClock().WaitFor(lk, cv_, ms, [&] { return stop_.load() || pred(); });
  return pred();
}

void StopSignal::Notify() const {
  { std::lock_guard<std::mutex> g(mu_); }
  cv_.notify_all();
}

}  // namespace nuv
