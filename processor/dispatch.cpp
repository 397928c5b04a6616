// The queue workers (DoProc): one per work queue, taking one item at a time
// and handing it to the handler of its type, with the bridge's one retry
// policy: a failed item is tried once more after more than 5 s (the queue
// holds it back), then dropped -- unless both attempts failed for a
// transport reason: then the work journal parks it and hands it back later.
// A cloud that throttles (HTTP 408, 429, 503) with a Retry-After gets at
// least that long before the second attempt, and before a parked item's next.
// A success after transport failures makes the parked work of that direction
// due at once (a failure parks it again, a step further in its back-off).
// A worker sleeps until its queue has work (an item queued, or a held-back
// item's pause over) or the processor's status changes; producers and status
// changes end the sleep at once. Before it takes an item it tops its queue's
// window up from the journal.

#include <exception>
#include <string>

#include "cloud/http_transport.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/str_format.h"
#include "processor/journal.h"
#include "processor/message_metrics.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

// Every wake-up ends a worker's sleep early; this only bounds a sleep that
// nothing ends.
constexpr uint32_t kIdleWaitMs = 5000;
// While the processor is not started: a "not START" line at once, then
// every 20 s.
constexpr int64_t kWaitLogEveryMs = 20000;
// Handled items whose journal removal may wait for one commit. A worker that
// ends meanwhile leaves at most this many finished items to be replayed
// (delivered twice).
constexpr int kRemovalBatch = 8;
// Seconds after a failure at which the queue hands a failed item back (its
// retry pause of more than 5 s, counted in whole seconds).
constexpr int64_t kRetryPauseWholeSec = 6;

// "<tag> RETRYONCE <what> re-enqueue" / "<tag> RETRYFAIL <what> delete msg".
std::string RetryLine(const std::string& tag, const WorkItem& item, bool once) {
  const unsigned long long id = item.msg ? static_cast<unsigned long long>(item.msg->msgid) : 0ULL;
  std::string what;
  switch (item.type) {
    case WQUEUE_NUV2ONDEKOMSG: what = StrFormat("WQUEUE_NUV2ONDEKOMSG climsgid %llu", id); break;
    case WQUEUE_NUV2ONDEKOFILE: what = StrFormat("WQUEUE_NUV2ONDEKOFILE climsgid %llu", id); break;
    case WQUEUE_ONDEKO2NUVMSG: what = StrFormat("WQUEUE_ONDEKO2NUVMSG dkmsgid %llu", id); break;
    case WQUEUE_ONDEKO2NUVFILE: what = StrFormat("WQUEUE_ONDEKO2NUVFILE dkmsgid %llu", id); break;
    case WQUEUE_ONDEKOBINDTOKEN:
      what = StrFormat("WQUEUE_ONDEKOBINDTOKEN token %llu", static_cast<unsigned long long>(item.token));
      break;
    case WQUEUE_FETCHONDEKOMSG:
      what = StrFormat("WQUEUE_FETCHONDEKOMSG [%llu, %llu]", static_cast<unsigned long long>(item.range.first),
                       static_cast<unsigned long long>(item.range.last));
      break;
    default: what = StrFormat("MsgType %d", item.type); break;
  }
  return tag + (once ? " RETRYONCE " : " RETRYFAIL ") + what + (once ? " re-enqueue" : " delete msg");
}

bool TowardsIm(int qid) { return qid == WQUEUE_QID_TXT2NUV || qid == WQUEUE_QID_FILE2NUV; }

// What a parked item's line says failed, by the side its queue talks to.
std::string TransportReason(int qid) {
  switch (qid) {
    case WQUEUE_QID_TXT2NUV: return "IM server not reachable";
    case WQUEUE_QID_FILE2NUV: return "IM server or cloud not reachable";
    default: return "cloud not reachable";
  }
}

}  // namespace

void CNuv4OndekoProcessor::HandleItem(int qid, const std::string& tag, WorkItem& item) {
  WorkJournal* journal = m_journal.get();
  WorkHandler handler = m_handlers.Find(item.type);
  if (!handler) {
    WriteLogF("%s MsgType = %d, Unknow msg, skip", tag.c_str(), item.type);
    if (journal) {
      journal->Remove(item.journalId);
      RemoveCopiesOf(tag, item);
    }
    return;  // the item and its payload are dropped here
  }
  TakeRetryAfterSec();  // what earlier work on this thread was told is not this item's
  int result = WQUEUE_HANDLER_FAILED;
  try {
    result = handler(item, item.retryCount != 0);
  } catch (const std::exception& e) {
    WriteLogF("%s MsgType = %d handler exception '%s'", tag.c_str(), item.type, e.what());
  } catch (...) {
    WriteLogF("%s MsgType = %d handler unknown exception", tag.c_str(), item.type);
  }
  if (result > 0) {
    // Batched: DoProc commits removals before it waits and every few items,
    // and any synced write (an accepted message) takes them along.
    if (journal) {
      journal->Remove(item.journalId, false);
      ReleaseParkedAfterSuccess(qid);
    }
    return;  // payload freed with the item
  }

  const int64_t now = GetClock().Now();
  if (result < 0) m_failedSinceSuccess[TowardsIm(qid) ? 0 : 1].store(true);
  // A throttled cloud (HTTP 408, 429, 503) may say when to come back.
  const int64_t retryAfter = result < 0 ? TakeRetryAfterSec() : 0;
  item.enqueueTime = static_cast<int32_t>(now);
  ++item.retryCount;
  if (item.retryCount == 1) {
    // What the first attempt achieved (files fetched, media ids) survives a
    // restart.
    if (journal) journal->Update(item.journalId, item, qid, false);
    const std::string line = RetryLine(tag, item, true);
    const bool held = retryAfter > kRetryPauseWholeSec;
    if (held) item.enqueueTime = static_cast<int32_t>(now + retryAfter - kRetryPauseWholeSec);
    GetWorkQueue(qid)->Enqueue(std::move(item));
    WriteLogF("%s", line.c_str());
    if (held)
      WriteLogF("%s the cloud asked to retry after %lld sec: the second attempt waits for it", tag.c_str(),
                static_cast<long long>(retryAfter));
    return;
  }
  // Both attempts done; the second decides. A transport failure says nothing
  // about the item: the journal keeps it and hands it back later. A bind
  // request is held in memory instead (every connect asks for one again).
  if (result < 0 && journal && item.type == WQUEUE_ONDEKOBINDTOKEN) {
    HoldBind(item.token, now, retryAfter);
    return;
  }
  if (result < 0 && journal) {
    item.retryCount = 0;
    const ParkResult parked = journal->Park(item.journalId, item, qid, TransportReason(qid), now,
                                            retryAfter > 0 ? now + retryAfter : 0);
    CountRetryOutcome(item, parked.action == ParkResult::kDropped ? MetricOutcome::kDropped : MetricOutcome::kParked);
    if (parked.action == ParkResult::kDropped) RemoveCopiesOf(tag, item);
    return;  // the journal wrote what it decided; the local copy goes
  }
  WriteLogF("%s", RetryLine(tag, item, false).c_str());
  // Handled outcomes (delivered, given up) are counted by the handlers.
  CountRetryOutcome(item, result < 0 ? MetricOutcome::kDropped : MetricOutcome::kRefused);
  if (journal) {
    journal->Remove(item.journalId);
    RemoveCopiesOf(tag, item);
  }
}

void CNuv4OndekoProcessor::ReleaseParkedAfterSuccess(int qid) {
  static const int kToIm[] = {WQUEUE_QID_TXT2NUV, WQUEUE_QID_FILE2NUV, -1};
  static const int kToCloud[] = {WQUEUE_QID_TXT2ONDEKO, WQUEUE_QID_FILE2ONDEKO, -1};
  const bool toIm = TowardsIm(qid);
  const int* direction = toIm ? kToIm : kToCloud;
  size_t unpaused = 0;
  if (m_failedSinceSuccess[toIm ? 0 : 1].exchange(false))
    for (const int* q = direction; *q >= 0; ++q) unpaused += GetWorkQueue(*q)->EndPauses();
  if (unpaused > 0)
    WriteLogF("DoProc[QID=%d] answered again: %u items of QID=%d and QID=%d waiting for their second attempt go now",
              qid, static_cast<unsigned>(unpaused), direction[0], direction[1]);
  const size_t released = m_journal->ReleaseParked(direction, GetClock().Now());
  if (released == 0) return;
  WriteLogF("DoProc[QID=%d] answered again: %u parked items of QID=%d and QID=%d are due now", qid,
            static_cast<unsigned>(released), direction[0], direction[1]);
  for (const int* q = direction; *q >= 0; ++q) GetWorkQueue(*q)->Wake();
}

void CNuv4OndekoProcessor::DoProc(int qid) {
  const std::string tag = StrFormat("DoProc[QID=%d]", qid);
  CWorkQueue* queue = GetWorkQueue(qid);
  if (!queue) return;
  bool waiting = false;
  int64_t lastWaitLineMs = 0;
  int unflushed = 0;  // items handled since the journal's last commit from here
  auto flushJournal = [&] {
    if (unflushed > 0 && m_journal) m_journal->Flush();
    unflushed = 0;
  };
  while (!m_stop.Requested()) {
    const int status = m_status.load();
    if (status != START) {
      flushJournal();
      // Neither take nor look: the queue's take-out time must stay as it is.
      const int64_t now = GetClock().NowMs();
      if (!waiting || now - lastWaitLineMs >= kWaitLogEveryMs) {
        WriteLogF("%s Proc Status is %d , not START , wait it", tag.c_str(), status);
        lastWaitLineMs = now;
      }
      waiting = true;
      const int64_t untilLine = lastWaitLineMs + kWaitLogEveryMs - now;
      queue->WaitForWake(untilLine < kIdleWaitMs ? static_cast<uint32_t>(untilLine) : kIdleWaitMs);
      continue;
    }
    if (waiting) {
      WriteLogF("%s Proc Status is START , work it now !", tag.c_str());
      waiting = false;
    }
    if (m_journal) queue->Refill(true);
    if (queue->Size() == 0) {
      flushJournal();
      queue->WaitForWork(kIdleWaitMs);
      continue;
    }
    WorkItem item;
    if (!queue->OutQueue(item)) {
      flushJournal();
      queue->WaitForWork(kIdleWaitMs);
      continue;
    }
    ++m_processedItems;
    const bool noted = item.journalId != 0 && m_journal;
    if (noted) MarkInHand(qid, item.journalId);
    HandleItem(qid, tag, item);
    if (noted) MarkInHand(qid, 0);
    if (++unflushed >= kRemovalBatch) flushJournal();
  }
  flushJournal();
}

}  // namespace nuv
