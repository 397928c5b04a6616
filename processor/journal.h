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
// Queues hold a bounded window: an entry can wait in the journal while queued
// (not held by the process; see Unload and TakeWaiting), and a parked entry
// always does. The index keeps a few bytes per entry (its bytes stay on
// disk), so a journal of a million entries is opened and held in little
// memory; the counts the status endpoint and the health tests read are kept
// as the entries change.
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
// starts anew: with the entries that can still be read from a damaged or
// torn journal, empty for anything else; nothing here throws or ends the
// process.
//
// One object per worker (owned by its wiring). Every public method may be
// called from any thread; one mutex serialises them (the SQLite connection
// included).

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <map>
#include <unordered_map>
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

  // The window over the queues. An entry is held while some queue (or the
  // worker handling it) has it in memory: Add, Replace, TakeDue, LoadAll and
  // TakeWaiting hand out held entries; Park and Remove end the hold.
  // Unload: the queued entry's item is not kept in memory; it waits here and
  // comes back through TakeWaiting. False (nothing changed) for an entry that
  // is unknown, not queued or not held.
  bool Unload(uint64_t id);
  // Unloads the entry when a queue of qid holding inMemory items has no room
  // in its window, or when entries of qid already wait here (a newer item
  // never overtakes them); true when it was unloaded.
  bool SpillIfBehind(uint64_t id, int qid, size_t inMemory, size_t window);
  // Up to max entries of queue qid in accepted order, decoded and held: the
  // queued ones waiting here and the parked ones whose due time has come
  // (queued again).
  std::vector<JournalEntry> TakeWaiting(int qid, size_t max, int64_t now);
  // Whether TakeWaiting(qid, .., now) may find something.
  bool HasWaiting(int qid, int64_t now) const;
  // Queued entries of qid waiting here (not held; parked ones not counted).
  size_t WaitingOnDisk(int qid) const;
  // The other side answers again: the parked entries of the queues listed
  // (work queue ids, -1 ends the list) become due now, unless a throttling
  // cloud asked for longer. Only entries parked since the last release are
  // looked at; returns how many became due.
  size_t ReleaseParked(const int* qids, int64_t now);

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
  // One entry of the index, kept small: a million of them must fit in a
  // few tens of megabytes. Entries are appended (ids only grow) and removed
  // ones are marked dead until the index is compacted.
  // Seconds since 1970 in four bytes (until 2106), clamped.
  struct Sec32 {
    uint32_t v = 0;
    Sec32() = default;
    Sec32(int64_t t)  // NOLINT: converts implicitly, as the field it stands for
        : v(t <= 0 ? 0u : t >= static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(t)) {}
    operator int64_t() const { return v; }  // NOLINT
  };
  struct Rec {
    uint64_t id = 0;
    Sec32 accepted;
    Sec32 nextDue;
    int16_t attempts = 0;
    uint16_t reason = 0;  // index into reasons_
    int8_t type = 0;
    int8_t qid = 0;
    uint8_t state = 0;
    uint8_t flags = 0;  // kDirty, kOnDisk, kHeld, kDead, kServerDue
  };
  static_assert(sizeof(Rec) == 24, "a million entries fit in 24 MB");
  // What only some entries have: bytes not on disk yet, local copies.
  struct Extra {
    std::string payload;
    bool payloadHeld = false;
    std::vector<std::string> copies;
  };
  enum { kPrepOk, kPrepBadFile, kPrepCannotWrite };
  size_t FindLocked(uint64_t id) const;
  void CountLocked(const Rec& r, int sign);
  void SetStateLocked(Rec& r, int state, bool held);
  void MarkDirtyLocked(Rec& r);
  void RemoveLocked(Rec& r);
  void MaybeCompactLocked();
  uint16_t ReasonLocked(const std::string& reason);
  uint64_t AddLocked(const WorkItem& item, int qid, int64_t now);
  void SetItemLocked(Rec& rec, const WorkItem& item, int qid);
  bool OpenFileLocked();
  int PrepareDbLocked(std::string* why);
  bool LoadIndexLocked(std::string* why);
  bool MoveAsideLocked(const std::string& why, std::string* movedTo);
  void SalvageLocked(const std::string& from);
  void CloseDbLocked();
  bool FlushLocked(bool force);
  bool NewWorkDirtyLocked() const;
  bool WriteDirtyLocked(std::string* why);
  void WritesFailedLocked(const std::string& why);
  bool ReadPayloadLocked(uint64_t id, std::string* payload);
  int DecodeRecLocked(const Rec& rec, JournalEntry* out);
  void MarkUnreadableLocked(Rec& rec);
  void MaybeCheckpointLocked();

  std::string path_;
  Options options_;

  // Guards everything below, the SQLite connection included.
  mutable std::mutex mu_;
  sqlite3* db_ = nullptr;
  // Entries by id (accepted order), dead ones among them. In blocks: it
  // grows without ever holding an old and a new copy of a million entries.
  std::deque<Rec> recs_;
  size_t dead_ = 0;                  // dead entries in recs_
  std::unordered_map<uint64_t, Extra> extras_;
  std::vector<std::string> reasons_;  // distinct park reasons ([0] empty)
  // Running counts of live entries, by [1 + qid]: all, queued and not held,
  // parked; and a lower bound of the parked entries' due times.
  size_t live_ = 0;
  size_t waiting_[WQUEUE_QID_COUNT + 1] = {};
  size_t parked_[WQUEUE_QID_COUNT + 1] = {};
  int64_t earliestDue_[WQUEUE_QID_COUNT + 1] = {};
  bool parkedSinceRelease_[WQUEUE_QID_COUNT + 1] = {};
  mutable size_t firstParkedHint_ = 0;  // no parked entry lies before this index
  std::vector<uint64_t> dirtyIds_;   // entries with changes not on disk yet
  std::vector<uint64_t> deletes_;    // removed entries still on disk
  uint64_t nextId_ = 1;
  bool durable_ = false;             // last write (or open) succeeded
  bool offLogged_ = false;           // the durability-off line was written
  int64_t lastTryMs_ = 0;            // last failed write attempt, clock ms
  int64_t lastParkedLog_ = 0;        // last operator line, seconds
  uint64_t deletesSinceCheckpoint_ = 0;
  int64_t lastCheckpointMs_ = 0;     // clock ms of the last checkpoint
  bool drainCheckpoints_ = false;    // checkpointed for many removals since last empty
  bool autoVacuum_ = false;          // the file gives freed pages back
  bool ownFile_ = false;             // the file being opened is a journal of this version
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
