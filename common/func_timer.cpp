#include "common/func_timer.h"

#include "common/clock.h"
#include "common/log.h"
#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {

FuncTimer::FuncTimer(std::wstring funcName) : funcName_(std::move(funcName)) {
  startTick_ = lastTick_ = nowTick_ = GetClock().TickMs();
}

FuncTimer::~FuncTimer() {
  if (report_) {
    uint32_t ms = Lap();
    WriteLog(Utf8ToWide(StrFormat("%s() TOTALTIME %d ms", WideToUtf8(funcName_).c_str(),
                                  static_cast<int>(ms))));
  }
}

uint32_t FuncTimer::Lap() {
  nowTick_ = GetClock().TickMs();
  uint32_t d = nowTick_ - lastTick_;
  lastTick_ = nowTick_;
  return d;
}

}  // namespace nuv
