// Tests of the work journal: the byte form, the write-replay-remove cycle on
// a real SQLite file, combining, parking on the virtual clock, bad files,
// failed writes and the operator's listing.

#include "processor/journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/paths.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "processor/journal_codec.h"

namespace nuv {
namespace {

using test::FileExists;
using test::ReadWholeFile;
using test::WriteWholeFile;

std::unique_ptr<CQueueMsg> ImMsg(uint64_t msgid, const std::wstring& to, int files = 0) {
  auto m = std::make_unique<CQueueMsg>();
  m->msgid = msgid;
  m->from = L"alice";
  m->to = to;
  m->key = L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}";
  m->content = L"你好 journal";
  m->createTime = 1765274400;
  m->combineTick = 0xFFFFFFF0u;
  for (int i = 0; i < files; ++i) {
    CQueueFile f;
    f.kind = i % 2;
    f.size = 1000 + i;
    f.status = FILE_STATUS_OK;
    f.failCount = 1;
    f.fid = L"fid" + std::to_wstring(i);
    f.fkey = L"fkey";
    f.localPath = L"/tmp/TmpFiles/fid" + std::to_wstring(i) + L".dat";
    f.datName = L"fid" + std::to_wstring(i) + L".dat";
    f.fileName = L"报告.pdf";
    f.mediaId = L"media-" + std::to_wstring(i);
    m->files.push_back(f);
  }
  return m;
}

WorkItem MsgItem(int type, uint64_t msgid, const std::wstring& to = L"bob", int files = 0) {
  return MakeMsgItem(type, ImMsg(msgid, to, files), 1765274400);
}

uint64_t FileSize(const std::string& path) {
  struct stat sb;
  return ::stat(path.c_str(), &sb) == 0 ? static_cast<uint64_t>(sb.st_size) : 0;
}

void ExpectSameMsg(const CQueueMsg& a, const CQueueMsg& b) {
  EXPECT_EQ(a.mt, b.mt);
  EXPECT_EQ(a.msgid, b.msgid);
  EXPECT_EQ(a.from, b.from);
  EXPECT_EQ(a.to, b.to);
  EXPECT_EQ(a.key, b.key);
  EXPECT_EQ(a.content, b.content);
  EXPECT_EQ(a.createTime, b.createTime);
  EXPECT_EQ(a.combineTick, b.combineTick);
  ASSERT_EQ(a.files.size(), b.files.size());
  for (size_t i = 0; i < a.files.size(); ++i) {
    const CQueueFile &x = a.files[i], &y = b.files[i];
    EXPECT_EQ(x.kind, y.kind);
    EXPECT_EQ(x.size, y.size);
    EXPECT_EQ(x.status, y.status);
    EXPECT_EQ(x.failCount, y.failCount);
    EXPECT_EQ(x.fid, y.fid);
    EXPECT_EQ(x.fkey, y.fkey);
    EXPECT_EQ(x.localPath, y.localPath);
    EXPECT_EQ(x.datName, y.datName);
    EXPECT_EQ(x.fileName, y.fileName);
    EXPECT_EQ(x.mediaId, y.mediaId);
  }
}

TEST(JournalCodecTest, RoundTripsEveryPayloadAndRefusesDamagedBytes) {
  WorkItem msg = MsgItem(WQUEUE_NUV2ONDEKOFILE, 42, L"bob;carol", 3);
  msg.msg->mt = 1;
  const std::string bytes = EncodeWorkPayload(msg);
  WorkItem back;
  ASSERT_EQ(DecodeWorkPayload(WQUEUE_NUV2ONDEKOFILE, bytes, &back), JournalDecode::kOk);
  ASSERT_TRUE(back.msg);
  EXPECT_EQ(back.type, WQUEUE_NUV2ONDEKOFILE);
  ExpectSameMsg(*msg.msg, *back.msg);

  WorkItem token = MakeTokenItem(0xFEDCBA9876543210ULL, 5);
  WorkItem t2;
  ASSERT_EQ(DecodeWorkPayload(WQUEUE_ONDEKOBINDTOKEN, EncodeWorkPayload(token), &t2), JournalDecode::kOk);
  EXPECT_EQ(t2.token, token.token);
  WorkItem range = MakeFetchItem(101, 104, 5);
  WorkItem r2;
  ASSERT_EQ(DecodeWorkPayload(WQUEUE_FETCHONDEKOMSG, EncodeWorkPayload(range), &r2), JournalDecode::kOk);
  EXPECT_EQ(r2.range.first, 101u);
  EXPECT_EQ(r2.range.last, 104u);

  // Every cut of a valid record is refused, as is one byte too many.
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    WorkItem w;
    EXPECT_NE(DecodeWorkPayload(WQUEUE_NUV2ONDEKOFILE, bytes.substr(0, cut), &w), JournalDecode::kOk) << cut;
  }
  WorkItem w;
  EXPECT_EQ(DecodeWorkPayload(WQUEUE_NUV2ONDEKOFILE, bytes + "x", &w), JournalDecode::kTrailing);
  EXPECT_EQ(DecodeWorkPayload(7, bytes, &w), JournalDecode::kBadType);
  std::string badVersion = bytes;
  badVersion[0] = 9;
  EXPECT_EQ(DecodeWorkPayload(WQUEUE_NUV2ONDEKOFILE, badVersion, &w), JournalDecode::kBadVersion);
  // A text length far beyond the data: refused before anything is allocated.
  std::string huge = bytes;
  const size_t fromLen = 1 + 4 + 8;
  huge[fromLen] = huge[fromLen + 1] = huge[fromLen + 2] = huge[fromLen + 3] = '\xff';
  EXPECT_EQ(DecodeWorkPayload(WQUEUE_NUV2ONDEKOFILE, huge, &w), JournalDecode::kBadCount);
}

TEST(JournalCodecTest, ReadsWhatEarlierBuildsWroteAndKeepsServedReceivers) {
  // A broadcast as an earlier build wrote it (no served receivers).
  const std::string earlier(
      "\x01\x01\x00\x00\x00\x92\x10\x00\x00\x00\x00\x00\x00\x02\x00\x00"
      "\x00\x1a\x90\x00\x00\xe5\x77\x00\x00\x05\x00\x00\x00\x61\x00\x00"
      "\x00\x3b\x00\x00\x00\x62\x00\x00\x00\x3b\x00\x00\x00\x63\x00\x00"
      "\x00\x0e\x00\x00\x00\x7b\x00\x00\x00\x42\x00\x00\x00\x52\x00\x00"
      "\x00\x4f\x00\x00\x00\x41\x00\x00\x00\x44\x00\x00\x00\x43\x00\x00"
      "\x00\x41\x00\x00\x00\x53\x00\x00\x00\x54\x00\x00\x00\x4d\x00\x00"
      "\x00\x53\x00\x00\x00\x47\x00\x00\x00\x7d\x00\x00\x00\x02\x00\x00"
      "\x00\x68\x00\x00\x00\x69\x00\x00\x00\x20\xf3\x37\x69\x07\x00\x00"
      "\x00\x00\x00\x00\x00",
      133);
  WorkItem old;
  ASSERT_EQ(DecodeWorkPayload(WQUEUE_ONDEKO2NUVMSG, earlier, &old), JournalDecode::kOk);
  ASSERT_TRUE(old.msg);
  EXPECT_EQ(old.msg->msgid, 4242u);
  EXPECT_EQ(old.msg->from, L"通知");
  EXPECT_EQ(old.msg->to, L"a;b;c");
  EXPECT_EQ(old.msg->content, L"hi");
  EXPECT_TRUE(old.msg->served.empty());
  // Written back unchanged while nobody was served: earlier builds read it.
  EXPECT_EQ(EncodeWorkPayload(old), earlier);

  old.msg->served = {L"a", L"", L"张三"};
  const std::string bytes = EncodeWorkPayload(old);
  WorkItem back;
  ASSERT_EQ(DecodeWorkPayload(WQUEUE_ONDEKO2NUVMSG, bytes, &back), JournalDecode::kOk);
  ExpectSameMsg(*old.msg, *back.msg);
  EXPECT_EQ(back.msg->served, old.msg->served);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    WorkItem w;
    EXPECT_NE(DecodeWorkPayload(WQUEUE_ONDEKO2NUVMSG, bytes.substr(0, cut), &w), JournalDecode::kOk) << cut;
  }
  // The new version without served receivers is never written: refused.
  WorkItem w;
  EXPECT_EQ(DecodeWorkPayload(WQUEUE_ONDEKO2NUVMSG, "\x02" + earlier.substr(1) + std::string(4, '\0'), &w),
            JournalDecode::kBadCount);
}

// Counts the device flushes SQLite asks for on write-ahead logs. While one
// lives it is the default file system: a wrapper of the real one that hands
// every call on. One at a time, on the test thread.
class WalSyncCounter {
 public:
  WalSyncCounter() {
    base_ = sqlite3_vfs_find(nullptr);
    vfs_ = *base_;
    vfs_.zName = "wal-sync-counter";
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
    vfs_.xOpen = &Open;
    syncs_ = 0;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~WalSyncCounter() {
    sqlite3_vfs_register(base_, 1);
    sqlite3_vfs_unregister(&vfs_);
  }
  int Syncs() const { return syncs_.load(); }
  // The flushes asked for while change ran.
  template <typename F>
  int During(const F& change) {
    const int before = Syncs();
    change();
    return Syncs() - before;
  }

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    bool wal;
  };
  static sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

  static int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    File* f = reinterpret_cast<File*>(file);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->wal = (flags & SQLITE_OPEN_WAL) != 0;
    f->base.pMethods = nullptr;
    const int rc = base_->xOpen(base_, name, f->real, flags, outFlags);
    if (rc == SQLITE_OK && f->real->pMethods) f->base.pMethods = &kMethods;
    return rc;
  }

  static const sqlite3_io_methods kMethods;
  static sqlite3_vfs* base_;
  static std::atomic<int> syncs_;
  sqlite3_vfs vfs_;
};

sqlite3_vfs* WalSyncCounter::base_ = nullptr;
std::atomic<int> WalSyncCounter::syncs_{0};
const sqlite3_io_methods WalSyncCounter::kMethods = {
    3,
    [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); },
    [](sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), b, n, o); },
    [](sqlite3_file* f, const void* b, int n, sqlite3_int64 o) { return Real(f)->pMethods->xWrite(Real(f), b, n, o); },
    [](sqlite3_file* f, sqlite3_int64 n) { return Real(f)->pMethods->xTruncate(Real(f), n); },
    [](sqlite3_file* f, int flags) {
      if (reinterpret_cast<File*>(f)->wal) ++syncs_;
      return Real(f)->pMethods->xSync(Real(f), flags);
    },
    [](sqlite3_file* f, sqlite3_int64* n) { return Real(f)->pMethods->xFileSize(Real(f), n); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); },
    [](sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); },
    [](sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    [](sqlite3_file* f, int pg, int sz, int ext, void volatile** p) {
      return Real(f)->pMethods->xShmMap(Real(f), pg, sz, ext, p);
    },
    [](sqlite3_file* f, int o, int n, int fl) { return Real(f)->pMethods->xShmLock(Real(f), o, n, fl); },
    [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); },
    [](sqlite3_file* f, int del) { return Real(f)->pMethods->xShmUnmap(Real(f), del); },
    [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); },
    [](sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); },
};

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClockForTest(&clock_);
    path_ = root_.config() + kJournalFileName;
    MakeDirs(root_.config());
  }
  void TearDown() override { SetClockForTest(nullptr); }

  int64_t Now() { return clock_.Now(); }
  std::vector<uint64_t> Ids(const std::vector<JournalEntry>& v) {
    std::vector<uint64_t> ids;
    for (const auto& e : v) ids.push_back(e.id);
    return ids;
  }
  std::vector<std::string> AsideFiles() {
    std::vector<std::string> out;
    const std::string dir = root_.config();
    for (const std::string& l : ListDir(dir))
      if (l.find(".bad-") != std::string::npos && l.find("-wal") == std::string::npos) out.push_back(dir + l);
    return out;
  }
  static std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> out;
    std::string cmd = "ls -1 '" + dir + "'";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) {
      std::string s(buf);
      if (!s.empty() && s.back() == '\n') s.pop_back();
      out.push_back(s);
    }
    if (p) pclose(p);
    return out;
  }

  VirtualClock clock_;
  test::TempInstallRoot root_;
  std::string path_;
};

TEST_F(JournalTest, WriteReplayRemoveCycleKeepsAcceptedOrderAcrossRestarts) {
  uint64_t a, b, c, d;
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    a = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 1), kJournalCombineQueue, Now());
    b = j.Add(MsgItem(WQUEUE_ONDEKO2NUVFILE, 900, L"dave", 2), WQUEUE_QID_FILE2NUV, Now() + 1);
    c = j.Add(MakeFetchItem(101, 104, 0), WQUEUE_QID_TXT2ONDEKO, Now() + 2);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    // Nothing is closed cleanly: the next object reads what is on disk.
  }
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    std::vector<JournalEntry> all = j.LoadAll();
    ASSERT_EQ(Ids(all), (std::vector<uint64_t>{a, b, c}));
    EXPECT_EQ(all[0].qid, kJournalCombineQueue);
    EXPECT_EQ(all[0].item.type, WQUEUE_NUV2ONDEKOMSG);
    EXPECT_EQ(all[0].item.enqueueTime, static_cast<int32_t>(Now()));
    ExpectSameMsg(*all[0].item.msg, *ImMsg(1, L"bob"));
    EXPECT_EQ(all[1].qid, WQUEUE_QID_FILE2NUV);
    ExpectSameMsg(*all[1].item.msg, *ImMsg(900, L"dave", 2));
    EXPECT_EQ(all[2].item.type, WQUEUE_FETCHONDEKOMSG);
    EXPECT_EQ(all[2].item.range.first, 101u);
    EXPECT_EQ(all[2].accepted, Now() + 2);

    j.Remove(b);
    d = j.Add(MakeTokenItem(77, 0), WQUEUE_QID_TXT2ONDEKO, Now());
    EXPECT_GT(d, c);  // new work is accepted after everything replayed
  }
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    std::vector<JournalEntry> all = j.LoadAll();
    ASSERT_EQ(Ids(all), (std::vector<uint64_t>{a, c, d}));
    EXPECT_EQ(all[2].item.token, 77u);
    for (const auto& e : all) j.Remove(e.id);
    EXPECT_EQ(j.Size(), 0u);
    // Emptied: the write-ahead log is folded in and truncated at once.
    EXPECT_EQ(FileSize(path_ + "-wal"), 0u);

    // Steady traffic does not make the files grow: done entries leave no trace.
    const uint64_t before = FileSize(path_);
    for (int i = 0; i < 300; ++i) {
      const uint64_t id = j.Add(MsgItem(WQUEUE_NUV2ONDEKOFILE, static_cast<uint64_t>(i), L"bob", 5),
                                WQUEUE_QID_FILE2ONDEKO, Now());
      j.Remove(id);
    }
    EXPECT_LE(FileSize(path_), before + 8192);
    clock_.Advance(30000);  // the next emptying checkpoints again
    j.Remove(j.Add(MakeTokenItem(1, 0), WQUEUE_QID_TXT2ONDEKO, Now()));
    EXPECT_EQ(FileSize(path_ + "-wal"), 0u);
    // Emptied again within the pause: the log stays until a later flush
    // finds the pause over, even with nothing new to write.
    j.Remove(j.Add(MakeTokenItem(2, 0), WQUEUE_QID_TXT2ONDEKO, Now()));
    EXPECT_GT(FileSize(path_ + "-wal"), 0u);
    clock_.Advance(29000);
    j.Flush();
    EXPECT_GT(FileSize(path_ + "-wal"), 0u);
    clock_.Advance(1000);
    j.Flush();
    EXPECT_EQ(FileSize(path_ + "-wal"), 0u);
  }
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  EXPECT_TRUE(j.LoadAll().empty());
}

TEST_F(JournalTest, SyncedEntriesSurviveTheProcessBeingKilled) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    WorkJournal j;
    j.Open(path_);
    const uint64_t a = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 1), kJournalCombineQueue, Now());
    j.Add(MsgItem(WQUEUE_ONDEKO2NUVMSG, 2), WQUEUE_QID_TXT2NUV, Now());
    j.Add(MakeFetchItem(5, 9, 0), WQUEUE_QID_TXT2ONDEKO, Now());
    j.Remove(a);
    j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 3), kJournalCombineQueue, Now(), /*sync=*/false);  // never flushed
    kill(getpid(), SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_TRUE(FileExists(path_ + "-wal"));  // left behind as by a crash
  std::ostringstream out, err;
  ASSERT_EQ(ListJournal(path_, Now(), out, err), 0) << err.str();
  EXPECT_NE(out.str().find("2 entries, 0 parked"), std::string::npos) << out.str();

  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  std::vector<JournalEntry> all = j.LoadAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].item.msg->msgid, 2u);
  EXPECT_EQ(all[1].item.range.last, 9u);
  EXPECT_TRUE(AsideFiles().empty());
}

TEST_F(JournalTest, BatchedChangesReachDiskOnFlushAndConcurrentAddsAllLand) {
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&j, t, this] {
      for (int i = 0; i < 100; ++i)
        j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, static_cast<uint64_t>(t * 1000 + i)), kJournalCombineQueue, Now(),
              i % 10 == 9);
    });
  }
  for (auto& th : threads) th.join();
  const uint64_t last = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 5), kJournalCombineQueue, Now(), false);
  ASSERT_TRUE(j.Flush());
  WorkJournal other;  // a second reader sees the flushed state
  ASSERT_TRUE(other.Open(path_));
  std::vector<JournalEntry> all = other.LoadAll();
  ASSERT_EQ(all.size(), 401u);
  EXPECT_EQ(all.back().id, last);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].id, all[i].id);
}

// Newly accepted work is on the device when the call returns; removals and
// state changes go with the next commit that flushes (a power cut may lose
// them: an item comes back once more, none is lost).
TEST_F(JournalTest, OnlyNewlyAcceptedWorkWaitsForTheDevice) {
  WalSyncCounter counter;
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  // Kept throughout: an emptied journal is folded back, which flushes.
  j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 100), kJournalCombineQueue, Now());
  uint64_t a = 0;
  EXPECT_GE(counter.During([&] { a = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 1), kJournalCombineQueue, Now()); }), 1);
  WorkItem routed = MsgItem(WQUEUE_NUV2ONDEKOMSG, 1);
  EXPECT_EQ(counter.During([&] { j.Update(a, routed, WQUEUE_QID_TXT2ONDEKO); }), 0);
  EXPECT_EQ(counter.During([&] { j.Park(a, routed, WQUEUE_QID_TXT2ONDEKO, "cloud not reachable", Now()); }), 0);
  EXPECT_EQ(counter.During([&] { j.Remove(a); }), 0);
  // Batched new work makes the commit that carries it flush, whatever else
  // is in it.
  const uint64_t c = j.Add(MsgItem(WQUEUE_ONDEKO2NUVMSG, 3), WQUEUE_QID_TXT2NUV, Now(), false);
  EXPECT_GE(counter.During([&] { j.Update(c, MsgItem(WQUEUE_ONDEKO2NUVMSG, 3), WQUEUE_QID_TXT2NUV); }), 1);
  {
    WorkJournal again;  // what the commits left, as the next worker reads it
    ASSERT_TRUE(again.Open(path_));
    std::vector<JournalEntry> all = again.LoadAll();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].id, c);
  }

  // Without device flushes nothing waits for the device.
  j.Close();
  WorkJournal::Options noSync;
  noSync.syncToDevice = false;
  WorkJournal k;
  ASSERT_TRUE(k.Open(path_, noSync));
  k.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 4), kJournalCombineQueue, Now());  // starts a new log: its header is flushed
  EXPECT_EQ(counter.During([&] { k.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 5), kJournalCombineQueue, Now()); }), 0);
}

TEST_F(JournalTest, CombinedResultReplacesItsCopies) {
  uint64_t a, b, c, other;
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    a = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 10, L"a"), kJournalCombineQueue, Now());
    other = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 11, L"z"), kJournalCombineQueue, Now());
    b = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 12, L"b"), kJournalCombineQueue, Now() + 1);
    c = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 13, L"c"), kJournalCombineQueue, Now() + 1);
    j.Replace(a, {b, c}, MsgItem(WQUEUE_NUV2ONDEKOMSG, 10, L"a;b;c"), WQUEUE_QID_TXT2ONDEKO);
  }
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  std::vector<JournalEntry> all = j.LoadAll();
  ASSERT_EQ(Ids(all), (std::vector<uint64_t>{a, other}));
  EXPECT_EQ(all[0].qid, WQUEUE_QID_TXT2ONDEKO);
  EXPECT_EQ(all[0].item.msg->to, L"a;b;c");
  EXPECT_EQ(all[1].qid, kJournalCombineQueue);
  EXPECT_EQ(all[1].item.msg->to, L"z");
}

TEST_F(JournalTest, ParkedItemsComeBackWithGrowingBackOffAndSurviveRestart) {
  const int64_t t0 = Now();
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  WorkItem item = MsgItem(WQUEUE_NUV2ONDEKOFILE, 7, L"bob", 1);
  const uint64_t id = j.Add(item, WQUEUE_QID_FILE2ONDEKO, t0);
  const uint64_t plain = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 8), WQUEUE_QID_TXT2ONDEKO, t0);

  // The handler filled in a media id before the cloud went away: the parked
  // copy keeps it, so the file is not uploaded again.
  item.msg->files[0].mediaId = L"m-after-upload";
  int64_t now = t0;
  const int64_t expected[] = {60, 120, 240, 480, 900, 900, 900};
  for (int round = 0; round < 7; ++round) {
    ParkResult r = j.Park(id, item, WQUEUE_QID_FILE2ONDEKO, "iRet = -2 errcode 7", now);
    ASSERT_EQ(r.action, ParkResult::kRequeueLater);
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.due - now, expected[round]) << round;
    EXPECT_TRUE(j.TakeDue(r.due - 1).empty());
    if (round == 3) {
      // A restart while parked: still parked, not replayed at once.
      j.Close();
      ASSERT_TRUE(j.Open(path_));
      EXPECT_EQ(Ids(j.LoadAll()), std::vector<uint64_t>{plain});
      EXPECT_EQ(j.Parked(now).total, 1);
    }
    std::vector<JournalEntry> due = j.TakeDue(r.due);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].id, id);
    EXPECT_EQ(due[0].qid, WQUEUE_QID_FILE2ONDEKO);
    EXPECT_EQ(due[0].attempts, round + 1);
    EXPECT_EQ(due[0].item.msg->files[0].mediaId, L"m-after-upload");
    EXPECT_TRUE(j.TakeDue(r.due).empty());  // handed out once
    now = r.due + 12;                        // its two attempts take a while
  }
  // Handed back and done: gone.
  j.Remove(id);
  EXPECT_EQ(j.Parked(now).total, 0);
  EXPECT_EQ(Ids(j.LoadAll()), std::vector<uint64_t>{plain});
}

TEST_F(JournalTest, OperatorLineEveryTenMinutesWhileParked) {
  const int64_t t0 = Now();
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  const uint64_t a = j.Add(MsgItem(WQUEUE_ONDEKO2NUVMSG, 1), WQUEUE_QID_TXT2NUV, t0 - 30);
  const uint64_t b = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 2), WQUEUE_QID_TXT2ONDEKO, t0);
  const uint64_t c = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 3), WQUEUE_QID_TXT2ONDEKO, t0);
  j.Park(a, MsgItem(WQUEUE_ONDEKO2NUVMSG, 1), WQUEUE_QID_TXT2NUV, "IM server not connected", t0);
  j.Park(b, MsgItem(WQUEUE_NUV2ONDEKOMSG, 2), WQUEUE_QID_TXT2ONDEKO, "timeout", t0);
  j.Park(c, MsgItem(WQUEUE_NUV2ONDEKOMSG, 3), WQUEUE_QID_TXT2ONDEKO, "timeout", t0);
  ParkedStats s = j.Parked(t0 + 10);
  EXPECT_EQ(s.total, 3);
  EXPECT_EQ(s.perQueue[1 + WQUEUE_QID_TXT2NUV], 1);
  EXPECT_EQ(s.perQueue[1 + WQUEUE_QID_TXT2ONDEKO], 2);
  EXPECT_EQ(s.oldestAgeSec, 40);

  auto lines = [&] {
    int n = 0;
    for (const auto& l : root_.LogLines()) n += l.find("WorkJournal parked 3 items") != std::string::npos;
    return n;
  };
  j.LogParkedIfDue(t0 + 10);
  EXPECT_TRUE(root_.LogContains(
      "WorkJournal parked 3 items: TXT2NUV 1 FILE2NUV 0 TXT2ONDEKO 2 FILE2ONDEKO 0 COMBINEQUEUE 0, oldest accepted 40 "
      "sec ago"));
  j.LogParkedIfDue(t0 + 10 + 599);
  EXPECT_EQ(lines(), 1);
  j.LogParkedIfDue(t0 + 10 + 600);
  EXPECT_EQ(lines(), 2);
}

TEST_F(JournalTest, DroppedWithALineOnceTwentyFourHoursOld) {
  const int64_t t0 = Now();
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  WorkItem item = MsgItem(WQUEUE_ONDEKO2NUVMSG, 77);
  const uint64_t id = j.Add(item, WQUEUE_QID_TXT2NUV, t0);
  EXPECT_EQ(j.Park(id, item, WQUEUE_QID_TXT2NUV, "IM server not connected", t0 + 86399).action,
            ParkResult::kRequeueLater);
  EXPECT_FALSE(root_.LogContains("dropped"));
  EXPECT_EQ(j.Park(id, item, WQUEUE_QID_TXT2NUV, "IM server not connected", t0 + 86400).action,
            ParkResult::kDropped);
  EXPECT_TRUE(root_.LogContains("WorkJournal::Park WQUEUE_ONDEKO2NUVMSG dkmsgid 77 accepted 86400 sec ago, not "
                                "delivered within 24 hours, dropped (last failure: IM server not connected)"));
  EXPECT_EQ(j.Size(), 0u);
  j.Close();
  ASSERT_TRUE(j.Open(path_));
  EXPECT_EQ(j.Size(), 0u);

  // An item the journal never saw is recorded when parked, accepted now.
  ParkResult r = j.Park(0, MakeTokenItem(5, 0), WQUEUE_QID_TXT2ONDEKO, "timeout", t0);
  EXPECT_EQ(r.action, ParkResult::kRequeueLater);
  EXPECT_NE(r.id, 0u);
  EXPECT_EQ(j.Parked(t0).total, 1);
}

TEST_F(JournalTest, GarbageAndForeignFilesAreMovedAsideAndTheJournalStartsEmpty) {
  WriteWholeFile(path_, std::string(5000, 'x'));
  {
    WorkJournal j;
    EXPECT_TRUE(j.Open(path_));
    EXPECT_EQ(j.Size(), 0u);
    j.Add(MakeTokenItem(1, 0), WQUEUE_QID_TXT2ONDEKO, Now());
  }
  std::vector<std::string> aside = AsideFiles();
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadWholeFile(aside[0]), std::string(5000, 'x'));  // kept for the operator
  EXPECT_TRUE(root_.LogContains("moved aside to '" + aside[0] + "'; starting with an empty journal"));
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    EXPECT_EQ(j.LoadAll().size(), 1u);  // the fresh journal works
  }

  // A journal from a later version: the version field (offset 60) says 9.
  std::string bytes = ReadWholeFile(path_);
  ASSERT_GT(bytes.size(), 100u);
  bytes[63] = 9;
  WriteWholeFile(path_, bytes);
  clock_.Advance(1000);  // a new timestamp
  WorkJournal j;
  EXPECT_TRUE(j.Open(path_));
  EXPECT_EQ(j.Size(), 0u);
  EXPECT_EQ(AsideFiles().size(), 2u);
  EXPECT_TRUE(root_.LogContains("(unknown version 9), moved aside"));
}

TEST_F(JournalTest, FileOfTheEarlierLayoutIsReadAndGivesItsPagesBackOnceDrained) {
  // A journal as the previous version left it: the same table and marks,
  // but made without giving freed pages back, so a drained backlog kept
  // the file at its largest.
  constexpr int kRows = 2000;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    for (const char* sql :
         {"PRAGMA journal_mode=WAL", "PRAGMA auto_vacuum=INCREMENTAL", "BEGIN",
          "CREATE TABLE entries(id INTEGER PRIMARY KEY, type INTEGER NOT NULL, qid INTEGER NOT NULL,"
          " accepted INTEGER NOT NULL, state INTEGER NOT NULL, attempts INTEGER NOT NULL,"
          " next_due INTEGER NOT NULL, reason TEXT NOT NULL, payload BLOB NOT NULL)",
          "PRAGMA application_id=1313493582", "PRAGMA user_version=1"})
      ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO entries VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)", -1, &st, nullptr),
              SQLITE_OK);
    for (int i = 1; i <= kRows; ++i) {
      const bool parked = i % 2 == 0;
      const std::string bytes = EncodeWorkPayload(MsgItem(WQUEUE_NUV2ONDEKOFILE, static_cast<uint64_t>(i), L"bob", 3));
      sqlite3_bind_int64(st, 1, i);
      sqlite3_bind_int(st, 2, WQUEUE_NUV2ONDEKOFILE);
      sqlite3_bind_int(st, 3, WQUEUE_QID_FILE2ONDEKO);
      sqlite3_bind_int64(st, 4, Now());
      sqlite3_bind_int(st, 5, parked ? JOURNAL_PARKED : JOURNAL_QUEUED);
      sqlite3_bind_int(st, 6, parked ? 1 : 0);
      sqlite3_bind_int64(st, 7, parked ? Now() + 60 : 0);
      sqlite3_bind_text(st, 8, parked ? "cloud not reachable" : "", -1, SQLITE_STATIC);
      sqlite3_bind_blob(st, 9, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  EXPECT_TRUE(AsideFiles().empty());
  EXPECT_EQ(j.Size(), static_cast<size_t>(kRows));
  EXPECT_EQ(j.Parked(Now()).total, kRows / 2);
  EXPECT_EQ(j.LocalCopies().size(), static_cast<size_t>(3 * kRows));
  // Loaded a window at a time, in accepted order, with their bytes.
  std::vector<JournalEntry> first = j.TakeWaiting(WQUEUE_QID_FILE2ONDEKO, 10, Now());
  ASSERT_EQ(first.size(), 10u);
  EXPECT_EQ(first[1].id, 3u);
  ASSERT_TRUE(first[1].item.msg);
  EXPECT_EQ(first[1].item.msg->files.size(), 3u);
  EXPECT_EQ(j.WaitingOnDisk(WQUEUE_QID_FILE2ONDEKO), static_cast<size_t>(kRows / 2 - 10));
  // A minute on the parked half is due: both kinds come back interleaved.
  std::vector<JournalEntry> rest = j.TakeWaiting(WQUEUE_QID_FILE2ONDEKO, 100000, Now() + 60);
  ASSERT_EQ(rest.size(), static_cast<size_t>(kRows - 10));
  EXPECT_EQ(rest[0].id, 2u);
  EXPECT_EQ(rest[1].id, 4u);
  EXPECT_EQ(rest.back().id, static_cast<uint64_t>(kRows));
  EXPECT_EQ(j.Parked(Now()).total, 0);

  const uint64_t full = FileSize(path_);
  ASSERT_GT(full, 400000u);
  for (const auto& e : first) j.Remove(e.id, false);
  for (const auto& e : rest) j.Remove(e.id, false);
  ASSERT_TRUE(j.Flush());
  EXPECT_EQ(j.Size(), 0u);
  EXPECT_LT(FileSize(path_), full / 10);
  EXPECT_EQ(FileSize(path_ + "-wal"), 0u);
}

TEST_F(JournalTest, TornFileIsMovedAside) {
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    for (int i = 0; i < 200; ++i)
      j.Add(MsgItem(WQUEUE_NUV2ONDEKOFILE, static_cast<uint64_t>(i), L"bob", 4), WQUEUE_QID_FILE2ONDEKO, Now(), false);
    ASSERT_TRUE(j.Flush());
  }
  const std::string whole = ReadWholeFile(path_);
  ASSERT_GT(whole.size(), 40000u);
  WriteWholeFile(path_, whole.substr(0, whole.size() / 2));
  WorkJournal j;
  EXPECT_TRUE(j.Open(path_));
  // The entries on the pages the file still has are carried over.
  EXPECT_GT(j.Size(), 50u);
  EXPECT_LT(j.Size(), 200u);
  ASSERT_EQ(AsideFiles().size(), 1u);
  EXPECT_EQ(ReadWholeFile(AsideFiles()[0]).size(), whole.size() / 2);
  j.Add(MakeTokenItem(1, 0), WQUEUE_QID_TXT2ONDEKO, Now());
  EXPECT_TRUE(j.Durable());
}

TEST_F(JournalTest, DamagedPagesLoseOnlyTheirOwnEntries) {
  constexpr int kRows = 400;
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    for (int i = 0; i < kRows; ++i)
      j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, static_cast<uint64_t>(i), L"bob"), WQUEUE_QID_TXT2ONDEKO, Now(), false);
    ASSERT_TRUE(j.Flush());
  }
  std::string bytes = ReadWholeFile(path_);
  const size_t page = 4096, pages = bytes.size() / page;
  ASSERT_GT(pages, 8u);
  // One page in the middle of the table turns to garbage.
  bytes.replace((pages / 2) * page, page, std::string(page, '\xff'));
  WriteWholeFile(path_, bytes);

  WorkJournal j;
  EXPECT_TRUE(j.Open(path_));
  ASSERT_EQ(AsideFiles().size(), 1u);
  EXPECT_TRUE(root_.LogContains("WorkJournal::Open recovered "));
  const std::vector<JournalEntry> back = j.LoadAll();
  EXPECT_GE(back.size(), static_cast<size_t>(kRows) * 3 / 4);
  EXPECT_LT(back.size(), static_cast<size_t>(kRows));
  for (size_t k = 1; k < back.size(); ++k) EXPECT_LT(back[k - 1].id, back[k].id);
  ASSERT_FALSE(back.empty());
  ASSERT_TRUE(back.back().item.msg);
  EXPECT_EQ(back.back().item.msg->msgid, static_cast<uint64_t>(kRows - 1));
  // New work goes after everything recovered.
  EXPECT_GT(j.Add(MakeTokenItem(1, 0), WQUEUE_QID_TXT2ONDEKO, Now()), back.back().id);
}

TEST_F(JournalTest, UndecodableRowIsKeptForTheOperatorButNotReplayed) {
  uint64_t good, bad;
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    bad = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 1), kJournalCombineQueue, Now());
    good = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 2), kJournalCombineQueue, Now());
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  const std::string sql = "UPDATE entries SET payload = x'01ffffff' WHERE id = " + std::to_string(bad);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  EXPECT_TRUE(j.Durable());
  EXPECT_EQ(Ids(j.LoadAll()), std::vector<uint64_t>{good});
  EXPECT_EQ(j.Size(), 2u);
  EXPECT_TRUE(root_.LogContains("entry " + std::to_string(bad) + " (im-message) cannot be decoded (truncated)"));
  EXPECT_FALSE(root_.LogContains("durability"));
  std::ostringstream out, err;
  ASSERT_EQ(ListJournal(path_, Now(), out, err), 0);
  EXPECT_NE(out.str().find(std::to_string(bad) + "\tim-message\tCOMBINEQUEUE\tunreadable"), std::string::npos)
      << out.str();
  EXPECT_TRUE(AsideFiles().empty());
}

TEST_F(JournalTest, UnwritableDirectoryMeansDurabilityOffUntilItCanBeWritten) {
  const std::string dir = root_.root() + "/later";
  const std::string path = dir + "/journal.db";
  WorkJournal j;
  EXPECT_FALSE(j.Open(path));
  EXPECT_FALSE(j.Durable());
  EXPECT_TRUE(root_.LogContains("durability is off until writes succeed again"));
  const uint64_t a = j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 1), kJournalCombineQueue, Now());
  const uint64_t b = j.Add(MsgItem(WQUEUE_ONDEKO2NUVMSG, 2), WQUEUE_QID_TXT2NUV, Now());
  j.Remove(a);
  // Work goes on in memory.
  EXPECT_EQ(Ids(j.LoadAll()), std::vector<uint64_t>{b});

  ASSERT_TRUE(MakeDirs(dir));
  clock_.Advance(WorkJournal::kRetryWritesMs);
  const uint64_t c = j.Add(MakeFetchItem(3, 4, 0), WQUEUE_QID_TXT2ONDEKO, Now());
  EXPECT_TRUE(j.Durable());
  EXPECT_TRUE(root_.LogContains("durability is back on"));
  WorkJournal reread;
  ASSERT_TRUE(reread.Open(path));
  EXPECT_EQ(Ids(reread.LoadAll()), (std::vector<uint64_t>{b, c}));
}

TEST_F(JournalTest, FullDiskMeansDurabilityOffThenEverythingHeldIsWritten) {
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  j.SetMaxPageCount(12);
  std::vector<uint64_t> ids;
  for (int i = 0; i < 60 && j.Durable(); ++i)
    ids.push_back(j.Add(MsgItem(WQUEUE_NUV2ONDEKOFILE, static_cast<uint64_t>(i), L"bob", 6), WQUEUE_QID_FILE2ONDEKO,
                        Now()));
  ASSERT_FALSE(j.Durable());
  EXPECT_TRUE(root_.LogContains("durability is off until writes succeed again"));
  // More work while full: kept in memory, retries are spaced out.
  ids.push_back(j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 1000), WQUEUE_QID_TXT2ONDEKO, Now()));
  j.Remove(ids.front());
  ids.erase(ids.begin());
  EXPECT_EQ(j.LoadAll().size(), ids.size());

  j.SetMaxPageCount(0);
  EXPECT_FALSE(j.Flush());  // too soon after the last failure
  clock_.Advance(WorkJournal::kRetryWritesMs);
  EXPECT_TRUE(j.Flush());
  EXPECT_TRUE(j.Durable());
  WorkJournal reread;
  ASSERT_TRUE(reread.Open(path_));
  EXPECT_EQ(Ids(reread.LoadAll()), ids);
}

// A named value reaches the disk only in a commit, together with the
// entries added before it; a file from before the table existed keeps its
// entries and gains the table.
TEST_F(JournalTest, NamedValuesCommitWithTheEntriesAndOlderFilesGainThem) {
  uint64_t a;
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path_));
    a = j.Add(MsgItem(WQUEUE_ONDEKO2NUVMSG, 7), WQUEUE_QID_TXT2NUV, Now());
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE meta", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  EXPECT_TRUE(AsideFiles().empty());
  EXPECT_EQ(Ids(j.LoadAll()), std::vector<uint64_t>{a});
  std::string v;
  EXPECT_FALSE(j.Meta("maxmsgid", &v));

  j.SetMaxPageCount(12);  // the disk fills up: nothing reaches it
  for (int i = 0; i < 60 && j.Durable(); ++i)
    j.Add(MsgItem(WQUEUE_ONDEKO2NUVFILE, static_cast<uint64_t>(i), L"bob", 6), WQUEUE_QID_FILE2NUV, Now());
  ASSERT_FALSE(j.Durable());
  const uint64_t b = j.Add(MsgItem(WQUEUE_ONDEKO2NUVMSG, 8), WQUEUE_QID_TXT2NUV, Now(), false);
  j.SetMeta("maxmsgid", "8");
  EXPECT_FALSE(j.Flush());
  ASSERT_TRUE(j.Meta("maxmsgid", &v));
  EXPECT_EQ(v, "8");
  {
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM meta", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
  }

  j.SetMaxPageCount(0);
  clock_.Advance(WorkJournal::kRetryWritesMs);
  EXPECT_TRUE(j.Flush());
  WorkJournal reread;
  ASSERT_TRUE(reread.Open(path_));
  ASSERT_TRUE(reread.Meta("maxmsgid", &v));
  EXPECT_EQ(v, "8");
  EXPECT_EQ(Ids(reread.LoadAll()).back(), b);
}

TEST_F(JournalTest, ListingShowsEntriesWithoutChangingThem) {
  WorkJournal j;
  ASSERT_TRUE(j.Open(path_));
  const int64_t t0 = Now();
  j.Add(MsgItem(WQUEUE_NUV2ONDEKOMSG, 12, L"bob;carol"), kJournalCombineQueue, t0 - 5);
  const uint64_t p = j.Add(MakeFetchItem(101, 104, 0), WQUEUE_QID_TXT2ONDEKO, t0 - 100);
  j.Park(p, MakeFetchItem(101, 104, 0), WQUEUE_QID_TXT2ONDEKO, "iRet = -2 errcode 28", t0);

  // While the writer still has the file open.
  std::ostringstream out, err;
  ASSERT_EQ(ListJournal(path_, t0 + 10, out, err), 0) << err.str();
  const std::string text = out.str();
  EXPECT_NE(text.find("2 entries, 1 parked"), std::string::npos) << text;
  EXPECT_NE(text.find("1\tim-message\tCOMBINEQUEUE\tqueued\tage 15s\tparked 0\tdue -\tWQUEUE_NUV2ONDEKOMSG climsgid "
                      "12 'alice' to 'bob;carol' files 0"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("2\tfetch-range\tTXT2ONDEKO\tparked\tage 110s\tparked 1\tdue in 50s\tWQUEUE_FETCHONDEKOMSG "
                      "[101, 104]\tlast failure 'iRet = -2 errcode 28'"),
            std::string::npos)
      << text;
  EXPECT_EQ(j.Size(), 2u);
  j.Close();

  // The program itself, on the installation's journal.
  const std::string cmd = std::string(NUV_BINARY_DIR) + "/processor/nuv_journal --root '" + root_.root() + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string printed;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe)) printed += buf;
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_NE(printed.find("2 entries, 1 parked"), std::string::npos) << printed;
  EXPECT_NE(printed.find("WQUEUE_FETCHONDEKOMSG [101, 104]"), std::string::npos) << printed;

  WorkJournal again;
  ASSERT_TRUE(again.Open(path_));
  EXPECT_EQ(again.Size(), 2u);

  std::ostringstream out2, err2;
  EXPECT_EQ(ListJournal(root_.config() + "missing.db", t0, out2, err2), 1);
  EXPECT_NE(err2.str().find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace nuv
