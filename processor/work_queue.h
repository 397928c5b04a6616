#pragma once
// The four work queues, one per direction and kind (text/file towards the IM,
// text/file towards the cloud). Each queue is drained by exactly one worker
// thread; any thread may enqueue. Items leave oldest first, except that an
// item waiting for its retry (retryCount != 0) is skipped until more than 5 s
// have passed since it was put back, so fresh items overtake it. The worker
// waits for work with WaitForWork: Enqueue and Wake end that wait early.
//
// The queues are process-wide objects created on first lookup and destroyed
// by ReleaseWorkQueue. Nothing is persisted here: with the work journal the
// processor gives a queue an overflow (SetOverflow), and the queue then holds
// a bounded window of its work in memory, the rest waiting in the journal.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/clock.h"
#include "common/cs_lock.h"
#include "processor/work_item.h"

namespace nuv {

class CWorkQueue {
 public:
  explicit CWorkQueue(int qid);
  CWorkQueue(const CWorkQueue&) = delete;
  CWorkQueue& operator=(const CWorkQueue&) = delete;

  int qid() const { return qid_; }

  // Takes ownership of the item and appends it. The item's own fields
  // (enqueueTime, retryCount) are left as the caller set them.
  void Enqueue(WorkItem&& item);
  // Moves the first ready item into out and returns true; otherwise leaves
  // out empty (type 0, no payload) and returns false. Every call, successful
  // or not, counts as a take-out attempt for the health test.
  bool OutQueue(WorkItem& out);
  // Items held, including those waiting for their retry.
  size_t Size();

  // The worker's wait (process clock): returns at once when a ready item is
  // held; otherwise sleeps until the earliest held-back item becomes ready,
  // an item is enqueued, Wake is called, or maxMs have passed.
  void WaitForWork(uint32_t maxMs);
  // Sleeps until an item is enqueued, Wake is called, or ms have passed,
  // whatever the queue holds (the worker's wait while it must not work).
  void WaitForWake(uint32_t ms) { wakeup_.WaitMs(ms); }
  // Ends the worker's current or next wait early (status change, stop).
  void Wake() { wakeup_.Notify(); }

  // Where the work that does not fit the window waits (the journal).
  struct Overflow {
    size_t window = 0;  // items held in memory at most; 0: no window
    // Offered every fresh journaled item (retryCount 0) with the number of
    // items held; true: kept there instead (the item is dropped here).
    std::function<bool(const WorkItem& item, size_t held)> spill;
    // Up to room items back, in accepted order.
    std::function<std::vector<WorkItem>(size_t room)> refill;
    // Whether refill may find something.
    std::function<bool()> hasWaiting;
    // Items waiting there (counted by the health tests as held).
    std::function<size_t()> waiting;
  };
  // Set before the workers start (or with none running); an empty one
  // (the default) ends the window.
  void SetOverflow(Overflow overflow);
  // Tops the window up from the overflow once a quarter of it is free (or
  // the queue is empty); the worker calls it before it takes an item
  // (byWorker: it counts as a take-out attempt, as the worker is about to
  // take what came back), the supervisor on its passes. Returns how many
  // items came back. A full window whose every item waits out its retry
  // pause would leave the worker idle while work waits in the overflow: the
  // worker then takes one item a second beyond the window, so that the side
  // it talks to is tried again within a second of answering.
  size_t Refill(bool byWorker = false);
  // The other side answers again: items waiting out their retry pause are
  // ready now (their next attempt is still their second). Returns how many.
  size_t EndPauses();
  // Items waiting in the overflow (0 without one).
  size_t Waiting();

  int32_t GetLastEnqueueTime() const { return lastEnqueueTime_.load(); }
  int32_t GetLastOutqueueTime() const { return lastOutqueueTime_.load(); }

 private:
  const int qid_;
  // Written without the lock by producers / the worker, read by the health
  // tests on the supervisor thread.
  std::atomic<int32_t> lastEnqueueTime_;
  std::atomic<int32_t> lastOutqueueTime_;
  // Guards items_ and overflow_. Spill and refill run under it, so that an
  // item never overtakes older ones coming back from the overflow.
  CSLock lock_;
  std::vector<WorkItem> items_;
  Overflow overflow_;
  int64_t lastProbeMs_ = 0;  // the last item taken beyond a paused window
  // Set by producers (Enqueue) and Wake, consumed by the worker's wait.
  WakeupEvent wakeup_;
};

// The queue with that identifier (WQUEUE_QID_TXT2NUV .. WQUEUE_QID_FILE2ONDEKO),
// created on first lookup; nullptr for any other identifier. Thread-safe.
CWorkQueue* GetWorkQueue(int qid);
// Destroys the queue and forgets it; its items are freed. Only when no thread
// uses the queue any more (process end, tests).
void ReleaseWorkQueue(int qid);

// Health tests of the supervisor. IsEnqueueDead: all queues empty and nothing
// enqueued anywhere for longer than enq-interval. IsOutqueueDead: some queue
// holds items and has not been polled for longer than outq-interval. What
// waits in a queue's overflow counts as held. Each
// writes its DEAD line when it returns true.
bool IsEnqueueDead();
bool IsOutqueueDead();

}  // namespace nuv
