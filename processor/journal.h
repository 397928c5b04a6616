#pragma once
// WorkJournal: the durable record of work the worker has accepted and not yet
// finished, so that a worker that ends (crash, kill, resource limit, dead
// queue) loses nothing it took in. One SQLite file in WAL mode in the
// configuration directory (<Config>/journal.db) holds one row per work item:
// its type, the queue it waits in, its accepted order (the entry id, which
// only grows), accepted time, state (queued or parked), park attempts and
// next due time, and the item's bytes (journal_codec.h).
//
// Life of an entry: Add when the item is accepted (before whatever makes it
// un-fetchable: the IM event handler returning, maxmsgid being saved);
// Update/Replace when the item changes (combined copies, downloaded files,
// new queue); Remove when its handler reports it done or the retry policy
// drops it for a refusal; Park when both attempts failed for a transport
// reason: the journal then holds the item outside the queues and hands it
// back through TakeDue with back-off 1, 2, 4, 8, 15, 15 ... minutes, and
// drops it (with a log line naming it) once it is 24 hours old. At start,
// LoadAll gives every queued entry back in accepted order for replay.
//
// Writes go through an in-memory index: each change marks its entry dirty
// and Flush writes all dirty entries in one transaction. Calls with sync =
// true flush before they return, so (while the journal is durable) the
// change is on disk when the call returns; sync = false lets a caller batch
// several changes into one commit, made by the next Flush or synced call.
// If a write fails (disk full, unwritable file or directory) the journal logs
// one line saying durability is off, keeps every change in memory and tries
// again on later calls (at most every 5 s of clock time); when a write
// succeeds it logs that durability is back and all held changes are on disk.
// A file that is torn, corrupt, foreign or of an unknown version is moved
// aside with a timestamp suffix (kept for the operator) and the journal
// starts empty; nothing here throws or ends the process.
//
// One object per worker (owned by its wiring). Every public method may be
// called from any thread; one mutex serialises them (the SQLite connection
// included).

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "processor/work_item.h"

struct sqlite3;

namespace nuv {

// Entry states.
enum : int {
  JOURNAL_QUEUED = 0,      // waiting in (or being handled from) a queue
  JOURNAL_PARKED = 1,      // held by the journal until its next due time
  JOURNAL_UNREADABLE = 2,  // bytes could not be decoded; kept for the operator only
};
// Queue id recorded for IM messages still in the combine queue.
constexpr int kJournalCombineQueue = -1;

// The journal file's name in the configuration directory.
extern const char kJournalFileName[];  // "journal.db"

// One entry as replay and TakeDue return it.
struct JournalEntry {
  uint64_t id = 0;
  int qid = 0;
  int64_t accepted = 0;  // seconds since 1970
  int state = JOURNAL_QUEUED;
  int attempts = 0;      // times parked so far
  int64_t nextDue = 0;   // parked: when it goes back to its queue
  std::string reason;    // parked: the last transport failure
  WorkItem item;         // type and payload; enqueueTime = accepted, retryCount 0
};

// What Park decided.
struct ParkResult {
  enum Action { kRequeueLater, kDropped } action = kRequeueLater;
  uint64_t id = 0;   // the entry (a new one when Park was given an unknown id)
  int64_t due = 0;   // kRequeueLater: when TakeDue hands it back
};

// Parked entries per queue, for the operator's periodic line.
struct ParkedStats {
  int total = 0;
  int perQueue[WQUEUE_QID_COUNT + 1] = {};  // [0] combine queue, [1 + qid] work queue qid
  int64_t oldestAgeSec = 0;                 // age of the oldest parked entry (since accepted)
};

class WorkJournal {
 public:
  struct Options {
    // true: a commit with newly accepted work is flushed to the device
    // before it returns (survives power loss); a commit of only removals
    // and state changes goes with the next flushed one (lost at a power cut,
    // it brings an item back once more, never loses one).
    // false: survives the process ending but not the machine losing power.
    bool syncToDevice = true;
  };

  static constexpr int64_t kFirstParkSec = 60;
  static constexpr int64_t kMaxParkSec = 15 * 60;
  static constexpr int64_t kParkLimitSec = 24 * 60 * 60;
  static constexpr int64_t kParkedLogEverySec = 10 * 60;
  static constexpr int64_t kRetryWritesMs = 5000;

  WorkJournal();
  ~WorkJournal();
  WorkJournal(const WorkJournal&) = delete;
  WorkJournal& operator=(const WorkJournal&) = delete;

  // Opens path (creating it), recovering from a bad file as described above.
  // Returns true when the journal is durable, false when it runs in memory
  // only (it is usable either way).
  bool Open(const std::string& path, const Options& options);
  bool Open(const std::string& path) { return Open(path, Options()); }
  // Flushes what it can and closes the file. The destructor does the same.
  void Close();

  // Records an accepted item waiting in queue qid (kJournalCombineQueue for
  // the combine queue), accepted at now. Returns the entry id; 0 for an item
  // of a type outside 1..6 (not recorded).
  uint64_t Add(const WorkItem& item, int qid, int64_t now, bool sync = true);
  // The item changed (files downloaded, media ids known) or moved to another
  // queue; unknown ids are ignored.
  void Update(uint64_t id, const WorkItem& item, int qid, bool sync = true);
  // The combined result replaces its copies: keep takes the combined item and
  // queue (keeping its accepted order), the absorbed entries go; one commit.
  // Returns the kept id (a new one when keep was unknown).
  uint64_t Replace(uint64_t keep, const std::vector<uint64_t>& absorbed, const WorkItem& combined, int qid,
               bool sync = true);
  // The item is finished (done, or dropped by the retry policy).
  void Remove(uint64_t id, bool sync = true);
  // Writes every pending change; true when nothing is left pending.
  bool Flush();

  // Both attempts failed for a transport reason: parks the item (its
  // current bytes) or, when it is 24 hours old, drops it with a log line.
  // An id of 0 or unknown records the item anew, accepted now. notBefore
  // (seconds since 1970; the cloud's Retry-After) holds it back at least
  // until then, whatever the back-off says.
  ParkResult Park(uint64_t id, const WorkItem& item, int qid, const std::string& reason, int64_t now,
                  int64_t notBefore = 0);
  // Parked entries whose due time has come, in accepted order, now queued
  // again (state JOURNAL_QUEUED); the caller puts them into their queues.
  std::vector<JournalEntry> TakeDue(int64_t now);

  // Every queued entry in accepted order, decoded, for replay at start.
  // Parked entries stay with the journal and come back through TakeDue.
  std::vector<JournalEntry> LoadAll();

  ParkedStats Parked(int64_t now) const;
  // Writes the operator's line when something is parked and the last line
  // is at least 10 minutes old (the first one at once).
  void LogParkedIfDue(int64_t now);

  // The local copies (attachments' localPath, as file-system names) the
  // entries refer to, queued and parked alike; an unreadable entry's are
  // not known.
  std::vector<std::string> LocalCopies() const;
  // Whether some entry refers to the local copy path.
  bool RefersToCopy(const std::string& path) const;

  // Entries known (queued, parked and unreadable).
  size_t Size() const;
  bool Durable() const;
  const std::string& Path() const { return path_; }

  // Test seam: SQLite's page limit for this file (0: SQLite's default), to
  // make writes fail with a full database as on a full disk.
  void SetMaxPageCount(int pages);

  // Small named values kept beside the entries (the highest cloud message id
  // taken in, for one). SetMeta holds a value for the next commit, so that
  // it reaches the disk together with the entries added before that commit
  // and never ahead of them; a commit holding one is flushed to the device
  // like new work. Meta gives the latest value set (or read at Open); false
  // when the key has none.
  void SetMeta(const std::string& key, const std::string& value);
  bool Meta(const std::string& key, std::string* value) const;

 private:
  struct Rec;
  enum { kPrepOk, kPrepBadFile, kPrepCannotWrite };
  uint64_t AddLocked(const WorkItem& item, int qid, int64_t now);
  void SetItemLocked(uint64_t id, Rec& rec, const WorkItem& item, int qid);
  bool OpenFileLocked();
  int PrepareDbLocked(std::string* why);
  bool LoadIndexLocked(std::string* why);
  bool MoveAsideLocked(const std::string& why);
  void CloseDbLocked();
  bool FlushLocked(bool force);
  bool NewWorkDirtyLocked() const;
  bool WriteDirtyLocked(std::string* why);
  void WritesFailedLocked(const std::string& why);
  bool ReadPayloadLocked(uint64_t id, std::string* payload);
  int DecodeRecLocked(uint64_t id, const Rec& rec, JournalEntry* out);
  void MarkUnreadableLocked(uint64_t id, Rec& rec);
  void MaybeCheckpointLocked();

  std::string path_;
  Options options_;

  // Guards everything below, the SQLite connection included.
  mutable std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::map<uint64_t, Rec> recs_;     // live entries by id (accepted order)
  std::vector<uint64_t> dirtyIds_;   // entries with changes not on disk yet
  std::vector<uint64_t> deletes_;    // removed entries still on disk
  uint64_t nextId_ = 1;
  bool durable_ = false;             // last write (or open) succeeded
  bool offLogged_ = false;           // the durability-off line was written
  int64_t lastTryMs_ = 0;            // last failed write attempt, clock ms
  int64_t lastParkedLog_ = 0;        // last operator line, seconds
  uint64_t deletesSinceCheckpoint_ = 0;
  int64_t lastCheckpointMs_ = 0;     // clock ms of the last checkpoint
  int maxPageCount_ = 0;
  bool syncFull_ = false;            // the connection's synchronous setting is FULL

  // Named values (SetMeta / Meta) and the keys changed since the last commit.
  int CreateMetaTableLocked(std::string* why);
  bool LoadMetaLocked(std::string* why);
  bool WriteMetaLocked(std::string* why);
  std::map<std::string, std::string> meta_;
  std::vector<std::string> metaDirty_;
};

// Lists the journal at path for the operator (one line per entry: id,
// kind, queue, state, age, attempts, next due, the item) without changing
// it; the file is opened read-only and may be in use by a running worker.
// Returns 0, or 1 when the file cannot be read (a line on err says why).
int ListJournal(const std::string& path, int64_t now, std::ostream& out, std::ostream& err);

}  // namespace nuv
