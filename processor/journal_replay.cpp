// The processor's side of the work journal: opening it, replaying what a
// previous worker accepted and did not finish, and handing parked entries
// back to their queues when their time has come.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "common/text_conv.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

bool LocalCopyExists(const std::wstring& path) {
  if (path.empty()) return false;
  struct stat st {};
  return ::stat(WideToPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Attachments as a new worker must see them. A copy still on disk is used as
// it is (not fetched again); one already uploaded keeps its media id. An IM
// attachment without its copy is fetched again: the IM server announced it
// to the previous worker and will not announce it twice, so it is ready. A
// cloud attachment without its copy is downloaded again.
void PrepareAttachments(WorkItem& item) {
  if (!item.msg) return;
  for (CQueueFile& f : item.msg->files) {
    if (!f.mediaId.empty()) continue;
    const bool haveCopy = f.status == FILE_STATUS_OK && LocalCopyExists(f.localPath);
    if (haveCopy) continue;
    if (item.type == WQUEUE_NUV2ONDEKOFILE) {
      f.status = FILE_STATUS_READY;
      f.failCount = 0;
    } else if (item.type == WQUEUE_ONDEKO2NUVFILE) {
      f.status = FILE_STATUS_WAIT;
    }
  }
}

// Puts one journal entry into its queue; false when the queue is unknown.
bool EnqueueEntry(JournalEntry& e, int32_t now, bool keepTime) {
  e.item.journalId = e.id;
  e.item.retryCount = 0;
  if (!keepTime) e.item.enqueueTime = now;
  if (e.qid == kJournalCombineQueue) return GetCombineQueue().Enqueue(e.item);
  CWorkQueue* q = GetWorkQueue(e.qid);
  if (!q) return false;
  q->Enqueue(std::move(e.item));
  return true;
}

}  // namespace

bool CNuv4OndekoProcessor::OpenJournal(const std::string& path, bool syncToDevice) {
  auto journal = std::make_unique<WorkJournal>();
  WorkJournal::Options options;
  options.syncToDevice = syncToDevice;
  const bool durable = journal->Open(path, options);
  m_journal = std::move(journal);
  return durable;
}

int CNuv4OndekoProcessor::ReplayJournal() {
  WorkJournal* j = m_journal.get();
  if (!j) return 0;
  const int32_t now = static_cast<int32_t>(GetClock().Now());
  std::vector<JournalEntry> entries = j->LoadAll();
  int counts[WQUEUE_QID_COUNT + 1] = {};  // [0] combine queue, [1 + qid]
  int total = 0;
  for (JournalEntry& e : entries) {
    if (e.item.msg && !e.item.msg->files.empty()) {
      PrepareAttachments(e.item);
      j->Update(e.id, e.item, e.qid, false);
    }
    const uint64_t id = e.id;
    const int qid = e.qid;
    // Replayed work keeps its accepted time, so the supervisor's tests and
    // the lines read as they would have.
    if (!EnqueueEntry(e, now, true)) {
      WriteLogF("ReplayJournal entry %llu has unknown queue %d, dropped", static_cast<unsigned long long>(id), qid);
      j->Remove(id, false);
      continue;
    }
    ++counts[qid == kJournalCombineQueue ? 0 : 1 + qid];
    ++total;
  }
  j->Flush();
  if (total > 0) {
    WriteLogF("ReplayJournal %d items back in their queues: TXT2NUV %d FILE2NUV %d TXT2ONDEKO %d FILE2ONDEKO %d "
              "COMBINEQUEUE %d",
              total, counts[1 + WQUEUE_QID_TXT2NUV], counts[1 + WQUEUE_QID_FILE2NUV], counts[1 + WQUEUE_QID_TXT2ONDEKO],
              counts[1 + WQUEUE_QID_FILE2ONDEKO], counts[0]);
  }
  return total;
}

void CNuv4OndekoProcessor::RequeueParked() {
  WorkJournal* j = m_journal.get();
  if (!j) return;
  const int64_t now = GetClock().Now();
  for (JournalEntry& e : j->TakeDue(now)) {
    const uint64_t id = e.id;
    if (!EnqueueEntry(e, static_cast<int32_t>(now), false)) j->Remove(id, false);
  }
  j->LogParkedIfDue(now);
  j->Flush();
}

}  // namespace nuv
