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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The file's header (read directly: a torn file cannot be opened for it)
// marks it as a journal of this version.
bool HeaderIsJournal(const std::string& path) {
  unsigned char h[100];
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  const size_t n = std::fread(h, 1, sizeof h, f);
  std::fclose(f);
  if (n != sizeof h || std::memcmp(h, "SQLite format 3", 16) != 0) return false;
  auto be32 = [&](size_t at) {
    return static_cast<int64_t>((uint32_t{h[at]} << 24) | (uint32_t{h[at + 1]} << 16) | (uint32_t{h[at + 2]} << 8) |
                                uint32_t{h[at + 3]});
  };
  return be32(68) == kApplicationId && be32(60) == kSchemaVersion;
}

// Reads the file once front to back so that its pages are in memory before
// the check and the index load visit them in tree order. The pages of a
// journal that grew during a long outage lie scattered over the file; read
// one by one from a cold disk, those of a million entries took 7.8 s here,
// against 1.0 s for this pass. Nothing is kept: the kernel's cache holds them.
void ReadAhead(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<char> buf(1 << 20);
  while (true) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  ::close(fd);
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

// Rec flags.
enum : uint8_t {
  kDirty = 1,      // changes not on disk yet
  kOnDisk = 2,     // a row exists in the file
  kHeld = 4,       // a queue (or the worker handling it) holds the item
  kDead = 8,       // removed; dropped from the index at the next compaction
  kServerDue = 16  // parked until a time the cloud asked for (Retry-After)
};
// The index is compacted once this many dead entries make up half of it.
constexpr size_t kCompactAtDead = 4096;

WorkJournal::WorkJournal() = default;

WorkJournal::~WorkJournal() { Close(); }

bool WorkJournal::Open(const std::string& path, const Options& options) {
  std::lock_guard<std::mutex> lk(mu_);
  FlushLocked(true);
  CloseDbLocked();
  recs_.clear();
  extras_.clear();
  dead_ = 0;
  live_ = 0;
  for (size_t q = 0; q <= WQUEUE_QID_COUNT; ++q) {
    waiting_[q] = parked_[q] = 0;
    earliestDue_[q] = 0;
    parkedSinceRelease_[q] = false;
  }
  firstParkedHint_ = 0;
  reasons_.assign(1, std::string());
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
// A bad file is moved aside once and a fresh one made; when the bad file is
// a journal of this version (damaged pages, a torn end), the rows that can
// still be read are carried over into the fresh one. False: no file could
// be opened and the journal runs in memory only (logged).
bool WorkJournal::OpenFileLocked() {
  std::string aside;
  for (int round = 0; round < 2; ++round) {
    std::string why;
    ownFile_ = HeaderIsJournal(path_);
    if (ownFile_) {
      ReadAhead(path_);
      ReadAhead(path_ + "-wal");
    }
    const int rc = PrepareDbLocked(&why);
    if (rc == kPrepOk) {
      durable_ = true;  // writes during the load (unreadable rows) are judged from here
      if (round == 1 && !aside.empty()) SalvageLocked(aside);
      if (LoadIndexLocked(&why) && LoadMetaLocked(&why)) return true;
      CloseDbLocked();
      recs_.clear();
      extras_.clear();
      dead_ = live_ = 0;
      for (size_t q = 0; q <= WQUEUE_QID_COUNT; ++q) waiting_[q] = parked_[q] = 0;
    } else if (rc == kPrepCannotWrite) {
      CloseDbLocked();
      WritesFailedLocked(why);
      return false;
    }
    // The file is unusable as a journal.
    CloseDbLocked();
    const bool salvage = ownFile_;
    if (round == 1 || !MoveAsideLocked(why, &aside)) break;
    if (!salvage) aside.clear();
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
  // Freed pages are given back to the file system (MaybeCheckpointLocked).
  // Only a file without tables takes the setting; it must come before the
  // switch to WAL, which writes the file's first page.
  if (fresh) Exec(db_, "PRAGMA auto_vacuum=INCREMENTAL");
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
  autoVacuum_ = QueryInt(db_, "PRAGMA auto_vacuum", &qrc) == 2;
  if (fresh) {
    rc = Exec(db_, "BEGIN IMMEDIATE");
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

// Reads every row into the index: its fields, and only for items with
// attachments their bytes (for the local copies they refer to); other
// items' bytes are read when they are loaded into a queue. Rows whose bytes
// do not decode are kept on disk as unreadable (listed for the operator,
// never replayed). False when the table cannot be read (why says how).
bool WorkJournal::LoadIndexLocked(std::string* why) {
  Stmt st(db_,
          "SELECT id, type, qid, accepted, state, attempts, next_due, reason,"
          " CASE WHEN type IN (3, 4) THEN payload END FROM entries ORDER BY id");
  if (!st.ok()) {
    *why = "reading the entries: " + ErrText(db_, st.rc());
    return false;
  }
  std::vector<uint64_t> unreadable;
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    Rec r;
    r.id = static_cast<uint64_t>(sqlite3_column_int64(st.get(), 0));
    r.type = static_cast<int8_t>(sqlite3_column_int(st.get(), 1));
    int qid = sqlite3_column_int(st.get(), 2);
    r.accepted = sqlite3_column_int64(st.get(), 3);
    int state = sqlite3_column_int(st.get(), 4);
    r.attempts = static_cast<int16_t>(std::min(sqlite3_column_int(st.get(), 5), 30000));
    r.nextDue = sqlite3_column_int64(st.get(), 6);
    const unsigned char* reason = sqlite3_column_text(st.get(), 7);
    r.reason = ReasonLocked(reason ? reinterpret_cast<const char*>(reason) : "");
    r.flags = kOnDisk;
    if (state != JOURNAL_QUEUED && state != JOURNAL_PARKED) state = JOURNAL_UNREADABLE;
    if (r.type == WQUEUE_NUV2ONDEKOFILE || r.type == WQUEUE_ONDEKO2NUVFILE) {
      WorkItem item;
      const JournalDecode d = DecodeWorkPayload(r.type, Blob(st.get(), 8), &item);
      if (d == JournalDecode::kOk) {
        std::vector<std::string> copies = CopiesOf(item);
        if (!copies.empty()) extras_[r.id].copies = std::move(copies);
      } else if (state != JOURNAL_UNREADABLE) {
        WriteLogF("WorkJournal::Open entry %llu (%s) cannot be decoded (%s), kept but not replayed", U(r.id),
                  KindName(r.type), JournalDecodeName(d));
        state = JOURNAL_UNREADABLE;
        r.flags |= kDirty;
        unreadable.push_back(r.id);
      }
    }
    if (qid < kJournalCombineQueue || qid >= WQUEUE_QID_COUNT) qid = kJournalCombineQueue;
    r.qid = static_cast<int8_t>(qid);
    r.state = static_cast<uint8_t>(state);
    nextId_ = std::max(nextId_, r.id + 1);
    // Rows come in id order: the vector stays sorted.
    recs_.push_back(r);
    CountLocked(recs_.back(), +1);
    if (state == JOURNAL_PARKED) {
      const size_t q = static_cast<size_t>(qid + 1);
      if (!parkedSinceRelease_[q] || r.nextDue < earliestDue_[q]) earliestDue_[q] = r.nextDue;
      parkedSinceRelease_[q] = true;
    }
  }
  if (rc != SQLITE_DONE) {
    *why = "reading the entries: " + ErrText(db_, rc);
    return false;
  }
  dirtyIds_.insert(dirtyIds_.end(), unreadable.begin(), unreadable.end());
  if (!unreadable.empty()) FlushLocked(true);
  if (live_ > 0) WriteLogF("WorkJournal::Open '%s' holds %u entries", path_.c_str(), static_cast<unsigned>(live_));
  return true;
}

// The position of the live entry id in recs_, or recs_.size().
size_t WorkJournal::FindLocked(uint64_t id) const {
  auto it = std::lower_bound(recs_.begin(), recs_.end(), id, [](const Rec& r, uint64_t v) { return r.id < v; });
  if (it == recs_.end() || it->id != id || (it->flags & kDead)) return recs_.size();
  return static_cast<size_t>(it - recs_.begin());
}

// Adds (sign +1) or takes away (-1) what a live entry contributes to the
// running counts.
void WorkJournal::CountLocked(const Rec& r, int sign) {
  const size_t q = static_cast<size_t>(r.qid + 1);
  auto apply = [sign](size_t& n) { n = sign > 0 ? n + 1 : (n > 0 ? n - 1 : 0); };
  apply(live_);
  if (r.state == JOURNAL_QUEUED && !(r.flags & kHeld)) apply(waiting_[q]);
  if (r.state == JOURNAL_PARKED) apply(parked_[q]);
}

void WorkJournal::SetStateLocked(Rec& r, int state, bool held) {
  CountLocked(r, -1);
  r.state = static_cast<uint8_t>(state);
  if (held)
    r.flags |= kHeld;
  else
    r.flags &= static_cast<uint8_t>(~kHeld);
  CountLocked(r, +1);
}

void WorkJournal::MarkDirtyLocked(Rec& r) {
  if (!(r.flags & kDirty)) dirtyIds_.push_back(r.id);
  r.flags |= kDirty;
}

void WorkJournal::RemoveLocked(Rec& r) {
  CountLocked(r, -1);
  if (r.flags & kOnDisk) deletes_.push_back(r.id);
  r.flags = kDead;
  extras_.erase(r.id);
  ++dead_;
}

// Drops the dead entries once they make up half of the index. Positions
// into recs_ are not valid across this call.
void WorkJournal::MaybeCompactLocked() {
  if (dead_ < kCompactAtDead || dead_ * 2 < recs_.size()) return;
  recs_.erase(std::remove_if(recs_.begin(), recs_.end(), [](const Rec& r) { return (r.flags & kDead) != 0; }),
              recs_.end());
  dead_ = 0;
  firstParkedHint_ = 0;
  recs_.shrink_to_fit();
}

uint16_t WorkJournal::ReasonLocked(const std::string& reason) {
  for (size_t i = 0; i < reasons_.size(); ++i)
    if (reasons_[i] == reason) return static_cast<uint16_t>(i);
  // Reasons are a handful of fixed texts; past the table's size the latest
  // takes the last slot.
  if (reasons_.size() >= 1024) {
    reasons_.back() = reason;
    return static_cast<uint16_t>(reasons_.size() - 1);
  }
  reasons_.push_back(reason);
  return static_cast<uint16_t>(reasons_.size() - 1);
}

// Renames the bad file (and its write-ahead log) to <path>.bad-<UTC time>;
// the shared-memory index is derived data and is removed. False when the
// file stays where it is.
bool WorkJournal::MoveAsideLocked(const std::string& why, std::string* movedTo) {
  movedTo->clear();
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
  *movedTo = aside;
  return true;
}

// Copies the rows of the moved-aside journal at from that can still be
// read into the fresh file, ids and states kept. A damaged page ends a scan
// of the table: the scan starts again past it, with growing steps, so that
// the rows behind it are found.
void WorkJournal::SalvageLocked(const std::string& from) {
  sqlite3* old = nullptr;
  if (sqlite3_open_v2(from.c_str(), &old, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(old);
    return;
  }
  sqlite3_busy_timeout(old, 1000);
  // A torn file is shorter than its header says; this lets the pages it
  // still has be read (nothing is written to it).
  Exec(old, "PRAGMA writable_schema=ON");
  int qrc = SQLITE_OK;
  const int64_t maxId = QueryInt(old, "SELECT max(id) FROM entries", &qrc);
  Stmt get(old,
           "SELECT id, type, qid, accepted, state, attempts, next_due, reason, payload FROM entries"
           " WHERE id >= ? ORDER BY id");
  Stmt put(db_,
           "INSERT OR IGNORE INTO entries(id, type, qid, accepted, state, attempts, next_due, reason, payload)"
           " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  int copied = 0, gaps = 0;
  if (get.ok() && put.ok() && Exec(db_, "BEGIN IMMEDIATE") == SQLITE_OK) {
    int64_t from_id = 0, step = 1;
    // Bounded: each round either reaches the end or jumps further ahead.
    for (int round = 0; round < 200; ++round) {
      sqlite3_reset(get.get());
      sqlite3_bind_int64(get.get(), 1, from_id);
      int rc;
      int64_t last = from_id - 1;
      while ((rc = sqlite3_step(get.get())) == SQLITE_ROW) {
        sqlite3_stmt* g = get.get();
        last = sqlite3_column_int64(g, 0);
        for (int c = 0; c < 9; ++c) {
          if (c == 7) {
            const unsigned char* t = sqlite3_column_text(g, c);
            sqlite3_bind_text(put.get(), c + 1, t ? reinterpret_cast<const char*>(t) : "", -1, SQLITE_TRANSIENT);
          } else if (c == 8) {
            sqlite3_bind_blob(put.get(), c + 1, sqlite3_column_blob(g, c), sqlite3_column_bytes(g, c),
                              SQLITE_TRANSIENT);
          } else {
            sqlite3_bind_int64(put.get(), c + 1, sqlite3_column_int64(g, c));
          }
        }
        if (put.Run() == SQLITE_DONE) ++copied;
        step = 1;
      }
      if (rc == SQLITE_DONE) break;
      // A damaged page: go on past it.
      ++gaps;
      // Ids are far below 2^62 (clock ms times 1000 at most): past that,
      // nothing is left to find.
      if (step >= (int64_t{1} << 50) || last >= (int64_t{1} << 61)) break;
      from_id = last + 1 + step;
      step *= 2;
      if (qrc == SQLITE_OK && maxId > 0 && from_id > maxId) break;
    }
    if (Exec(db_, "COMMIT") != SQLITE_OK) {
      Exec(db_, "ROLLBACK");
      copied = 0;
    }
  }
  sqlite3_reset(get.get());
  WriteLogF("WorkJournal::Open recovered %d entries from '%s'%s", copied, from.c_str(),
            gaps > 0 ? StrFormat(" (%d damaged stretches skipped)", gaps).c_str() : "");
  sqlite3_close_v2(old);  // the statements are finalized after: it waits for them
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
    const size_t i = FindLocked(id);
    if (i < recs_.size() && (recs_[i].flags & kDirty) && !(recs_[i].flags & kOnDisk)) return true;
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
      const size_t i = FindLocked(id);
      if (i == recs_.size() || !(recs_[i].flags & kDirty)) continue;
      const Rec& r = recs_[i];
      const std::string& reason = reasons_[r.reason < reasons_.size() ? r.reason : 0];
      auto x = extras_.find(id);
      if (x != extras_.end() && x->second.payloadHeld) {
        const std::string& payload = x->second.payload;
        sqlite3_stmt* s = put.get();
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(id));
        sqlite3_bind_int(s, 2, r.type);
        sqlite3_bind_int(s, 3, r.qid);
        sqlite3_bind_int64(s, 4, r.accepted);
        sqlite3_bind_int(s, 5, r.state);
        sqlite3_bind_int(s, 6, r.attempts);
        sqlite3_bind_int64(s, 7, r.nextDue);
        sqlite3_bind_text(s, 8, reason.c_str(), static_cast<int>(reason.size()), SQLITE_STATIC);
        sqlite3_bind_blob(s, 9, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
        rc = put.Run();
      } else {
        sqlite3_stmt* s = meta.get();
        sqlite3_bind_int(s, 1, r.qid);
        sqlite3_bind_int(s, 2, r.state);
        sqlite3_bind_int(s, 3, r.attempts);
        sqlite3_bind_int64(s, 4, r.nextDue);
        sqlite3_bind_text(s, 5, reason.c_str(), static_cast<int>(reason.size()), SQLITE_STATIC);
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
    const size_t i = FindLocked(id);
    if (i == recs_.size()) continue;
    Rec& r = recs_[i];
    r.flags = static_cast<uint8_t>((r.flags & ~kDirty) | kOnDisk);
    auto x = extras_.find(id);
    if (x == extras_.end()) continue;
    if (x->second.copies.empty()) {
      extras_.erase(x);
    } else {
      x->second.payloadHeld = false;
      std::string().swap(x->second.payload);
    }
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
  // A drained backlog is given back at once; light traffic at most every
  // pause.
  const bool emptyAndDue = live_ == 0 && (drainCheckpoints_ || nowMs - lastCheckpointMs_ >= kCheckpointPauseMs);
  if (!emptyAndDue && deletesSinceCheckpoint_ < kCheckpointEveryDeletes) return;
  lastCheckpointMs_ = nowMs;
  drainCheckpoints_ = live_ != 0;
  if (live_ == 0 && !autoVacuum_) {
    // A file made before its pages were given back (or whose setting was
    // lost): rebuilt once while empty, which is cheap, and given back from
    // then on.
    if (Exec(db_, "PRAGMA auto_vacuum=INCREMENTAL") == SQLITE_OK && Exec(db_, "VACUUM") == SQLITE_OK) {
      int qrc = SQLITE_OK;
      autoVacuum_ = QueryInt(db_, "PRAGMA auto_vacuum", &qrc) == 2;
    }
  }
  Exec(db_, "PRAGMA incremental_vacuum");
  Exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
  deletesSinceCheckpoint_ = 0;
}

uint64_t WorkJournal::AddLocked(const WorkItem& item, int qid, int64_t now) {
  Rec r;
  r.id = nextId_++;
  r.accepted = now;
  r.state = JOURNAL_QUEUED;
  r.flags = kHeld;
  r.qid = static_cast<int8_t>(qid);
  recs_.push_back(r);
  CountLocked(recs_.back(), +1);
  SetItemLocked(recs_.back(), item, qid);
  return r.id;
}

void WorkJournal::SetItemLocked(Rec& r, const WorkItem& item, int qid) {
  CountLocked(r, -1);
  r.type = static_cast<int8_t>(item.type);
  r.qid = static_cast<int8_t>(qid);
  CountLocked(r, +1);
  Extra& x = extras_[r.id];
  x.copies = CopiesOf(item);
  x.payload = EncodeWorkPayload(item);
  x.payloadHeld = true;
  MarkDirtyLocked(r);
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
  const size_t i = FindLocked(id);
  if (i == recs_.size()) return;
  SetItemLocked(recs_[i], item, qid);
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
    const size_t i = FindLocked(id);
    if (i == recs_.size()) continue;
    if (!found || recs_[i].accepted < accepted) accepted = recs_[i].accepted;
    found = true;
    RemoveLocked(recs_[i]);
  }
  const size_t k = FindLocked(keep);
  if (k == recs_.size()) {
    // The kept copy was never recorded: record the result anew, as old as
    // the oldest copy it absorbed.
    keep = AddLocked(combined, qid, accepted);
  } else {
    SetItemLocked(recs_[k], combined, qid);
  }
  if (sync) FlushLocked(false);
  MaybeCompactLocked();
  return keep;
}

void WorkJournal::Remove(uint64_t id, bool sync) {
  std::lock_guard<std::mutex> lk(mu_);
  const size_t i = FindLocked(id);
  if (i == recs_.size()) return;
  RemoveLocked(recs_[i]);
  if (sync) FlushLocked(false);
  MaybeCompactLocked();
}

bool WorkJournal::Flush() {
  std::lock_guard<std::mutex> lk(mu_);
  const bool done = FlushLocked(false);
  MaybeCompactLocked();
  return done;
}

ParkResult WorkJournal::Park(uint64_t id, const WorkItem& item, int qid, const std::string& reason, int64_t now,
                             int64_t notBefore) {
  ParkResult res;
  if (!IsJournalType(item.type)) {
    res.action = ParkResult::kDropped;  // nothing a queue could handle
    return res;
  }
  std::lock_guard<std::mutex> lk(mu_);
  size_t i = id ? FindLocked(id) : recs_.size();
  if (i == recs_.size()) {
    Rec fresh;
    fresh.id = id = nextId_++;
    fresh.accepted = now;
    fresh.qid = static_cast<int8_t>(qid);
    fresh.flags = kHeld;
    recs_.push_back(fresh);
    CountLocked(recs_.back(), +1);
    i = recs_.size() - 1;
  }
  res.id = id;
  Rec& r = recs_[i];
  const std::string label = DescribeWorkItem(item);
  const int64_t age = now - r.accepted;
  if (age >= kParkLimitSec) {
    WriteLogF("WorkJournal::Park %s accepted %lld sec ago, not delivered within 24 hours, dropped (last failure: %s)",
              label.c_str(), L(age), reason.c_str());
    RemoveLocked(r);
    FlushLocked(false);
    MaybeCompactLocked();
    res.action = ParkResult::kDropped;
    return res;
  }
  SetItemLocked(r, item, qid);
  SetStateLocked(r, JOURNAL_PARKED, false);
  if (r.attempts < 30000) ++r.attempts;
  const int64_t backOff = now + BackOffSec(r.attempts);
  r.nextDue = std::max(backOff, notBefore);
  if (notBefore > backOff)
    r.flags |= kServerDue;
  else
    r.flags &= static_cast<uint8_t>(~kServerDue);
  r.reason = ReasonLocked(reason);
  const size_t q = static_cast<size_t>(qid + 1);
  if (parked_[q] == 1 || r.nextDue < earliestDue_[q]) earliestDue_[q] = r.nextDue;
  parkedSinceRelease_[q] = true;
  firstParkedHint_ = std::min(firstParkedHint_, i);
  res.action = ParkResult::kRequeueLater;
  res.due = r.nextDue;
  WriteLogF("WorkJournal::Park %s parked (round %d, %s), back in %s in %lld sec", label.c_str(), r.attempts,
            reason.c_str(), QueueName(qid), L(r.nextDue - now));
  FlushLocked(false);
  MaybeCompactLocked();
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
int WorkJournal::DecodeRecLocked(const Rec& r, JournalEntry* out) {
  std::string fromDisk;
  auto x = extras_.find(r.id);
  const bool held = x != extras_.end() && x->second.payloadHeld;
  if (!held && !ReadPayloadLocked(r.id, &fromDisk)) return 1;
  const std::string& bytes = held ? x->second.payload : fromDisk;
  WorkItem item;
  const JournalDecode d = DecodeWorkPayload(r.type, bytes, &item);
  if (d != JournalDecode::kOk) {
    WriteLogF("WorkJournal entry %llu (%s) cannot be decoded (%s), kept but not replayed", U(r.id), KindName(r.type),
              JournalDecodeName(d));
    return 2;
  }
  out->id = r.id;
  out->qid = r.qid;
  out->accepted = r.accepted;
  out->state = r.state;
  out->attempts = r.attempts;
  out->nextDue = r.nextDue;
  out->reason = reasons_[r.reason < reasons_.size() ? r.reason : 0];
  item.enqueueTime = static_cast<int32_t>(r.accepted);
  item.retryCount = 0;
  out->item = std::move(item);
  return 0;
}

void WorkJournal::MarkUnreadableLocked(Rec& r) {
  SetStateLocked(r, JOURNAL_UNREADABLE, false);
  MarkDirtyLocked(r);
}

std::vector<JournalEntry> WorkJournal::TakeDue(int64_t now) {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<JournalEntry> out;
  for (Rec& r : recs_) {
    if ((r.flags & kDead) || r.state != JOURNAL_PARKED || r.nextDue > now) continue;
    JournalEntry e;
    const int d = DecodeRecLocked(r, &e);
    if (d == 1) continue;
    if (d == 2) {
      MarkUnreadableLocked(r);
      continue;
    }
    SetStateLocked(r, JOURNAL_QUEUED, true);
    MarkDirtyLocked(r);
    e.state = JOURNAL_QUEUED;
    out.push_back(std::move(e));
  }
  FlushLocked(false);
  return out;
}

std::vector<JournalEntry> WorkJournal::LoadAll() {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<JournalEntry> out;
  for (Rec& r : recs_) {
    if ((r.flags & kDead) || r.state != JOURNAL_QUEUED) continue;
    JournalEntry e;
    const int d = DecodeRecLocked(r, &e);
    if (d == 0) {
      SetStateLocked(r, JOURNAL_QUEUED, true);
      out.push_back(std::move(e));
    } else if (d == 2) {
      MarkUnreadableLocked(r);
    } else {
      WriteLogF("WorkJournal entry %llu (%s) cannot be read now, not replayed", U(r.id), KindName(r.type));
    }
  }
  FlushLocked(false);
  return out;
}

bool WorkJournal::Unload(uint64_t id) {
  std::lock_guard<std::mutex> lk(mu_);
  const size_t i = FindLocked(id);
  if (i == recs_.size() || recs_[i].state != JOURNAL_QUEUED || !(recs_[i].flags & kHeld)) return false;
  SetStateLocked(recs_[i], JOURNAL_QUEUED, false);
  return true;
}

bool WorkJournal::SpillIfBehind(uint64_t id, int qid, size_t inMemory, size_t window) {
  std::lock_guard<std::mutex> lk(mu_);
  if (qid < kJournalCombineQueue || qid >= WQUEUE_QID_COUNT) return false;
  if (inMemory < window && waiting_[qid + 1] == 0) return false;
  const size_t i = FindLocked(id);
  if (i == recs_.size() || recs_[i].state != JOURNAL_QUEUED || !(recs_[i].flags & kHeld)) return false;
  SetStateLocked(recs_[i], JOURNAL_QUEUED, false);
  return true;
}

std::vector<JournalEntry> WorkJournal::TakeWaiting(int qid, size_t max, int64_t now) {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<JournalEntry> out;
  if (qid < kJournalCombineQueue || qid >= WQUEUE_QID_COUNT || max == 0) return out;
  const size_t q = static_cast<size_t>(qid + 1);
  const bool parkedDue = parked_[q] > 0 && earliestDue_[q] <= now;
  if (waiting_[q] == 0 && !parkedDue) return out;
  // The parked entries left behind, for the next lower bound of due times.
  int64_t earliestLeft = INT64_MAX;
  size_t i = 0;
  for (; i < recs_.size() && out.size() < max; ++i) {
    Rec& r = recs_[i];
    if ((r.flags & kDead) || r.qid != qid) continue;
    const bool waits = r.state == JOURNAL_QUEUED && !(r.flags & kHeld);
    const bool due = r.state == JOURNAL_PARKED && r.nextDue <= now;
    if (!waits && !due) {
      if (r.state == JOURNAL_PARKED) earliestLeft = std::min<int64_t>(earliestLeft, r.nextDue);
      continue;
    }
    JournalEntry e;
    const int d = DecodeRecLocked(r, &e);
    if (d == 1) {
      if (r.state == JOURNAL_PARKED) earliestLeft = std::min<int64_t>(earliestLeft, r.nextDue);
      continue;
    }
    if (d == 2) {
      MarkUnreadableLocked(r);
      continue;
    }
    if (due) MarkDirtyLocked(r);
    SetStateLocked(r, JOURNAL_QUEUED, true);
    e.state = JOURNAL_QUEUED;
    out.push_back(std::move(e));
  }
  // Scanned to the end: the bound is exact now.
  if (i == recs_.size()) earliestDue_[q] = earliestLeft;
  FlushLocked(false);
  return out;
}

bool WorkJournal::HasWaiting(int qid, int64_t now) const {
  std::lock_guard<std::mutex> lk(mu_);
  if (qid < kJournalCombineQueue || qid >= WQUEUE_QID_COUNT) return false;
  const size_t q = static_cast<size_t>(qid + 1);
  return waiting_[q] > 0 || (parked_[q] > 0 && earliestDue_[q] <= now);
}

size_t WorkJournal::WaitingOnDisk(int qid) const {
  std::lock_guard<std::mutex> lk(mu_);
  if (qid < kJournalCombineQueue || qid >= WQUEUE_QID_COUNT) return 0;
  return waiting_[qid + 1];
}

size_t WorkJournal::ReleaseParked(const int* qids, int64_t now) {
  std::lock_guard<std::mutex> lk(mu_);
  bool look[WQUEUE_QID_COUNT + 1] = {};
  bool any = false;
  for (const int* p = qids; *p >= 0; ++p) {
    if (*p >= WQUEUE_QID_COUNT) continue;
    const size_t q = static_cast<size_t>(*p + 1);
    if (!parkedSinceRelease_[q]) continue;
    parkedSinceRelease_[q] = false;
    if (parked_[q] == 0) continue;
    look[q] = true;
    any = true;
  }
  if (!any) return 0;
  // Kept in memory only: after a restart the file's due times hold, and the
  // next worker's first success releases them again.
  size_t released = 0;
  for (size_t i = firstParkedHint_; i < recs_.size(); ++i) {
    Rec& r = recs_[i];
    if ((r.flags & kDead) || r.state != JOURNAL_PARKED || !look[r.qid + 1]) continue;
    if ((r.flags & kServerDue) && r.nextDue > now) continue;
    if (r.nextDue > now) {
      r.nextDue = now;
      ++released;
    }
  }
  for (size_t q = 0; q <= WQUEUE_QID_COUNT; ++q)
    if (look[q]) earliestDue_[q] = std::min(earliestDue_[q], now);
  return released;
}

ParkedStats WorkJournal::Parked(int64_t now) const {
  std::lock_guard<std::mutex> lk(mu_);
  ParkedStats s;
  for (size_t q = 0; q <= WQUEUE_QID_COUNT; ++q) {
    s.perQueue[q] = static_cast<int>(parked_[q]);
    s.total += static_cast<int>(parked_[q]);
  }
  if (s.total == 0) return s;
  // The oldest parked entry is the first one in accepted order.
  for (size_t i = firstParkedHint_; i < recs_.size(); ++i) {
    const Rec& r = recs_[i];
    if ((r.flags & kDead) || r.state != JOURNAL_PARKED) continue;
    firstParkedHint_ = i;
    s.oldestAgeSec = std::max<int64_t>(0, now - r.accepted);
    break;
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
  for (const auto& kv : extras_) out.insert(out.end(), kv.second.copies.begin(), kv.second.copies.end());
  return out;
}

bool WorkJournal::RefersToCopy(const std::string& path) const {
  std::lock_guard<std::mutex> lk(mu_);
  for (const auto& kv : extras_)
    for (const std::string& c : kv.second.copies)
      if (c == path) return true;
  return false;
}

size_t WorkJournal::Size() const {
  std::lock_guard<std::mutex> lk(mu_);
  return live_;
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
