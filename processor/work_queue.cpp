#include "processor/work_queue.h"

#include <array>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "common/log.h"
#include "config/config_center.h"

namespace nuv {
namespace {

// Lock names and hold limit of the queue operations.
const wchar_t kEnqueueLock[] = L"Enqueue";
const wchar_t kOutQueueLock[] = L"OutQueue";
constexpr uint32_t kQueueLockLimitMs = 300000;
// A failed item waits more than this many seconds before its second attempt.
constexpr int64_t kRetryPauseSec = 5;

int32_t NowSec() { return static_cast<int32_t>(GetClock().Now()); }

// OutQueue's test: a fresh item, or a held-back one whose pause has passed.
bool IsReady(const WorkItem& item, int32_t now) {
  return item.retryCount == 0 || static_cast<int64_t>(now) - item.enqueueTime > kRetryPauseSec;
}

// The four process-wide queues; lookup-or-create is serialized.
struct QueueRegistry {
  std::mutex mu;
  std::array<std::unique_ptr<CWorkQueue>, WQUEUE_QID_COUNT> queues;
};

QueueRegistry& Registry() {
  static QueueRegistry r;
  return r;
}

}  // namespace

CWorkQueue::CWorkQueue(int qid) : qid_(qid), lastEnqueueTime_(NowSec()), lastOutqueueTime_(NowSec()) {}

void CWorkQueue::Enqueue(WorkItem&& item) {
  lastEnqueueTime_ = NowSec();
  {
    CSLockGuard guard(lock_, kEnqueueLock, kQueueLockLimitMs);
    const bool spilled = overflow_.spill && item.journalId != 0 && item.retryCount == 0 &&
                         overflow_.spill(item, items_.size());
    if (!spilled) items_.push_back(std::move(item));
  }
  wakeup_.Notify();
}

void CWorkQueue::SetOverflow(Overflow overflow) {
  CSLockGuard guard(lock_, L"SetOverflow", kQueueLockLimitMs);
  overflow_ = std::move(overflow);
}

size_t CWorkQueue::Refill(bool byWorker) {
  if (byWorker) lastOutqueueTime_ = NowSec();
  CSLockGuard guard(lock_, L"Refill", kQueueLockLimitMs);
  if (!overflow_.refill) return 0;
  const size_t window = overflow_.window > 0 ? overflow_.window : SIZE_MAX;
  const size_t held = items_.size();
  size_t room = held < window ? window - held : 0;
  // In steps of a quarter window: each refill looks through the overflow.
  if (held > 0 && window != SIZE_MAX && (room == 0 || room < window / 4)) {
    if (!byWorker) return 0;
    const int64_t nowMs = GetClock().NowMs();
    if (nowMs - lastProbeMs_ < 1000) return 0;
    const int32_t now = static_cast<int32_t>(nowMs / 1000);
    for (const WorkItem& item : items_)
      if (IsReady(item, now)) return 0;
    lastProbeMs_ = nowMs;
    room = 1;
  }
  if (overflow_.hasWaiting && !overflow_.hasWaiting()) return 0;
  std::vector<WorkItem> back = overflow_.refill(room);
  for (WorkItem& w : back) items_.push_back(std::move(w));
  return back.size();
}

size_t CWorkQueue::EndPauses() {
  size_t n = 0;
  {
    CSLockGuard guard(lock_, L"EndPauses", kQueueLockLimitMs);
    const int32_t now = NowSec();
    const int32_t ready = now - static_cast<int32_t>(kRetryPauseSec) - 1;
    for (WorkItem& item : items_) {
      // A pause the cloud asked for (Retry-After) lies ahead of now: kept.
      if (item.retryCount == 0 || item.enqueueTime <= ready || item.enqueueTime > now) continue;
      item.enqueueTime = ready;
      ++n;
    }
  }
  if (n > 0) wakeup_.Notify();
  return n;
}

size_t CWorkQueue::Waiting() {
  CSLockGuard guard(lock_, L"Waiting", kQueueLockLimitMs);
  return overflow_.waiting ? overflow_.waiting() : 0;
}

bool CWorkQueue::OutQueue(WorkItem& out) {
  const int32_t now = NowSec();
  lastOutqueueTime_ = now;
  out = WorkItem();
  CSLockGuard guard(lock_, kOutQueueLock, kQueueLockLimitMs);
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (IsReady(*it, now)) {
      out = std::move(*it);
      items_.erase(it);
      return true;
    }
  }
  return false;
}

size_t CWorkQueue::Size() {
  CSLockGuard guard(lock_, L"Size", kQueueLockLimitMs);
  return items_.size();
}

void CWorkQueue::WaitForWork(uint32_t maxMs) {
  int64_t waitMs = maxMs;
  {
    CSLockGuard guard(lock_, L"WaitForWork", kQueueLockLimitMs);
    const int64_t nowMs = GetClock().NowMs();
    const int32_t now = static_cast<int32_t>(nowMs / 1000);
    for (const WorkItem& item : items_) {
      if (IsReady(item, now)) return;
      // Ready in the first second in which now - enqueueTime exceeds the pause.
      const int64_t readyMs = (static_cast<int64_t>(item.enqueueTime) + kRetryPauseSec + 1) * 1000;
      // At least 1 ms: the second counter may lag the millisecond one.
      const int64_t untilReady = readyMs - nowMs > 1 ? readyMs - nowMs : 1;
      if (untilReady < waitMs) waitMs = untilReady;
    }
    // A paused window looks at its overflow once a second (see Refill).
    if (overflow_.refill && !items_.empty() && waitMs > 1000) waitMs = 1000;
  }
  // An Enqueue after the look above has already set the event: no wake-up
  // is lost between the look and the wait.
  wakeup_.WaitMs(static_cast<uint32_t>(waitMs));
}

CWorkQueue* GetWorkQueue(int qid) {
  if (qid < 0 || qid >= WQUEUE_QID_COUNT) return nullptr;
  QueueRegistry& r = Registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (!r.queues[qid]) r.queues[qid] = std::make_unique<CWorkQueue>(qid);
  return r.queues[qid].get();
}

void ReleaseWorkQueue(int qid) {
  if (qid < 0 || qid >= WQUEUE_QID_COUNT) return;
  std::unique_ptr<CWorkQueue> gone;
  QueueRegistry& r = Registry();
  std::lock_guard<std::mutex> g(r.mu);
  gone = std::move(r.queues[qid]);
}

bool IsEnqueueDead() {
  const int32_t now = NowSec();
  int32_t latest = 0;
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    CWorkQueue* q = GetWorkQueue(qid);
    if (q->Size() > 0 || q->Waiting() > 0) return false;
    if (q->GetLastEnqueueTime() > latest) latest = q->GetLastEnqueueTime();
  }
  const uint32_t interval = CConfigCenter::GetInstance().values().enqInterval;
  if (static_cast<uint32_t>(now) - static_cast<uint32_t>(latest) > interval) {
    WriteLogF("IsEnqueueDead now %u lastest enqueue time %u diff > %u sec, DEAD", static_cast<unsigned>(now),
              static_cast<unsigned>(latest), interval);
    return true;
  }
  return false;
}

bool IsOutqueueDead() {
  static const char* const kLines[WQUEUE_QID_COUNT] = {
      "IsOutqueueDead WQUEUE_QID_TXT2NUV size %d now %u outqueue time %u diff >%u sec, DEAD",
      "IsOutqueueDead WQUEUE_QID_FILE2NUV size %d now %u outqueue time %u diff > %u sec, DEAD",
      "IsOutqueueDead WQUEUE_QID_TXT2ONDEKO size %d now %u outqueue time %u diff > %u sec, DEAD",
      "IsOutqueueDead WQUEUE_QID_FILE2ONDEKO size %d now %u outqueue time %u diff > %u sec, DEAD",
  };
  const int32_t now = NowSec();
  const uint32_t interval = CConfigCenter::GetInstance().values().outqInterval;
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    CWorkQueue* q = GetWorkQueue(qid);
    const size_t size = q->Size() + q->Waiting();
    const int32_t last = q->GetLastOutqueueTime();
    if (size > 0 && static_cast<int64_t>(now) - last > static_cast<int64_t>(interval)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      WriteLogF(kLines[qid], static_cast<int>(size), static_cast<unsigned>(now), static_cast<unsigned>(last),
                interval);
#pragma GCC diagnostic pop
      return true;
    }
  }
  return false;
}

}  // namespace nuv
