#pragma once
// The combine queue: every message typed by an IM user waits here about one
// second, so that the copies the IM server raises for several receivers of
// one message (same sender, key, text and attachments) are merged into one
// message whose receiver list joins theirs. The combining thread drains it
// into the text or file queue towards the cloud, sleeping (WaitForWindow)
// until the oldest item's second is over or an item arrives in the empty
// queue.
//
// One process-wide instance; IM event threads enqueue, the combining thread
// merges and takes out, both under the queue's lock.

#include <cstddef>
#include <vector>

#include "common/clock.h"
#include "common/cs_lock.h"
#include "processor/work_item.h"

namespace nuv {

class WorkJournal;

class CCombineQueue {
 public:
  CCombineQueue() = default;
  CCombineQueue(const CCombineQueue&) = delete;
  CCombineQueue& operator=(const CCombineQueue&) = delete;

  // Accepts only items of type WQUEUE_NUV2ONDEKOMSG or WQUEUE_NUV2ONDEKOFILE
  // that carry a message: stamps the message's combineTick and takes the item
  // (moved from). Anything else is refused (false) and stays with the caller.
  bool Enqueue(WorkItem& item);
  // Merges copies that arrived within one second of each other, then moves
  // every item older than one second (or older by one second than the newest)
  // into out, oldest first. Returns true when out received at least one item.
  // With a journal, a merged item's entry takes the combined message and the
  // absorbed copies' entries go (batched: the caller flushes).
  bool CombineOutQueue(std::vector<WorkItem>& out, WorkJournal* journal = nullptr);
  size_t Size();
  // Moves every item into out regardless of age (shutdown, tests).
  void DrainAll(std::vector<WorkItem>& out);

  // The combining thread's wait (process clock): returns at once when the
  // oldest item's window is over; otherwise sleeps until it is, until an
  // item arrives in the empty queue, Wake is called, or maxMs have passed.
  void WaitForWindow(uint32_t maxMs);
  // Ends the combining thread's current or next wait early (stop).
  void Wake() { wakeup_.Notify(); }

 private:
  // Guards items_ and compared_.
  CSLock lock_;
  std::vector<WorkItem> items_;
  // The first compared_ items have been compared with each other by an
  // earlier merge pass (and none is a copy of another within its window):
  // a pass compares only the pairs with a later item.
  size_t compared_ = 0;
  // Set by Enqueue into the empty queue and by Wake; consumed by the wait.
  WakeupEvent wakeup_;
};

// The process-wide combine queue, created on first use.
CCombineQueue& GetCombineQueue();

// When second is a copy of first (same from, key, content and the same
// attachments by fid and size), appends second's receivers to first's `to`,
// logs the merge and returns true; otherwise returns false and changes nothing.
bool CombineMsg(CQueueMsg& first, const CQueueMsg& second);

}  // namespace nuv
