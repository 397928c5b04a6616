// The processor's side of the work journal: opening it, replaying what a
// previous worker accepted and did not finish, handing parked entries back
// to their queues when their time has come, and removing the local copies
// of attachments that no entry refers to any more.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
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

// The directories where attachments' local copies live: IM downloads (and
// upload copies) in the temporary-files directory, each directly in it;
// cloud downloads in the download directory, directly or in a folder of
// their own one level down.
struct CopyDirs {
  std::string tmp = WideToPath(GetTmpFilesDir());
  std::string download = WideToPath(GetDownloadDir());
};

bool PlainName(const std::string& n) { return !n.empty() && n != "." && n != ".." && n.find('/') == n.npos; }

// True when path is a place a local copy is made (see CopyDirs); then
// folder is its own folder in the download directory, or empty.
bool IsCopyPlace(const CopyDirs& dirs, const std::string& path, std::string* folder) {
  folder->clear();
  const std::string tmp = dirs.tmp + "/", dl = dirs.download + "/";
  if (path.compare(0, tmp.size(), tmp) == 0) return PlainName(path.substr(tmp.size()));
  if (path.compare(0, dl.size(), dl) != 0) return false;
  const std::string rest = path.substr(dl.size());
  const size_t slash = rest.find('/');
  if (slash == std::string::npos) return PlainName(rest);
  if (!PlainName(rest.substr(0, slash)) || !PlainName(rest.substr(slash + 1))) return false;
  *folder = dl + rest.substr(0, slash);
  return true;
}

using FileId = std::pair<dev_t, ino_t>;

bool RegularFile(const std::string& path, FileId* id, off_t* size) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *id = FileId(st.st_dev, st.st_ino);
  *size = st.st_size;
  return true;
}

// What a sweep removed.
struct Swept {
  int files = 0;
  unsigned long long bytes = 0;
};

// Removes the regular files of dir (and, with folders, of its folders one
// level down, which go too when emptied) that are not among keep.
void SweepDir(const std::string& dir, bool folders, const std::set<FileId>& keep, Swept* out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(d)) {
    if (PlainName(e->d_name)) names.push_back(e->d_name);
  }
  ::closedir(d);
  for (const std::string& n : names) {
    const std::string path = dir + "/" + n;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && folders) {
      SweepDir(path, false, keep, out);
      ::rmdir(path.c_str());  // only when empty
      continue;
    }
    if (!S_ISREG(st.st_mode) || keep.count(FileId(st.st_dev, st.st_ino))) continue;
    if (::unlink(path.c_str()) == 0) {
      ++out->files;
      out->bytes += static_cast<unsigned long long>(st.st_size);
    }
  }
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
  InstallOverflow();
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

void CNuv4OndekoProcessor::InstallOverflow() {
  WorkJournal* j = m_journal.get();
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    CWorkQueue::Overflow o;
    if (j) {
      o.window = m_queueWindow;
      const size_t window = m_queueWindow;
      if (window > 0)
        o.spill = [j, qid, window](const WorkItem& item, size_t held) {
          return j->SpillIfBehind(item.journalId, qid, held, window);
        };
      o.refill = [this, j, qid](size_t room) {
        std::vector<WorkItem> back;
        const int64_t now = GetClock().Now();
        for (JournalEntry& e : j->TakeWaiting(qid, room, now)) {
          if (!PrepareReturning(e)) continue;
          // A parked item's pause starts over from now; fresh work keeps
          // its accepted time.
          if (e.attempts > 0) e.item.enqueueTime = static_cast<int32_t>(now);
          back.push_back(std::move(e.item));
        }
        j->Flush();
        return back;
      };
      o.hasWaiting = [j, qid] { return j->HasWaiting(qid, GetClock().Now()); };
      o.waiting = [j, qid] { return j->WaitingOnDisk(qid); };
    }
    GetWorkQueue(qid)->SetOverflow(std::move(o));
  }
}

bool CNuv4OndekoProcessor::PrepareReturning(JournalEntry& e) {
  WorkJournal* j = m_journal.get();
  auto suspect = m_endsInHand.find(e.id);
  if (suspect != m_endsInHand.end() && suspect->second >= kMaxEndsInHand) {
    WriteLogF("ReplayJournal %s was being handled each of the last %d times the worker ended, dropped",
              DescribeWorkItem(e.item).c_str(), suspect->second);
    CountRetryOutcome(e.item, MetricOutcome::kDropped);
    j->Remove(e.id, false);
    return false;
  }
  if (e.item.msg && !e.item.msg->files.empty()) {
    // A copy the last round had may be gone since (removed after a failed
    // attempt, or by the operator).
    PrepareAttachments(e.item);
    j->Update(e.id, e.item, e.qid, false);
  }
  e.item.journalId = e.id;
  e.item.retryCount = 0;
  return true;
}

int CNuv4OndekoProcessor::ReplayJournal() {
  WorkJournal* j = m_journal.get();
  if (!j) return 0;
  const int64_t now = GetClock().Now();
  // Entries a worker was handling when it ended. Read here, before any
  // worker runs; the queues' refills only look the entries up.
  m_endsInHand.clear();
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    uint64_t id = 0;
    int ends = 0;
    if (m_inHandFd[qid] >= 0 && ReadInHand(m_inHandFd[qid], &id, &ends) && id != 0) m_endsInHand[id] = ends + 1;
    MarkInHand(qid, 0);
  }
  int counts[WQUEUE_QID_COUNT + 1] = {};  // [0] combine queue, [1 + qid]
  int total = 0;
  // The combining queue takes everything it held (a short wait each); each
  // work queue its window, in accepted order, the rest as it drains.
  // Replayed work keeps its accepted time, so the supervisor's tests and
  // the lines read as they would have.
  for (JournalEntry& e : j->TakeWaiting(kJournalCombineQueue, SIZE_MAX, now)) {
    if (!PrepareReturning(e)) continue;
    if (!GetCombineQueue().Enqueue(e.item)) continue;
    ++counts[0];
    ++total;
  }
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    const size_t n = GetWorkQueue(qid)->Refill();
    counts[1 + qid] = static_cast<int>(n);
    total += static_cast<int>(n);
  }
  j->Flush();
  if (total > 0) {
    WriteLogF("ReplayJournal %d items back in their queues: TXT2NUV %d FILE2NUV %d TXT2ONDEKO %d FILE2ONDEKO %d "
              "COMBINEQUEUE %d",
              total, counts[1 + WQUEUE_QID_TXT2NUV], counts[1 + WQUEUE_QID_FILE2NUV], counts[1 + WQUEUE_QID_TXT2ONDEKO],
              counts[1 + WQUEUE_QID_FILE2ONDEKO], counts[0]);
  }
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    const size_t waiting = j->WaitingOnDisk(qid);
    if (waiting > 0)
      WriteLogF("ReplayJournal %u more items of QID=%d wait in the journal for room in their queue",
                static_cast<unsigned>(waiting), qid);
  }
  RemoveOrphanCopies();
  return total;
}

int CNuv4OndekoProcessor::RemoveOrphanCopies() {
  WorkJournal* j = m_journal.get();
  // A journal that could not be read from disk knows nothing of the copies.
  if (!j || !j->Durable()) return 0;
  const CopyDirs dirs;
  std::set<FileId> keep;
  for (const std::string& path : j->LocalCopies()) {
    FileId id;
    off_t size;
    if (RegularFile(path, &id, &size)) keep.insert(id);
  }
  Swept swept;
  SweepDir(dirs.tmp, false, keep, &swept);
  SweepDir(dirs.download, true, keep, &swept);
  if (swept.files > 0) {
    WriteLogF("ReplayJournal removed %d local copies no journal entry refers to (%llu bytes) from '%s' and '%s'",
              swept.files, swept.bytes, dirs.tmp.c_str(), dirs.download.c_str());
  }
  return swept.files;
}

int CNuv4OndekoProcessor::RemoveCopiesOf(const std::string& tag, const WorkItem& item) {
  WorkJournal* j = m_journal.get();
  if (!j || !item.msg) return 0;
  const CopyDirs dirs;
  Swept swept;
  for (const CQueueFile& f : item.msg->files) {
    const std::string path = WideToPath(f.localPath);
    std::string folder;
    FileId id;
    off_t size;
    // Another entry may share it (copies of one IM message not combined).
    if (!IsCopyPlace(dirs, path, &folder) || !RegularFile(path, &id, &size) || j->RefersToCopy(path)) continue;
    if (::unlink(path.c_str()) == 0) {
      ++swept.files;
      swept.bytes += static_cast<unsigned long long>(size);
    }
    if (!folder.empty()) ::rmdir(folder.c_str());
  }
  if (swept.files > 0) {
    WriteLogF("%s %s dropped: removed %d local copies (%llu bytes)", tag.c_str(), DescribeWorkItem(item).c_str(),
              swept.files, swept.bytes);
  }
  return swept.files;
}

void CNuv4OndekoProcessor::RequeueParked() {
  WorkJournal* j = m_journal.get();
  if (!j) return;
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) {
    CWorkQueue* q = GetWorkQueue(qid);
    if (q->Refill() > 0) q->Wake();
  }
  j->LogParkedIfDue(GetClock().Now());
  j->Flush();
}

}  // namespace nuv
