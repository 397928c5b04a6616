// WorkJournal over SQLite (WAL mode): the in-memory index of entries, the
// batched writes, parking with back-off, recovery from bad files and from
// failed writes, and the operator's read-only listing.

#include "processor/journal.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ostream>

#include <sys/stat.h>

#include "common/clock.h"
#include "common/log.h"
#include "common/str_format.h"
#include "common/text_conv.h"
#include "processor/journal_codec.h"

namespace nuv {

const char kJournalFileName[] = "journal.db";

namespace {

constexpr int kApplicationId = 0x4E4A524E;  // marks the file as this journal
constexpr int kSchemaVersion = 1;
constexpr uint64_t kCheckpointEveryDeletes = 1000;
// An emptied journal is checkpointed at most this often (a checkpoint costs
// several device flushes; light traffic empties the journal all the time).
constexpr int64_t kCheckpointPauseMs = 30000;

const char kCreateSchema[] =
    "CREATE TABLE entries("
    " id INTEGER PRIMARY KEY,"
    " type INTEGER NOT NULL,"
    " qid INTEGER NOT NULL,"
    " accepted INTEGER NOT NULL,"
    " state INTEGER NOT NULL,"
    " attempts INTEGER NOT NULL,"
    " next_due INTEGER NOT NULL,"
    " reason TEXT NOT NULL,"
    " payload BLOB NOT NULL)";

// Owns one prepared statement.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return rc_ == SQLITE_OK && st_ != nullptr; }
  int rc() const { return rc_; }
  sqlite3_stmt* get() { return st_; }
  // Runs a statement that returns no rows: SQLITE_DONE on success.
  int Run() {
    if (!ok()) return rc_;
    int rc = sqlite3_step(st_);
    sqlite3_reset(st_);
    return rc;
  }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

std::string ErrText(sqlite3* db, int rc) {
  std::string s = sqlite3_errstr(rc);
  if (db) {
    const char* m = sqlite3_errmsg(db);
    if (m && std::strcmp(m, s.c_str()) != 0) s += std::string(": ") + m;
  }
  return s;
}

// The file itself is bad (as opposed to the disk or its permissions).
bool IsBadFileCode(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_FORMAT ||
         rc == SQLITE_IOERR_SHORT_READ;
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// First column of the first row as an integer; rc set to the failure, if any.
int64_t QueryInt(sqlite3* db, const char* sql, int* rc) {
  Stmt st(db, sql);
  if (!st.ok()) {
    *rc = st.rc();
    return 0;
  }
  int step = sqlite3_step(st.get());
  if (step == SQLITE_ROW) {
    *rc = SQLITE_OK;
    return sqlite3_column_int64(st.get(), 0);
  }
  *rc = step == SQLITE_DONE ? SQLITE_OK : step;
  return 0;
}

std::string QueryText(sqlite3* db, const char* sql, int* rc) {
  Stmt st(db, sql);
  if (!st.ok()) {
    *rc = st.rc();
    return std::string();
  }
  int step = sqlite3_step(st.get());
  if (step == SQLITE_ROW) {
    *rc = SQLITE_OK;
    const unsigned char* t = sqlite3_column_text(st.get(), 0);
    return t ? reinterpret_cast<const char*>(t) : "";
  }
  *rc = step == SQLITE_DONE ? SQLITE_OK : step;
  return std::string();
}

std::string Blob(sqlite3_stmt* st, int col) {
  const void* p = sqlite3_column_blob(st, col);
  const int n = sqlite3_column_bytes(st, col);
  return p && n > 0 ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

bool FileExists(const std::string& path) {
  struct stat sb;
  return ::stat(path.c_str(), &sb) == 0;
}

std::string UtcStamp(int64_t now) {
  const time_t t = static_cast<time_t>(now);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

const char* KindName(int type) {
  switch (type) {
    case WQUEUE_NUV2ONDEKOMSG:
    case WQUEUE_NUV2ONDEKOFILE: return "im-message";
    case WQUEUE_ONDEKO2NUVMSG:
    case WQUEUE_ONDEKO2NUVFILE: return "cloud-message";
    case WQUEUE_ONDEKOBINDTOKEN: return "bind-token";
    case WQUEUE_FETCHONDEKOMSG: return "fetch-range";
    default: return "unknown";
  }
}

const char* QueueName(int qid) {
  switch (qid) {
    case kJournalCombineQueue: return "COMBINEQUEUE";
    case WQUEUE_QID_TXT2NUV: return "TXT2NUV";
    case WQUEUE_QID_FILE2NUV: return "FILE2NUV";
    case WQUEUE_QID_TXT2ONDEKO: return "TXT2ONDEKO";
    case WQUEUE_QID_FILE2ONDEKO: return "FILE2ONDEKO";
    default: return "?";
  }
}

const char* StateName(int state) {
  switch (state) {
    case JOURNAL_QUEUED: return "queued";
    case JOURNAL_PARKED: return "parked";
    case JOURNAL_UNREADABLE: return "unreadable";
    default: return "?";
  }
}

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }
long long L(int64_t v) { return static_cast<long long>(v); }

bool IsJournalType(int type) { return type >= WQUEUE_NUV2ONDEKOMSG && type <= WQUEUE_FETCHONDEKOMSG; }

std::vector<std::string> CopiesOf(const WorkItem& item) {
  std::vector<std::string> out;
  if (!item.msg) return out;
  for (const CQueueFile& f : item.msg->files)
    if (!f.localPath.empty()) out.push_back(WideToPath(f.localPath));
  return out;
}

int64_t BackOffSec(int attempts) {
  int64_t d = WorkJournal::kFirstParkSec;
  for (int i = 1; i < attempts && d < WorkJournal::kMaxParkSec; ++i) d *= 2;
  return std::min(d, WorkJournal::kMaxParkSec);
}

}  // namespace

// One entry in the index. payload holds the item's bytes while they are not
// on disk yet (always when onDisk is false); otherwise they are read back
// from the file when needed.
struct WorkJournal::Rec {
  int type = 0;
  int qid = 0;
  int64_t accepted = 0;
  int state = JOURNAL_QUEUED;
  int attempts = 0;
  int64_t nextDue = 0;
  std::string reason;
  std::string label;  // DescribeWorkItem of the item, for log lines
  std::vector<std::string> copies;  // the item's local copies (LocalCopies)
  std::string payload;
  bool payloadHeld = false;
  bool onDisk = false;
  bool dirty = false;
};

WorkJournal::WorkJournal() = default;

WorkJournal::~WorkJournal() { Close(); }

bool WorkJournal::Open(const std::string& path, const Options& options) {
  std::lock_guard<std::mutex> lk(mu_);
  FlushLocked(true);
  CloseDbLocked();
  recs_.clear();
  deletes_.clear();
  dirtyIds_.clear();
  meta_.clear();
  metaDirty_.clear();
  nextId_ = 1;
  path_ = path;
  options_ = options;
  offLogged_ = false;
  if (!OpenFileLocked()) {
    durable_ = false;
    // Whatever the unopened file may hold must not be overwritten when it
    // becomes writable: ids made now lie far above any it can contain.
    nextId_ = static_cast<uint64_t>(GetClock().NowMs()) * 1000;
    lastTryMs_ = GetClock().NowMs();
  }
  return durable_;
}

void WorkJournal::Close() {
  std::lock_guard<std::mutex> lk(mu_);
  FlushLocked(true);
  CloseDbLocked();
}

void WorkJournal::CloseDbLocked() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

// Opens (creating when missing) the file, prepares it and loads the index.
// A bad file is moved aside once and a fresh one made. False: no file could
// be opened and the journal runs in memory only (logged).
bool WorkJournal::OpenFileLocked() {
  for (int round = 0; round < 2; ++round) {
    std::string why;
    const int rc = PrepareDbLocked(&why);
    if (rc == kPrepOk) {
      durable_ = true;  // writes during the load (unreadable rows) are judged from here
      if (LoadIndexLocked(&why) && LoadMetaLocked(&why)) return true;
      CloseDbLocked();
      recs_.clear();
    } else if (rc == kPrepCannotWrite) {
      CloseDbLocked();
      WritesFailedLocked(why);
      return false;
    }
    // The file is unusable as a journal.
    CloseDbLocked();
    if (round == 1 || !MoveAsideLocked(why)) break;
  }
  WritesFailedLocked("the journal file cannot be used");
  return false;
}

int WorkJournal::PrepareDbLocked(std::string* why) {
  int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    *why = ErrText(db_, rc);
    return IsBadFileCode(rc) ? kPrepBadFile : kPrepCannotWrite;
  }
  sqlite3_busy_timeout(db_, 1000);
  sqlite3_extended_result_codes(db_, 1);
  auto fail = [&](int code, const std::string& what) {
    *why = what + ": " + ErrText(db_, code);
    return IsBadFileCode(code) ? kPrepBadFile : kPrepCannotWrite;
  };
  // What the file holds before anything is written to it.
  int qrc = SQLITE_OK;
  const int64_t tables = QueryInt(db_, "SELECT count(*) FROM sqlite_master", &qrc);
  if (qrc != SQLITE_OK) return fail(qrc, "reading the schema");
  const int64_t appId = QueryInt(db_, "PRAGMA application_id", &qrc);
  if (qrc != SQLITE_OK) return fail(qrc, "reading the application id");
  const int64_t version = QueryInt(db_, "PRAGMA user_version", &qrc);
  if (qrc != SQLITE_OK) return fail(qrc, "reading the version");
  const bool fresh = tables == 0 && appId == 0 && version == 0;
  if (!fresh) {
    if (appId != kApplicationId) {
      *why = StrFormat("not a work journal (application id %lld)", L(appId));
      return kPrepBadFile;
    }
    if (version != kSchemaVersion) {
      *why = StrFormat("unknown version %lld", L(version));
      return kPrepBadFile;
    }
    const std::string check = QueryText(db_, "PRAGMA quick_check", &qrc);
    if (qrc != SQLITE_OK) return fail(qrc, "checking the file");
    if (check != "ok") {
      *why = "check failed: " + check;
      return kPrepBadFile;
    }
  }
  const std::string mode = QueryText(db_, "PRAGMA journal_mode=WAL", &qrc);
  if (qrc != SQLITE_OK) return fail(qrc, "switching to WAL");
  if (mode != "wal") {
    *why = "WAL mode refused (" + mode + ")";
    return kPrepCannotWrite;
  }
  rc = Exec(db_, options_.syncToDevice ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
  if (rc != SQLITE_OK) return fail(rc, "setting synchronous");
  syncFull_ = options_.syncToDevice;
  Exec(db_, "PRAGMA journal_size_limit=1048576");
  if (maxPageCount_ > 0) Exec(db_, StrFormat("PRAGMA max_page_count=%d", maxPageCount_).c_str());
  if (fresh) {
    rc = Exec(db_, "PRAGMA auto_vacuum=INCREMENTAL");
    if (rc == SQLITE_OK) rc = Exec(db_, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) rc = Exec(db_, kCreateSchema);
    if (rc == SQLITE_OK) rc = Exec(db_, StrFormat("PRAGMA application_id=%d", kApplicationId).c_str());
    if (rc == SQLITE_OK) rc = Exec(db_, StrFormat("PRAGMA user_version=%d", kSchemaVersion).c_str());
    if (rc == SQLITE_OK) rc = Exec(db_, "COMMIT");
    if (rc != SQLITE_OK) {
      const std::string what = ErrText(db_, rc);
      Exec(db_, "ROLLBACK");
      *why = "creating the journal: " + what;
      return IsBadFileCode(rc) ? kPrepBadFile : kPrepCannotWrite;
    }
  }
  return CreateMetaTableLocked(why);
}

// Reads every row into the index. Rows whose bytes do not decode are kept
// on disk as unreadable (listed for the operator, never replayed). False
// when the table cannot be read (why says how).
bool WorkJournal::LoadIndexLocked(std::string* why) {
  Stmt st(db_, "SELECT id, type, qid, accepted, state, attempts, next_due, reason, payload FROM entries ORDER BY id");
  if (!st.ok()) {
    *why = "reading the entries: " + ErrText(db_, st.rc());
    return false;
  }
  std::vector<uint64_t> unreadable;
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    const uint64_t id = static_cast<uint64_t>(sqlite3_column_int64(st.get(), 0));
    Rec r;
    r.type = sqlite3_column_int(st.get(), 1);
    r.qid = sqlite3_column_int(st.get(), 2);
    r.accepted = sqlite3_column_int64(st.get(), 3);
    r.state = sqlite3_column_int(st.get(), 4);
    r.attempts = sqlite3_column_int(st.get(), 5);
    r.nextDue = sqlite3_column_int64(st.get(), 6);
    const unsigned char* reason = sqlite3_column_text(st.get(), 7);
    r.reason = reason ? reinterpret_cast<const char*>(reason) : "";
    r.onDisk = true;
    WorkItem item;
    const JournalDecode d = DecodeWorkPayload(r.type, Blob(st.get(), 8), &item);
    if (d == JournalDecode::kOk) {
      r.label = DescribeWorkItem(item);
      r.copies = CopiesOf(item);
    } else {
      r.label = StrFormat("MsgType %d", r.type);
      if (r.state != JOURNAL_UNREADABLE) {
        WriteLogF("WorkJournal::Open entry %llu (%s) cannot be decoded (%s), kept but not replayed", U(id),
                  KindName(r.type), JournalDecodeName(d));
        r.state = JOURNAL_UNREADABLE;
        r.dirty = true;
        unreadable.push_back(id);
      }
    }
    if (r.qid < kJournalCombineQueue || r.qid >= WQUEUE_QID_COUNT) r.qid = kJournalCombineQueue;
    nextId_ = std::max(nextId_, id + 1);
    recs_.emplace(id, std::move(r));
  }
  if (rc != SQLITE_DONE) {
    *why = "reading the entries: " + ErrText(db_, rc);
    return false;
  }
  dirtyIds_.insert(dirtyIds_.end(), unreadable.begin(), unreadable.end());
  if (!unreadable.empty()) FlushLocked(true);
  if (!recs_.empty())
    WriteLogF("WorkJournal::Open '%s' holds %u entries", path_.c_str(), static_cast<unsigned>(recs_.size()));
  return true;
}

// Renames the bad file (and its write-ahead log) to <path>.bad-<UTC time>;
// the shared-memory index is derived data and is removed. False when the
// file stays where it is.
bool WorkJournal::MoveAsideLocked(const std::string& why) {
  if (!FileExists(path_)) return true;
  std::string aside = path_ + ".bad-" + UtcStamp(GetClock().Now());
  for (int n = 2; FileExists(aside) && n < 100; ++n)
    aside = path_ + ".bad-" + UtcStamp(GetClock().Now()) + StrFormat("-%d", n);
  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    WriteLogF("WorkJournal::Open '%s' is unusable (%s) and cannot be moved aside: %s", path_.c_str(), why.c_str(),
              std::strerror(errno));
    return false;
  }
  if (FileExists(path_ + "-wal")) std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
  std::remove((path_ + "-shm").c_str());
  WriteLogF("WorkJournal::Open '%s' is unusable (%s), moved aside to '%s'; starting with an empty journal",
            path_.c_str(), why.c_str(), aside.c_str());
  return true;
}

void WorkJournal::WritesFailedLocked(const std::string& why) {
  lastTryMs_ = GetClock().NowMs();
  if (durable_ || !offLogged_) {
    WriteLogF("WorkJournal '%s' cannot be written (%s): durability is off until writes succeed again", path_.c_str(),
              why.c_str());
    offLogged_ = true;
  }
  durable_ = false;
}

bool WorkJournal::FlushLocked(bool force) {
  if (dirtyIds_.empty() && deletes_.empty() && metaDirty_.empty()) {
    // Nothing to write. A journal emptied within the pause after the last
    // fold-back gets it now, so an idle bridge does not keep its log.
    if (durable_) MaybeCheckpointLocked();
    return true;
  }
  if (path_.empty()) return false;
  if (!durable_ && !force && GetClock().NowMs() - lastTryMs_ < kRetryWritesMs) return false;
  std::string why;
  const size_t pending = dirtyIds_.size() + deletes_.size() + metaDirty_.size();
  if (!WriteDirtyLocked(&why)) {
    WritesFailedLocked(why);
    return false;
  }
  if (!durable_) {
    WriteLogF("WorkJournal '%s' written again: durability is back on (%u changes written)", path_.c_str(),
              static_cast<unsigned>(pending));
    durable_ = true;
    offLogged_ = false;
  }
  MaybeCheckpointLocked();
  return true;
}

// Work not on disk yet among the dirty entries: accepted since the last
// commit, or parked without having been recorded.
bool WorkJournal::NewWorkDirtyLocked() const {
  for (uint64_t id : dirtyIds_) {
    auto it = recs_.find(id);
    if (it != recs_.end() && it->second.dirty && !it->second.onDisk) return true;
  }
  return false;
}

bool WorkJournal::WriteDirtyLocked(std::string* why) {
  if (!db_) {
    // The file could not be opened before: try again, without reloading
    // (the index in memory is the truth now).
    const int prep = PrepareDbLocked(why);
    if (prep != kPrepOk) {
      CloseDbLocked();
      return false;
    }
  }
  // Only newly accepted work must be on the device when the call returns.
  // Removals and state changes may wait for the next commit that flushes:
  // the log is written in order, so a power cut loses at most a tail of
  // such commits, and with it the news that some items were done.
  const bool full = options_.syncToDevice && (NewWorkDirtyLocked() || !metaDirty_.empty());
  if (full != syncFull_ && Exec(db_, full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") == SQLITE_OK)
    syncFull_ = full;
  int rc = Exec(db_, "BEGIN IMMEDIATE");
  auto failed = [&](const char* what, int code) {
    *why = std::string(what) + ": " + ErrText(db_, code);
    Exec(db_, "ROLLBACK");
    return false;
  };
  if (rc != SQLITE_OK) return failed("starting a transaction", rc);
  if (!deletes_.empty()) {
    Stmt del(db_, "DELETE FROM entries WHERE id = ?");
    if (!del.ok()) return failed("preparing a delete", del.rc());
    for (uint64_t id : deletes_) {
      sqlite3_bind_int64(del.get(), 1, static_cast<sqlite3_int64>(id));
      rc = del.Run();
      if (rc != SQLITE_DONE) return failed("deleting an entry", rc);
    }
  }
  if (!dirtyIds_.empty()) {
    Stmt put(db_,
             "INSERT OR REPLACE INTO entries(id, type, qid, accepted, state, attempts, next_due, reason, payload)"
             " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    Stmt meta(db_, "UPDATE entries SET qid = ?, state = ?, attempts = ?, next_due = ?, reason = ? WHERE id = ?");
    if (!put.ok()) return failed("preparing an insert", put.rc());
    if (!meta.ok()) return failed("preparing an update", meta.rc());
    for (uint64_t id : dirtyIds_) {
      auto it = recs_.find(id);
      if (it == recs_.end() || !it->second.dirty) continue;
      const Rec& r = it->second;
      if (r.payloadHeld) {
        sqlite3_stmt* s = put.get();
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(id));
        sqlite3_bind_int(s, 2, r.type);
        sqlite3_bind_int(s, 3, r.qid);
        sqlite3_bind_int64(s, 4, r.accepted);
        sqlite3_bind_int(s, 5, r.state);
        sqlite3_bind_int(s, 6, r.attempts);
        sqlite3_bind_int64(s, 7, r.nextDue);
        sqlite3_bind_text(s, 8, r.reason.c_str(), static_cast<int>(r.reason.size()), SQLITE_STATIC);
        sqlite3_bind_blob(s, 9, r.payload.data(), static_cast<int>(r.payload.size()), SQLITE_STATIC);
        rc = put.Run();
      } else {
        sqlite3_stmt* s = meta.get();
        sqlite3_bind_int(s, 1, r.qid);
        sqlite3_bind_int(s, 2, r.state);
        sqlite3_bind_int(s, 3, r.attempts);
        sqlite3_bind_int64(s, 4, r.nextDue);
        sqlite3_bind_text(s, 5, r.reason.c_str(), static_cast<int>(r.reason.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 6, static_cast<sqlite3_int64>(id));
        rc = meta.Run();
      }
      if (rc != SQLITE_DONE) return failed("writing an entry", rc);
    }
  }
  if (!WriteMetaLocked(why)) {
    Exec(db_, "ROLLBACK");
    return false;
  }
  rc = Exec(db_, "COMMIT");
  if (rc != SQLITE_OK) return failed("committing", rc);
  metaDirty_.clear();
  // On disk now: forget the held bytes.
  for (uint64_t id : dirtyIds_) {
    auto it = recs_.find(id);
    if (it == recs_.end()) continue;
    Rec& r = it->second;
    r.dirty = false;
    r.onDisk = true;
    r.payloadHeld = false;
    std::string().swap(r.payload);
  }
  deletesSinceCheckpoint_ += deletes_.size();
  dirtyIds_.clear();
  deletes_.clear();
  return true;
}

// Keeps the files small: when the journal is empty (at most every 30 s; the
// supervisor's periodic flush catches an emptying that came sooner), or
// after many removals, the freed pages are given back and the write-ahead
// log is folded into the file and truncated. A reader holding the log open
// only postpones this.
void WorkJournal::MaybeCheckpointLocked() {
  if (!db_ || deletesSinceCheckpoint_ == 0) return;
  const int64_t nowMs = GetClock().NowMs();
  const bool emptyAndDue = recs_.empty() && nowMs - lastCheckpointMs_ >= kCheckpointPauseMs;
  if (!emptyAndDue && deletesSinceCheckpoint_ < kCheckpointEveryDeletes) return;
  lastCheckpointMs_ = nowMs;
  Exec(db_, "PRAGMA incremental_vacuum");
  Exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
  deletesSinceCheckpoint_ = 0;
}

uint64_t WorkJournal::AddLocked(const WorkItem& item, int qid, int64_t now) {
  const uint64_t id = nextId_++;
  Rec r;
  r.accepted = now;
  recs_.emplace(id, std::move(r));
  SetItemLocked(id, recs_[id], item, qid);
  return id;
}

void WorkJournal::SetItemLocked(uint64_t id, Rec& r, const WorkItem& item, int qid) {
  r.type = item.type;
  r.qid = qid;
  r.label = DescribeWorkItem(item);
  r.copies = CopiesOf(item);
  r.payload = EncodeWorkPayload(item);
  r.payloadHeld = true;
  if (!r.dirty) dirtyIds_.push_back(id);
  r.dirty = true;
}

uint64_t WorkJournal::Add(const WorkItem& item, int qid, int64_t now, bool sync) {
  if (!IsJournalType(item.type)) return 0;
  std::lock_guard<std::mutex> lk(mu_);
  const uint64_t id = AddLocked(item, qid, now);
  if (sync) FlushLocked(false);
  return id;
}

void WorkJournal::Update(uint64_t id, const WorkItem& item, int qid, bool sync) {
  if (!IsJournalType(item.type)) return;
  std::lock_guard<std::mutex> lk(mu_);
  auto it = recs_.find(id);
  if (it == recs_.end()) return;
  SetItemLocked(id, it->second, item, qid);
  if (sync) FlushLocked(false);
}

// The removals and the kept entry's new bytes go to disk in one commit, so
// a crash never leaves the copies gone and the result not yet combined.
uint64_t WorkJournal::Replace(uint64_t keep, const std::vector<uint64_t>& absorbed, const WorkItem& combined,
                              int qid, bool sync) {
  if (!IsJournalType(combined.type)) return 0;
  std::lock_guard<std::mutex> lk(mu_);
  int64_t accepted = combined.msg ? combined.msg->createTime : 0;
  bool found = false;
  for (uint64_t id : absorbed) {
    if (id == keep) continue;
    auto it = recs_.find(id);
    if (it == recs_.end()) continue;
    if (!found || it->second.accepted < accepted) accepted = it->second.accepted;
    found = true;
    if (it->second.onDisk) deletes_.push_back(id);
    recs_.erase(it);
  }
  auto it = recs_.find(keep);
  if (it == recs_.end()) {
    // The kept copy was never recorded: record the result anew, as old as
    // the oldest copy it absorbed.
    keep = AddLocked(combined, qid, accepted);
  } else {
    SetItemLocked(keep, it->second, combined, qid);
  }
  if (sync) FlushLocked(false);
  return keep;
}

void WorkJournal::Remove(uint64_t id, bool sync) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = recs_.find(id);
  if (it == recs_.end()) return;
  if (it->second.onDisk) deletes_.push_back(id);
  recs_.erase(it);
  if (sync) FlushLocked(false);
}

bool WorkJournal::Flush() {
  std::lock_guard<std::mutex> lk(mu_);
  return FlushLocked(false);
}

ParkResult WorkJournal::Park(uint64_t id, const WorkItem& item, int qid, const std::string& reason, int64_t now,
                             int64_t notBefore) {
  ParkResult res;
  if (!IsJournalType(item.type)) {
    res.action = ParkResult::kDropped;  // nothing a queue could handle
    return res;
  }
  std::lock_guard<std::mutex> lk(mu_);
  auto it = id ? recs_.find(id) : recs_.end();
  if (it == recs_.end()) {
    id = nextId_++;
    Rec fresh;
    fresh.accepted = now;
    it = recs_.emplace(id, std::move(fresh)).first;
  }
  res.id = id;
  Rec& r = it->second;
  const std::string label = DescribeWorkItem(item);
  const int64_t age = now - r.accepted;
  if (age >= kParkLimitSec) {
    WriteLogF("WorkJournal::Park %s accepted %lld sec ago, not delivered within 24 hours, dropped (last failure: %s)",
              label.c_str(), L(age), reason.c_str());
    if (r.onDisk) deletes_.push_back(id);
    recs_.erase(it);
    FlushLocked(false);
    res.action = ParkResult::kDropped;
    return res;
  }
  SetItemLocked(id, r, item, qid);
  r.state = JOURNAL_PARKED;
  ++r.attempts;
  r.nextDue = std::max(now + BackOffSec(r.attempts), notBefore);
  r.reason = reason;
  res.action = ParkResult::kRequeueLater;
  res.due = r.nextDue;
  WriteLogF("WorkJournal::Park %s parked (round %d, %s), back in %s in %lld sec", label.c_str(), r.attempts,
            reason.c_str(), QueueName(qid), L(r.nextDue - now));
  FlushLocked(false);
  return res;
}

bool WorkJournal::ReadPayloadLocked(uint64_t id, std::string* payload) {
  if (!db_) return false;
  Stmt st(db_, "SELECT payload FROM entries WHERE id = ?");
  if (!st.ok()) return false;
  sqlite3_bind_int64(st.get(), 1, static_cast<sqlite3_int64>(id));
  if (sqlite3_step(st.get()) != SQLITE_ROW) return false;
  *payload = Blob(st.get(), 0);
  return true;
}

// 0: decoded into out; 1: bytes not readable now (try later); 2: the bytes
// are bad.
int WorkJournal::DecodeRecLocked(uint64_t id, const Rec& r, JournalEntry* out) {
  std::string fromDisk;
  if (!r.payloadHeld && !ReadPayloadLocked(id, &fromDisk)) return 1;
  const std::string& bytes = r.payloadHeld ? r.payload : fromDisk;
  WorkItem item;
  const JournalDecode d = DecodeWorkPayload(r.type, bytes, &item);
  if (d != JournalDecode::kOk) {
    WriteLogF("WorkJournal entry %llu (%s) cannot be decoded (%s), kept but not replayed", U(id), KindName(r.type),
              JournalDecodeName(d));
    return 2;
  }
  out->id = id;
  out->qid = r.qid;
  out->accepted = r.accepted;
  out->state = r.state;
  out->attempts = r.attempts;
  out->nextDue = r.nextDue;
  out->reason = r.reason;
  item.enqueueTime = static_cast<int32_t>(r.accepted);
  item.retryCount = 0;
  out->item = std::move(item);
  return 0;
}

void WorkJournal::MarkUnreadableLocked(uint64_t id, Rec& r) {
  r.state = JOURNAL_UNREADABLE;
  if (!r.dirty) dirtyIds_.push_back(id);
  r.dirty = true;
}

std::vector<JournalEntry> WorkJournal::TakeDue(int64_t now) {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<JournalEntry> out;
  for (auto& kv : recs_) {
    Rec& r = kv.second;
    if (r.state != JOURNAL_PARKED || r.nextDue > now) continue;
    JournalEntry e;
    const int d = DecodeRecLocked(kv.first, r, &e);
    if (d == 1) continue;
    if (d == 2) {
      MarkUnreadableLocked(kv.first, r);
      continue;
    }
    r.state = JOURNAL_QUEUED;
    if (!r.dirty) dirtyIds_.push_back(kv.first);
    r.dirty = true;
    e.state = JOURNAL_QUEUED;
    out.push_back(std::move(e));
  }
  FlushLocked(false);
  return out;
}

std::vector<JournalEntry> WorkJournal::LoadAll() {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<JournalEntry> out;
  for (auto& kv : recs_) {
    Rec& r = kv.second;
    if (r.state != JOURNAL_QUEUED) continue;
    JournalEntry e;
    const int d = DecodeRecLocked(kv.first, r, &e);
    if (d == 0) {
      out.push_back(std::move(e));
    } else if (d == 2) {
      MarkUnreadableLocked(kv.first, r);
    } else {
      WriteLogF("WorkJournal entry %llu (%s) cannot be read now, not replayed", U(kv.first), r.label.c_str());
    }
  }
  FlushLocked(false);
  return out;
}

ParkedStats WorkJournal::Parked(int64_t now) const {
  std::lock_guard<std::mutex> lk(mu_);
  ParkedStats s;
  for (const auto& kv : recs_) {
    const Rec& r = kv.second;
    if (r.state != JOURNAL_PARKED) continue;
    ++s.total;
    ++s.perQueue[r.qid + 1];
    s.oldestAgeSec = std::max(s.oldestAgeSec, now - r.accepted);
  }
  return s;
}

void WorkJournal::LogParkedIfDue(int64_t now) {
  const ParkedStats s = Parked(now);
  std::lock_guard<std::mutex> lk(mu_);
  // A parked item is briefly not parked while it has its two attempts; the
  // pace of the line does not start over for that.
  if (s.total == 0) return;
  if (lastParkedLog_ != 0 && now - lastParkedLog_ < kParkedLogEverySec) return;
  lastParkedLog_ = now;
  WriteLogF("WorkJournal parked %d items: TXT2NUV %d FILE2NUV %d TXT2ONDEKO %d FILE2ONDEKO %d COMBINEQUEUE %d, "
            "oldest accepted %lld sec ago",
            s.total, s.perQueue[1 + WQUEUE_QID_TXT2NUV], s.perQueue[1 + WQUEUE_QID_FILE2NUV],
            s.perQueue[1 + WQUEUE_QID_TXT2ONDEKO], s.perQueue[1 + WQUEUE_QID_FILE2ONDEKO], s.perQueue[0],
            L(s.oldestAgeSec));
}

std::vector<std::string> WorkJournal::LocalCopies() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<std::string> out;
  for (const auto& kv : recs_) out.insert(out.end(), kv.second.copies.begin(), kv.second.copies.end());
  return out;
}

bool WorkJournal::RefersToCopy(const std::string& path) const {
  std::lock_guard<std::mutex> lk(mu_);
  for (const auto& kv : recs_)
    for (const std::string& c : kv.second.copies)
      if (c == path) return true;
  return false;
}

size_t WorkJournal::Size() const {
  std::lock_guard<std::mutex> lk(mu_);
  return recs_.size();
}

bool WorkJournal::Durable() const {
  std::lock_guard<std::mutex> lk(mu_);
  return durable_;
}

void WorkJournal::SetMaxPageCount(int pages) {
  std::lock_guard<std::mutex> lk(mu_);
  maxPageCount_ = pages;
  if (db_) Exec(db_, StrFormat("PRAGMA max_page_count=%d", pages > 0 ? pages : 1073741823).c_str());
}

int ListJournal(const std::string& path, int64_t now, std::ostream& out, std::ostream& err) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  struct Closer {
    sqlite3* db;
    ~Closer() { sqlite3_close_v2(db); }
  } closer{db};
  if (rc != SQLITE_OK) {
    err << "cannot open '" << path << "': " << ErrText(db, rc) << "\n";
    return 1;
  }
  sqlite3_busy_timeout(db, 2000);
  int qrc = SQLITE_OK;
  const int64_t appId = QueryInt(db, "PRAGMA application_id", &qrc);
  const int64_t version = qrc == SQLITE_OK ? QueryInt(db, "PRAGMA user_version", &qrc) : 0;
  if (qrc != SQLITE_OK) {
    err << "cannot read '" << path << "': " << ErrText(db, qrc) << "\n";
    return 1;
  }
  if (appId != kApplicationId || version != kSchemaVersion) {
    err << "'" << path << "' is not a work journal of this version (application id " << appId << ", version "
        << version << ")\n";
    return 1;
  }
  Stmt st(db, "SELECT id, type, qid, accepted, state, attempts, next_due, reason, payload FROM entries ORDER BY id");
  if (!st.ok()) {
    err << "cannot read '" << path << "': " << ErrText(db, st.rc()) << "\n";
    return 1;
  }
  std::string lines;
  int count = 0, parked = 0;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    sqlite3_stmt* s = st.get();
    const uint64_t id = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
    const int type = sqlite3_column_int(s, 1);
    const int qid = sqlite3_column_int(s, 2);
    const int64_t accepted = sqlite3_column_int64(s, 3);
    int state = sqlite3_column_int(s, 4);
    const int attempts = sqlite3_column_int(s, 5);
    const int64_t due = sqlite3_column_int64(s, 6);
    const unsigned char* reason = sqlite3_column_text(s, 7);
    WorkItem item;
    std::string what;
    if (DecodeWorkPayload(type, Blob(s, 8), &item) == JournalDecode::kOk) {
      what = DescribeWorkItem(item);
      if (item.msg)
        what += StrFormat(" '%s' to '%s' files %u", WideToUtf8(item.msg->from).c_str(),
                          WideToUtf8(item.msg->to).c_str(), static_cast<unsigned>(item.msg->files.size()));
    } else {
      what = StrFormat("MsgType %d (bytes unreadable)", type);
      state = JOURNAL_UNREADABLE;
    }
    std::string dueText = "-";
    if (state == JOURNAL_PARKED) {
      dueText = StrFormat("in %llds", L(due - now));
      ++parked;
    }
    lines += StrFormat("%llu\t%s\t%s\t%s\tage %llds\tparked %d\tdue %s\t%s", U(id), KindName(type), QueueName(qid),
                       StateName(state), L(now - accepted), attempts, dueText.c_str(), what.c_str());
    if (state == JOURNAL_PARKED && reason && *reason) lines += StrFormat("\tlast failure '%s'", reason);
    lines += "\n";
    ++count;
  }
  if (rc != SQLITE_DONE) {
    err << "cannot read '" << path << "': " << ErrText(db, rc) << "\n";
    return 1;
  }
  out << "journal '" << path << "': " << count << " entries, " << parked << " parked\n";
  out << "id\tkind\tqueue\tstate\tage\tparked\tdue\titem\n" << lines;
  return 0;
}

// ---- Named values beside the entries ----

// The table of named values. A journal written before it existed gains it
// here, empty; its entries are read as they are.
int WorkJournal::CreateMetaTableLocked(std::string* why) {
  const int rc = Exec(db_, "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)");
  if (rc == SQLITE_OK) return kPrepOk;
  *why = "creating the table of named values: " + ErrText(db_, rc);
  return IsBadFileCode(rc) ? kPrepBadFile : kPrepCannotWrite;
}

bool WorkJournal::LoadMetaLocked(std::string* why) {
  Stmt st(db_, "SELECT key, value FROM meta");
  if (!st.ok()) {
    *why = "reading the named values: " + ErrText(db_, st.rc());
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    const unsigned char* k = sqlite3_column_text(st.get(), 0);
    const unsigned char* v = sqlite3_column_text(st.get(), 1);
    if (k && v) meta_[reinterpret_cast<const char*>(k)] = reinterpret_cast<const char*>(v);
  }
  if (rc != SQLITE_DONE) {
    *why = "reading the named values: " + ErrText(db_, rc);
    return false;
  }
  return true;
}

// Inside the commit's transaction.
bool WorkJournal::WriteMetaLocked(std::string* why) {
  if (metaDirty_.empty()) return true;
  Stmt put(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
  if (!put.ok()) {
    *why = "preparing a named value: " + ErrText(db_, put.rc());
    return false;
  }
  for (const std::string& key : metaDirty_) {
    const std::string& value = meta_[key];
    sqlite3_bind_text(put.get(), 1, key.c_str(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_text(put.get(), 2, value.c_str(), static_cast<int>(value.size()), SQLITE_STATIC);
    const int rc = put.Run();
    if (rc != SQLITE_DONE) {
      *why = "writing a named value: " + ErrText(db_, rc);
      return false;
    }
  }
  return true;
}

void WorkJournal::SetMeta(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = meta_.find(key);
  if (it != meta_.end() && it->second == value) return;
  meta_[key] = value;
  if (std::find(metaDirty_.begin(), metaDirty_.end(), key) == metaDirty_.end()) metaDirty_.push_back(key);
}

bool WorkJournal::Meta(const std::string& key, std::string* value) const {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = meta_.find(key);
  if (it == meta_.end()) return false;
  *value = it->second;
  return true;
}

}  // namespace nuv
