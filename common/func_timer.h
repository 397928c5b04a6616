#pragma once
// FuncTimer: placed at the top of an operation, measures it in milliseconds
// on the service clock's 32-bit ticks; with the report turned on, its
// destruction logs "<name>() TOTALTIME <n> ms". Owned by one thread.

#include <cstdint>
#include <string>

namespace nuv {

class FuncTimer {
 public:
  explicit FuncTimer(std::wstring funcName);
  ~FuncTimer();
  FuncTimer(const FuncTimer&) = delete;
  FuncTimer& operator=(const FuncTimer&) = delete;

  void EnableReport(bool on) { report_ = on; }
  // Milliseconds since the previous lap (or construction), correct across the
  // 32-bit wrap.
  uint32_t Lap();

 private:
  uint32_t startTick_;
  uint32_t lastTick_;
  uint32_t nowTick_;
  std::wstring funcName_;
  bool report_ = false;
};

}  // namespace nuv
