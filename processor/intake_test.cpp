// Cloud event intake: notified messages, gaps and their fetch, tokens and
// their binding. Queue contents and generalconf.ini on disk first; the cloud
// side is the cloud simulator over real HTTPS.

#include "processor/intake.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "cloud/http_transport.h"
#include "sim/cloud/sim_cloud_suite.h"
#include "config/config_center.h"
#include "processor/journal.h"
#include "processor/processor_test_util.h"
#include "push/gap_hub_logic.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using test::CountLog;
using test::FindLog;

// The push connection takes the callbacks as they are.
static_assert(std::is_same<decltype(&OndekoOnNotifyCallback), OndekoNotifyCallbackFn>::value, "notify callback");
static_assert(std::is_same<decltype(&OndekoOnTokenCallback), OndekoTokenCallbackFn>::value, "token callback");

const char kGbkZhangSan[] = "\xd5\xc5\xc8\xfd";  // an account name in GBK
const wchar_t kZhangSan[] = L"\u5f20\u4e09";
const char kUtf8Hello[] = "\xe4\xbd\xa0\xe5\xa5\xbd";  // "hello" in Chinese, UTF-8
const wchar_t kHello[] = L"\u4f60\u597d";
const char kUtf8Notice[] = "\xe7\xb3\xbb\xe7\xbb\x9f\xe9\x80\x9a\xe7\x9f\xa5";  // "system notice"
const wchar_t kNotice[] = L"\u7cfb\u7edf\u901a\u77e5";
const char kGuidKey[] = "{0A1B2C3D-0000-0000-0000-123456789ABC}";

OndekoMsgItem Item(uint64_t id, uint32_t type = 0) {
  OndekoMsgItem it;
  it.msg_id = id;
  it.msg_type = type;
  it.cur_userid = kGbkZhangSan;
  it.chatid = kGuidKey;
  it.chatname = "ignored for ordinary messages";
  it.to_userid_list = {"alice", "bob"};
  it.skip_userid_list = {"carol"};
  it.content = kUtf8Hello;
  it.create_time = 12345;
  return it;
}

// Everything in a queue, oldest first.
std::vector<WorkItem> Drain(int qid) {
  std::vector<WorkItem> out;
  WorkItem item;
  while (GetWorkQueue(qid)->OutQueue(item)) out.push_back(std::move(item));
  return out;
}

size_t TotalQueued() {
  size_t n = 0;
  for (int q = 0; q < WQUEUE_QID_COUNT; ++q) n += GetWorkQueue(q)->Size();
  return n;
}

std::string Counters(uint64_t token, uint64_t maxmsgid) {
  return std::to_string(token) + ";" + std::to_string(maxmsgid) + ";10485760;2097152;95;1024;1800;60;";
}

// A processor built by the test, its own configuration center over the
// test's generalconf.ini.
class IntakeTest : public test::BareProcessorTest {
 protected:
  void SetUp() override {
    BareProcessorTest::SetUp();
    confPath_ = proc_->ConfigDir() + "generalconf.ini";
  }
  // Starts from a generalconf.ini holding exactly text.
  void LoadConfig(const std::string& text) {
    test::WriteWholeFile(confPath_, text);
    config_ = std::make_unique<CConfigCenter>(confPath_);
    config_->Init();
  }
  std::string OnDisk() const { return test::ReadWholeFile(confPath_); }
  void Notify(const OndekoMsgItem& item) { proc_->OndekoOnNotify(item, *config_); }
  int32_t Now() { return static_cast<int32_t>(clock_.Now()); }

  std::string confPath_;
  std::unique_ptr<CConfigCenter> config_;
};

TEST_F(IntakeTest, NextMessageIsQueuedAndSavedWithoutFetch) {
  LoadConfig(Counters(7, 100));
  Notify(Item(101));

  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size(), 0u);
  std::vector<WorkItem> got = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, WQUEUE_ONDEKO2NUVMSG);
  EXPECT_EQ(got[0].enqueueTime, Now());
  EXPECT_EQ(got[0].retryCount, 0);
  const CQueueMsg& m = *got[0].msg;
  EXPECT_EQ(m.mt, 0);
  EXPECT_EQ(m.msgid, 101u);
  EXPECT_EQ(m.from, kZhangSan);
  EXPECT_EQ(m.to, L"alice;bob");
  EXPECT_EQ(m.key, L"{0A1B2C3D-0000-0000-0000-123456789ABC}");
  EXPECT_EQ(m.content, kHello);
  EXPECT_TRUE(m.files.empty());
  EXPECT_EQ(m.createTime, Now());

  EXPECT_EQ(config_->values().maxmsgid.load(), 101u);
  EXPECT_EQ(OnDisk(), Counters(7, 101));
  EXPECT_TRUE(root_.LogContains("OndekoOnNotifyCallback dkmsgid 101 mt 0 '\xe5\xbc\xa0\xe4\xb8\x89' to 'alice;bob' '" +
                                std::string(kUtf8Hello) + "', key '123456789ABC' , enqueue"));
  EXPECT_EQ(CountLog(root_, "Need Fetch"), 0);
}

TEST_F(IntakeTest, GapQueuesOneFetchBeforeTheMessage) {
  LoadConfig(Counters(0, 100));
  clock_.Advance(3000);
  Notify(Item(105));

  std::vector<WorkItem> fetch = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(fetch.size(), 1u);
  EXPECT_EQ(fetch[0].type, WQUEUE_FETCHONDEKOMSG);
  EXPECT_EQ(fetch[0].range.first, 101u);
  EXPECT_EQ(fetch[0].range.last, 104u);
  EXPECT_EQ(fetch[0].enqueueTime, Now());
  std::vector<WorkItem> msgs = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].msg->msgid, 105u);
  EXPECT_EQ(OnDisk(), Counters(0, 105));

  auto lines = root_.LogLines();
  int fetchLine = FindLog(lines, "OndekoOnNotifyCallback msgid 105 Need Fetch [101, 104] msg, enqueue");
  int msgLine = FindLog(lines, "OndekoOnNotifyCallback dkmsgid 105 mt 0");
  ASSERT_GE(fetchLine, 0);
  EXPECT_GT(msgLine, fetchLine);
}

TEST_F(IntakeTest, MessagesAlreadyTakenInAreSkippedAndNothingSaved) {
  // Two fields only: any save would rewrite the file with all eight.
  LoadConfig("0;100;");
  Notify(Item(100));
  Notify(Item(99));
  EXPECT_EQ(TotalQueued(), 0u);
  EXPECT_EQ(OnDisk(), "0;100;");
  EXPECT_EQ(config_->values().maxmsgid.load(), 100u);
  EXPECT_TRUE(root_.LogContains("OndekoOnNotifyCallback msgid 100 <= maxmsgid 100, Need skip this msg"));
  EXPECT_TRUE(root_.LogContains("OndekoOnNotifyCallback msgid 99 <= maxmsgid 100, Need skip this msg"));
}

TEST_F(IntakeTest, OtherTypeAdvancesMaxMsgIdAndQueuesNothing) {
  LoadConfig(Counters(0, 105));
  Notify(Item(106, 3));
  EXPECT_EQ(TotalQueued(), 0u);
  EXPECT_EQ(OnDisk(), Counters(0, 106));
  EXPECT_TRUE(root_.LogContains("OndekoOnNotifyCallback msgid 106 type 3 invalid, skip msg"));
  // The gap before an undeliverable message is still fetched.
  Notify(Item(109, 2));
  std::vector<WorkItem> fetch = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(fetch.size(), 1u);
  EXPECT_EQ(fetch[0].range.first, 107u);
  EXPECT_EQ(fetch[0].range.last, 108u);
  EXPECT_EQ(TotalQueued(), 0u);
  EXPECT_EQ(OnDisk(), Counters(0, 109));
}

TEST_F(IntakeTest, MaxMsgIdOnDiskWaitsWhileTheJournalCannotWrite) {
  LoadConfig(Counters(7, 100));
  ASSERT_TRUE(proc_->OpenJournal(proc_->ConfigDir() + kJournalFileName, false));
  WorkJournal& j = *proc_->Journal();
  j.SetMaxPageCount(12);  // the disk fills up
  for (uint64_t i = 0; i < 200 && j.Durable(); ++i)
    j.Add(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, test::Msg(i, L"a", L"b", L"k", std::wstring(3000, L'x')), Now()),
          WQUEUE_QID_TXT2NUV, Now());
  ASSERT_FALSE(j.Durable());
  // What these queue is in memory only: the file keeps a maxmsgid from
  // which a new worker would fetch them again.
  Notify(Item(101));
  Notify(Item(105));
  proc_->OndekoOnToken(8, *config_);
  EXPECT_EQ(config_->values().maxmsgid.load(), 105u);
  EXPECT_EQ(OnDisk(), Counters(8, 100));
  EXPECT_EQ(CountLog(root_, "OndekoOnNotifyCallback msgid 101: the work journal cannot write, maxmsgid stays 100"), 1);

  j.SetMaxPageCount(0);
  clock_.Advance(WorkJournal::kRetryWritesMs);
  Notify(Item(106));
  EXPECT_EQ(OnDisk(), Counters(8, 106));
}

// What the journal file holds, read beside the journal's own connection.
int64_t OnDiskCount(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  int64_t n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

// The notifies of one burst reach the journal in one commit with maxmsgid,
// then the queues, then generalconf.ini once; a token saved meanwhile
// carries the maxmsgid on disk.
TEST_F(IntakeTest, BurstIsCommittedWithItsMaxmsgidBeforeItIsQueuedAndSaved) {
  LoadConfig(Counters(7, 100));
  const std::string path = proc_->ConfigDir() + kJournalFileName;
  ASSERT_TRUE(proc_->OpenJournal(path, false));
  proc_->BeginOndekoBurst();
  Notify(Item(101));
  Notify(Item(104));
  Notify(Item(104));
  Notify(Item(105, 3));
  proc_->OndekoOnToken(8, *config_);
  EXPECT_EQ(OnDiskCount(path, "SELECT count(*) FROM entries"), 0);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size(), 0u);
  EXPECT_EQ(OnDisk(), Counters(8, 100));
  proc_->EndOndekoBurst(*config_);

  EXPECT_EQ(OnDiskCount(path, "SELECT count(*) FROM entries"), 3);
  EXPECT_EQ(OnDiskCount(path, "SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'maxmsgid'"), 105);
  std::vector<WorkItem> msgs = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].msg->msgid, 101u);
  EXPECT_EQ(msgs[1].msg->msgid, 104u);
  EXPECT_NE(msgs[1].journalId, 0u);
  std::vector<WorkItem> txt = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(txt.size(), 2u);  // the bind, then the gap's fetch
  EXPECT_EQ(txt[1].range.first, 102u);
  EXPECT_EQ(txt[1].range.last, 103u);
  EXPECT_EQ(OnDisk(), Counters(8, 105));
  auto lines = root_.LogLines();
  EXPECT_LT(FindLog(lines, "msgid 104 Need Fetch [102, 103]"), FindLog(lines, "dkmsgid 104 mt 0"));
  EXPECT_LT(FindLog(lines, "dkmsgid 104 mt 0"), FindLog(lines, "msgid 104 <= maxmsgid 104, Need skip"));
  EXPECT_LT(FindLog(lines, "msgid 104 <= maxmsgid 104, Need skip"), FindLog(lines, "msgid 105 type 3 invalid"));
}

// At start the journal's maxmsgid counts where generalconf.ini is behind
// it, and stands in for a file that cannot be read.
TEST_F(IntakeTest, StartTakesMaxmsgidFromTheJournalWhenTheFileIsBehindOrUnreadable) {
  const std::string path = proc_->ConfigDir() + kJournalFileName;
  {
    WorkJournal j;
    ASSERT_TRUE(j.Open(path));
    j.SetMeta("maxmsgid", "150");
    ASSERT_TRUE(j.Flush());
  }
  ASSERT_TRUE(proc_->OpenJournal(path, false));
  LoadConfig(Counters(7, 100));
  proc_->TakeMaxmsgidFromJournal(*config_);
  EXPECT_EQ(config_->values().maxmsgid.load(), 150u);
  EXPECT_EQ(OnDisk(), Counters(7, 150));
  Notify(Item(151));
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size(), 0u);
  Drain(WQUEUE_QID_TXT2NUV);

  // A file ahead of the journal keeps its value.
  LoadConfig(Counters(7, 400));
  proc_->TakeMaxmsgidFromJournal(*config_);
  EXPECT_EQ(config_->values().maxmsgid.load(), 400u);

  // Larger than the file may be: it cannot be read.
  LoadConfig(std::string(70000, '1'));
  proc_->TakeMaxmsgidFromJournal(*config_);
  EXPECT_EQ(config_->values().maxmsgid.load(), 151u);
  Notify(Item(160));
  std::vector<WorkItem> fetch = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(fetch.size(), 1u);
  EXPECT_EQ(fetch[0].range.first, 152u);
  EXPECT_EQ(fetch[0].range.last, 159u);
  EXPECT_EQ(CountLog(root_, "maxmsgid is unknown"), 0);
  EXPECT_EQ(OnDisk(), std::string(70000, '1'));
}

TEST_F(IntakeTest, BroadcastComesFromItsChatName) {
  LoadConfig(Counters(0, 10));
  OndekoMsgItem it = Item(11, 1);
  it.chatname = kUtf8Notice;
  Notify(it);
  std::vector<WorkItem> got = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, WQUEUE_ONDEKO2NUVMSG);
  EXPECT_EQ(got[0].msg->mt, 1);
  EXPECT_EQ(got[0].msg->from, kNotice);
  EXPECT_EQ(got[0].msg->key, L"{BROADCASTMSG}");
  EXPECT_EQ(got[0].msg->to, L"alice;bob");
  EXPECT_TRUE(root_.LogContains("OndekoOnNotifyCallback dkmsgid 11 mt 1 '" + std::string(kUtf8Notice) +
                                "' to 'alice;bob' '" + kUtf8Hello + "', key 'BROADCASTMSG' , enqueue"));
}

TEST_F(IntakeTest, ImagesThenFilesGoToTheFileQueue) {
  LoadConfig(Counters(0, 20));
  OndekoMsgItem it = Item(21);
  it.image_id_list = {"img-1", "img-2"};
  it.file_id_list = {"file-1"};
  Notify(it);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size(), 0u);
  std::vector<WorkItem> got = Drain(WQUEUE_QID_FILE2NUV);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, WQUEUE_ONDEKO2NUVFILE);
  const std::vector<CQueueFile>& f = got[0].msg->files;
  ASSERT_EQ(f.size(), 3u);
  const int kinds[] = {FILE_KIND_IMAGE, FILE_KIND_IMAGE, FILE_KIND_FILE};
  const wchar_t* fids[] = {L"img-1", L"img-2", L"file-1"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(f[i].kind, kinds[i]) << i;
    EXPECT_EQ(f[i].fid, fids[i]) << i;
    EXPECT_EQ(f[i].size, 0);
    EXPECT_EQ(f[i].status, FILE_STATUS_WAIT);
    EXPECT_EQ(f[i].failCount, 0);
    EXPECT_TRUE(f[i].fkey.empty() && f[i].localPath.empty() && f[i].datName.empty() && f[i].fileName.empty() &&
                f[i].mediaId.empty());
  }
}

TEST_F(IntakeTest, ReceiverListsJoinWithoutTrailingSeparator) {
  OndekoMsgItem it = Item(5);
  it.to_userid_list = {};
  EXPECT_EQ(OndekoItemToQueueMsg(it, 1)->to, L"");
  it.to_userid_list = {"a"};
  EXPECT_EQ(OndekoItemToQueueMsg(it, 1)->to, L"a");
  it.to_userid_list = {"a", "b"};
  EXPECT_EQ(OndekoItemToQueueMsg(it, 1)->to, L"a;b");
  it.to_userid_list = {"a", kGbkZhangSan, "c"};
  EXPECT_EQ(OndekoItemToQueueMsg(it, 1)->to, std::wstring(L"a;") + kZhangSan + L";c");
}

// The fetch and bind handlers against the cloud simulator.
class IntakeCloudTest : public test::SimCloudSuite<IntakeTest> {
 protected:
  void SetUp() override {
    IntakeTest::SetUp();
    PointAtCloud(root_);
    ResetCloud();
    LoadConfig(Counters(0, 0));
    // As the worker wiring registers them.
    CNuv4OndekoProcessor& processor = *proc_;
    processor.Handlers().Register(WQUEUE_FETCHONDEKOMSG, FetchHandler([this](uint64_t a, uint64_t b) {
                                    return proc_->FetchOndekoMsg(a, b, *config_);
                                  }));
    processor.Handlers().Register(WQUEUE_ONDEKOBINDTOKEN, TokenHandler([&processor](uint64_t t) {
                                    return processor.BindToken(t);
                                  }));
  }
  // Runs the registered handler on the item, as the queue's worker would.
  int Handle(WorkItem& item) { return proc_->Handlers().Find(item.type)(item, false); }

  sim::SimCloudMessage CloudMsg(uint32_t type) {
    sim::SimCloudMessage m;
    m.cur_userid = kGbkZhangSan;
    m.chatid = kGuidKey;
    m.to_userid_list = {"alice", "bob"};
    m.content = kUtf8Hello;
    m.msg_type = type;
    return m;
  }
};

TEST_F(IntakeCloudTest, FetchQueuesGoodItemsAndSkipsABadMiddleOne) {
  const uint64_t first = cloud_->CreateMessage(CloudMsg(0));
  const uint64_t middle = cloud_->CreateMessage(CloudMsg(2));
  sim::SimCloudMessage withFile = CloudMsg(1);
  withFile.chatname = kUtf8Notice;
  withFile.file_id_list = {cloud_->PutMedia("a.txt", "abc")};
  const uint64_t last = cloud_->CreateMessage(withFile);

  WorkItem fetch = MakeFetchItem(first, last, Now());
  EXPECT_EQ(Handle(fetch), 1);

  std::vector<WorkItem> text = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].type, WQUEUE_ONDEKO2NUVMSG);
  EXPECT_EQ(text[0].msg->msgid, first);
  EXPECT_EQ(text[0].msg->from, kZhangSan);
  EXPECT_EQ(text[0].msg->to, L"alice;bob");
  EXPECT_EQ(text[0].msg->content, kHello);
  std::vector<WorkItem> files = Drain(WQUEUE_QID_FILE2NUV);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].msg->msgid, last);
  EXPECT_EQ(files[0].msg->mt, 1);
  EXPECT_EQ(files[0].msg->from, kNotice);
  ASSERT_EQ(files[0].msg->files.size(), 1u);
  EXPECT_EQ(files[0].msg->files[0].kind, FILE_KIND_FILE);

  // The fetch leaves maxmsgid alone.
  EXPECT_EQ(config_->values().maxmsgid.load(), 0u);
  EXPECT_EQ(OnDisk(), Counters(0, 0));
  auto lines = root_.LogLines();
  const std::string idFirst = std::to_string(first), idLast = std::to_string(last);
  int a = FindLog(lines, "FetchOndekoMsg dkmsgid " + idFirst + " '\xe5\xbc\xa0\xe4\xb8\x89' to 'alice;bob' '" +
                             kUtf8Hello + "', key '123456789ABC' , enqueue");
  int b = FindLog(lines, "FetchOndekoMsg msgid " + std::to_string(middle) + " type 2 invalid, skip msg");
  int c = FindLog(lines, "FetchOndekoMsg dkmsgid " + idLast + " '" + kUtf8Notice + "' to 'alice;bob' '" +
                             kUtf8Hello + "', key 'BROADCASTMSG' , enqueue");
  ASSERT_GE(a, 0);
  EXPECT_GT(b, a);
  EXPECT_GT(c, b);
}

TEST_F(IntakeCloudTest, FailedFetchQueuesNothingAndAsksForARetry) {
  const uint64_t first = cloud_->CreateMessage(CloudMsg(0));
  const uint64_t last = cloud_->CreateMessage(CloudMsg(0));
  const std::string range = "(" + std::to_string(first) + ", " + std::to_string(last) + ")";

  sim::SimFault refuse;
  refuse.errCode = 45009;
  cloud_->InjectFault("fetch_msg", refuse);
  EXPECT_EQ(proc_->FetchOndekoMsg(first, last, *config_), 0);
  EXPECT_TRUE(root_.LogContains("FetchOndekoMsg " + range + " iRet = 0 errcode 45009 errmsg 'injected fault'"));

  // A reply whose second element is not a message is rejected whole: the
  // element read before it must not be queued, or the retry would repeat it.
  sim::SimFault broken;
  broken.kind = sim::SimFault::Kind::Malformed;
  broken.body = R"({"result":{"errCode":0,"message":"ok"},"data":{"msglist":[{"msg_id":)" + std::to_string(first) +
                R"(,"msg_type":0,"content":"x"},5,{"msg_id":)" + std::to_string(last) + R"(,"msg_type":0}]}})";
  cloud_->InjectFault("fetch_msg", broken);
  EXPECT_EQ(proc_->FetchOndekoMsg(first, last, *config_), 0);
  EXPECT_EQ(CountLog(root_, "FetchOndekoMsg " + range + " iRet = "), 2);
  EXPECT_EQ(TotalQueued(), 0u);

  // The retry finds the cloud well again.
  EXPECT_EQ(proc_->FetchOndekoMsg(first, last, *config_), 1);
  EXPECT_EQ(Drain(WQUEUE_QID_TXT2NUV).size(), 2u);
  // Nothing in the range is still done.
  EXPECT_EQ(proc_->FetchOndekoMsg(900000, 900005, *config_), 1);
  EXPECT_EQ(TotalQueued(), 0u);
  EXPECT_TRUE(root_.LogContains("FetchOndekoMsg (900000, 900005) OK, but no MsgItem return"));
}

TEST_F(IntakeCloudTest, CappedFetchRepliesAreFollowedByTheRest) {
  cloud_->SetFetchLimit(2);
  std::vector<uint64_t> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(cloud_->CreateMessage(CloudMsg(0), false));
  LoadConfig(Counters(0, ids.back() + 1));
  WorkItem fetch = MakeFetchItem(ids.front(), ids.back(), Now());
  int handled = 0;
  do {
    EXPECT_EQ(Handle(fetch), 1);
    ++handled;
  } while (handled < 10 && GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->OutQueue(fetch));
  std::vector<uint64_t> got;
  for (const WorkItem& w : Drain(WQUEUE_QID_TXT2NUV)) got.push_back(w.msg->msgid);
  EXPECT_EQ(got, ids);
  EXPECT_EQ(handled, 3);  // [1..5], [3..5], [5..5] of the five
}

TEST_F(IntakeCloudTest, SameTokenTwiceSavesOnceAndBindsTwice) {
  LoadConfig(Counters(5, 42));
  proc_->OndekoOnToken(777, *config_);
  EXPECT_EQ(OnDisk(), Counters(777, 42));
  // A second save would bring the file back.
  ASSERT_EQ(std::remove(confPath_.c_str()), 0);
  proc_->OndekoOnToken(777, *config_);
  EXPECT_FALSE(test::FileExists(confPath_));
  EXPECT_EQ(config_->values().token.load(), 777u);
  EXPECT_EQ(CountLog(root_, "OndekoOnTokenCallback old token ...5 save new token:...777 to config"), 1);
  EXPECT_EQ(CountLog(root_, "save new token"), 1);
  EXPECT_EQ(CountLog(root_, "OndekoOnTokenCallback bind token ...777 Enqueue"), 2);

  std::vector<WorkItem> binds = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(binds.size(), 2u);
  for (WorkItem& b : binds) {
    EXPECT_EQ(b.type, WQUEUE_ONDEKOBINDTOKEN);
    EXPECT_EQ(b.token, 777u);
    EXPECT_EQ(Handle(b), 1);
  }
  EXPECT_EQ(cloud_->BoundTokens(), std::vector<uint64_t>({777, 777}));
  EXPECT_EQ(CountLog(root_, "BindToken ...777 iRet = 0 errcode 0 errmsg 'ok'"), 2);
}

TEST_F(IntakeCloudTest, RefusedBindAsksForARetry) {
  sim::SimFault refuse;
  refuse.errCode = 40013;
  cloud_->InjectFault("bind_token", refuse);
  WorkItem b = MakeTokenItem(18446744073709551615ull, Now());
  EXPECT_EQ(Handle(b), 0);
  EXPECT_TRUE(root_.LogContains("BindToken ...1615 iRet = 0 errcode 40013 errmsg 'injected fault'"));
  std::vector<uint64_t> bound = cloud_->BoundTokens();
  EXPECT_EQ(std::count(bound.begin(), bound.end(), 18446744073709551615ull), 0);
}

// The plain functions the push connection calls act on the process-wide
// processor and configuration center.
TEST_F(IntakeTest, PushCallbacksUseTheProcessWideObjects) {
  OndekoOnNotifyCallback(1, nullptr);  // ignored
  EXPECT_EQ(TotalQueued(), 0u);

  CConfigCenter& global = CConfigCenter::GetInstance();
  global.values().maxmsgid = 300;
  global.values().token = 0;
  OndekoMsgItem it = Item(302);
  OndekoOnNotifyCallback(0, &it);
  const int tokenResult = OndekoOnTokenCallback(9);
  test::DriveWhile(clock_, [] { ReleaseProcessor(); });

  EXPECT_EQ(tokenResult, 0);
  EXPECT_EQ(test::ReadWholeFile(global.path()), Counters(9, 302));
  EXPECT_EQ(Drain(WQUEUE_QID_TXT2NUV).size(), 1u);
  std::vector<WorkItem> out = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].type, WQUEUE_FETCHONDEKOMSG);
  EXPECT_EQ(out[0].range.first, 301u);
  EXPECT_EQ(out[0].range.last, 301u);
  EXPECT_EQ(out[1].type, WQUEUE_ONDEKOBINDTOKEN);
  EXPECT_EQ(out[1].token, 9u);
}

}  // namespace
}  // namespace nuv
