// The processor's side of the work journal: opening it, replaying what a
// previous worker accepted and did not finish, and handing parked entries
// back to their queues when their time has come.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "common/text_conv.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/message_metrics.h"
#include "processor/journal_codec.h"
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

// An in-hand note: "<entry id> <ends seen>", padded to a fixed size so that
// one write replaces it whole.
constexpr size_t kInHandNoteSize = 48;

bool ReadInHand(int fd, uint64_t* id, int* ends) {
  char buf[kInHandNoteSize + 1] = {};
  const ssize_t n = ::pread(fd, buf, kInHandNoteSize, 0);
  if (n <= 0) return false;
  unsigned long long v = 0;
  int e = 0;
  if (std::sscanf(buf, "%llu %d", &v, &e) != 2 || e < 0) return false;
  *id = v;
  *ends = e;
  return true;
}

}  // namespace

bool CNuv4OndekoProcessor::OpenJournal(const std::string& path, bool syncToDevice) {
  auto journal = std::make_unique<WorkJournal>();
  WorkJournal::Options options;
  options.syncToDevice = syncToDevice;
  const bool durable = journal->Open(path, options);
  m_journal = std::move(journal);
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    if (m_inHandFd[qid] >= 0) ::close(m_inHandFd[qid]);
    const std::string note = path + ".inhand" + std::to_string(qid);
    m_inHandFd[qid] = ::open(note.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  return durable;
}

void CNuv4OndekoProcessor::CloseInHandNotes() {
  for (int& fd : m_inHandFd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void CNuv4OndekoProcessor::MarkInHand(int qid, uint64_t journalId) {
  if (qid < 0 || qid >= WQUEUE_QID_COUNT || m_inHandFd[qid] < 0) return;
  int ends = 0;
  if (journalId != 0) {
    auto it = m_endsInHand.find(journalId);
    if (it != m_endsInHand.end()) ends = it->second;
  }
  char buf[kInHandNoteSize];
  std::memset(buf, ' ', sizeof buf);
  const int n = std::snprintf(buf, sizeof buf, "%llu %d", static_cast<unsigned long long>(journalId), ends);
  if (n > 0 && static_cast<size_t>(n) < sizeof buf) buf[n] = ' ';
  buf[sizeof buf - 1] = '\n';
  // Best effort: without the note the worker only loses this protection.
  if (::pwrite(m_inHandFd[qid], buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) return;
}

int CNuv4OndekoProcessor::ReplayJournal() {
  WorkJournal* j = m_journal.get();
  if (!j) return 0;
  const int32_t now = static_cast<int32_t>(GetClock().Now());
  std::vector<JournalEntry> entries = j->LoadAll();
  // Entries a worker was handling when it ended.
  m_endsInHand.clear();
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    uint64_t id = 0;
    int ends = 0;
    if (m_inHandFd[qid] >= 0 && ReadInHand(m_inHandFd[qid], &id, &ends) && id != 0) m_endsInHand[id] = ends + 1;
    MarkInHand(qid, 0);
  }
  int counts[WQUEUE_QID_COUNT + 1] = {};  // [0] combine queue, [1 + qid]
  int total = 0;
  for (JournalEntry& e : entries) {
    auto suspect = m_endsInHand.find(e.id);
    if (suspect != m_endsInHand.end() && suspect->second >= kMaxEndsInHand) {
      WriteLogF("ReplayJournal %s was being handled each of the last %d times the worker ended, dropped",
                DescribeWorkItem(e.item).c_str(), suspect->second);
      CountRetryOutcome(e.item, MetricOutcome::kDropped);
      j->Remove(e.id, false);
      m_endsInHand.erase(suspect);
      continue;
    }
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
