#include "processor/combine_queue.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/clock.h"
#include "common/func_timer.h"
#include "common/log.h"
#include "common/text_conv.h"
#include "processor/journal.h"

namespace nuv {
namespace {

constexpr uint32_t kQueueLockLimitMs = 300000;
// Copies arriving within this many ms of a message are merged into it; a
// message leaves the queue once it is older than that.
constexpr uint32_t kCombineWindowMs = 1000;

// Same sender, key and text, and for every attachment of a one of b with the
// same fid and size (the attachment counts being equal).
bool IsCopy(const CQueueMsg& a, const CQueueMsg& b) {
  if (a.from != b.from || a.key != b.key || a.content != b.content) return false;
  if (a.files.size() != b.files.size()) return false;
  for (const CQueueFile& fa : a.files) {
    bool found = false;
    for (const CQueueFile& fb : b.files) {
      if (fa.fid == fb.fid && fa.size == fb.size) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

}  // namespace

bool CombineMsg(CQueueMsg& first, const CQueueMsg& second) {
  if (!IsCopy(first, second)) return false;
  std::vector<std::wstring> receivers;
  SplitText(first.to, receivers);
  SplitText(second.to, receivers);
  std::wstring joined;
  for (size_t i = 0; i < receivers.size(); ++i) {
    if (i) joined += L';';
    joined += receivers[i];
  }
  first.to = joined;
  WriteLogF("CombineMsg climsgid %llu to %llu, '%s' to newrecv %s", static_cast<unsigned long long>(second.msgid),
            static_cast<unsigned long long>(first.msgid), WideToUtf8(first.from).c_str(),
            WideToUtf8(first.to).c_str());
  return true;
}

bool CCombineQueue::Enqueue(WorkItem& item) {
  if ((item.type != WQUEUE_NUV2ONDEKOMSG && item.type != WQUEUE_NUV2ONDEKOFILE) || !item.msg) return false;
  bool wasEmpty;
  {
    CSLockGuard guard(lock_, L"Enqueue", kQueueLockLimitMs);
    // Stamped under the lock, so that the ticks follow the queue order even
    // when copies arrive on several threads at once: the merge pass relies on
    // every later item being no older than the ones before it.
    item.msg->combineTick = GetClock().TickMs();
    wasEmpty = items_.empty();
    items_.push_back(std::move(item));
  }
  // Behind an older item the thread already sleeps until that one's window
  // is over, which is earlier than this one's: only the first item wakes it.
  if (wasEmpty) wakeup_.Notify();
  return true;
}

void CCombineQueue::WaitForWindow(uint32_t maxMs) {
  uint32_t waitMs = maxMs;
  {
    CSLockGuard guard(lock_, L"WaitForWindow", kQueueLockLimitMs);
    if (!items_.empty()) {
      // The oldest item leaves once now - its tick exceeds the window.
      const uint32_t age = GetClock().TickMs() - items_.front().msg->combineTick;
      if (age > kCombineWindowMs) return;
      const uint32_t left = kCombineWindowMs + 1 - age;
      if (left < waitMs) waitMs = left;
    }
  }
  wakeup_.WaitMs(waitMs);
}

bool CCombineQueue::CombineOutQueue(std::vector<WorkItem>& out, WorkJournal* journal) {
  FuncTimer timer(L"CombineOutQueue");
  CSLockGuard guard(lock_, L"OutQueue", kQueueLockLimitMs);
  if (items_.empty()) return false;

  // Merge pass. newest follows the most recent tick seen; comparing through
  // the signed difference keeps it right across the 32-bit tick wrap.
  // Pairs of items both below compared_ were compared by an earlier pass and
  // are no copies (merging changes only receivers), so they are skipped:
  // a burst queued within one window is compared once, not at every pass.
  uint32_t newest = items_.front().msg->combineTick;
  for (size_t a = 0; a < items_.size(); ++a) {
    CQueueMsg& first = *items_[a].msg;
    if (static_cast<int32_t>(first.combineTick - newest) > 0) newest = first.combineTick;
    std::vector<uint64_t> absorbed;
    for (size_t b = std::max(a + 1, compared_); b < items_.size();) {
      const CQueueMsg& second = *items_[b].msg;
      if (second.combineTick - first.combineTick > kCombineWindowMs) break;
      if (CombineMsg(first, second)) {
        if (items_[b].journalId) absorbed.push_back(items_[b].journalId);
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(b));  // its message lives on in first
      } else {
        ++b;
      }
    }
    if (journal && !absorbed.empty())
      items_[a].journalId = journal->Replace(items_[a].journalId, absorbed, items_[a], kJournalCombineQueue, false);
  }

  // Take-out pass: everything older than the window leaves, oldest first.
  const uint32_t now = GetClock().TickMs();
  const size_t before = out.size();
  std::vector<WorkItem> keep;
  for (WorkItem& item : items_) {
    const uint32_t tick = item.msg->combineTick;
    if (newest - tick > kCombineWindowMs || now - tick > kCombineWindowMs) {
      out.push_back(std::move(item));
    } else {
      keep.push_back(std::move(item));
    }
  }
  items_.swap(keep);
  compared_ = items_.size();  // what stays has been compared pairwise
  return out.size() > before;
}

size_t CCombineQueue::Size() {
  CSLockGuard guard(lock_, L"Size", kQueueLockLimitMs);
  return items_.size();
}

CCombineQueue& GetCombineQueue() {
  static CCombineQueue queue;
  return queue;
}

void CCombineQueue::DrainAll(std::vector<WorkItem>& out) {
  CSLockGuard guard(lock_, L"OutQueue", kQueueLockLimitMs);
  for (WorkItem& item : items_) out.push_back(std::move(item));
  items_.clear();
  compared_ = 0;
}

}  // namespace nuv
