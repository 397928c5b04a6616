#include "processor/seams.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

constexpr int kFirstType = WQUEUE_NUV2ONDEKOMSG;
constexpr int kLastType = WQUEUE_FETCHONDEKOMSG;

// Placeholder for a thread whose real routine has not been wired in: idles
// until the processor stops.
void IdleRoutine(CNuv4OndekoProcessor&, const StopSignal& stop) {
  while (!stop.SleepMs(10000)) {
  }
}

}  // namespace

ProcessorSeams DefaultProcessorSeams() {
  ProcessorSeams s;
  s.reportReboot = [](const std::wstring& code) {
    WriteLogF("ReportReboot '%s' not sent, no reporter installed", WideToUtf8(code).c_str());
    return 0;
  };
  s.exitProcess = [](int exitCode) { std::_Exit(exitCode); };
  s.syncOrg2Ondeko = IdleRoutine;
  s.reportMsgStat = IdleRoutine;
  return s;
}

WorkHandler MsgHandler(std::function<int(CQueueMsg& msg, bool isRetry)> fn) {
  return [fn = std::move(fn)](WorkItem& item, bool isRetry) {
    if (!item.msg) {
      WriteLogF("WorkHandler MsgType = %d without message, skip", item.type);
      return 1;
    }
    return fn(*item.msg, isRetry);
  };
}

WorkHandler TokenHandler(std::function<int(uint64_t token)> fn) {
  return [fn = std::move(fn)](WorkItem& item, bool) { return fn(item.token); };
}

WorkHandler FetchHandler(std::function<int(uint64_t first, uint64_t last)> fn) {
  return [fn = std::move(fn)](WorkItem& item, bool) { return fn(item.range.first, item.range.last); };
}

struct HandlerTable::Impl {
  mutable std::mutex mu;  // guards handlers
  std::vector<WorkHandler> handlers = std::vector<WorkHandler>(kLastType + 1);
};

HandlerTable::HandlerTable() : impl_(std::make_unique<Impl>()) {}
HandlerTable::~HandlerTable() = default;

bool HandlerTable::Register(int type, WorkHandler handler) {
  if (type < kFirstType || type > kLastType) return false;
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->handlers[type] = std::move(handler);
  return true;
}

WorkHandler HandlerTable::Find(int type) const {
  if (type < kFirstType || type > kLastType) return WorkHandler();
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->handlers[type];
}

}  // namespace nuv
