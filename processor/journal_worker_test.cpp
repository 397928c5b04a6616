// The work journal inside the worker: what the queue workers do with it
// (removal when done or refused, parking on transport failures with back-off,
// the 24-hour drop), replay into the queues at start, the supervisor's view
// of parked work, and a notified gap that survives a restart and is fetched
// by the next worker from the cloud simulator.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/http_transport.h"
#include "cloud/ondeko_records.h"
#include "sim/cloud/sim_cloud_suite.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "config/config_center.h"
#include "processor/journal.h"
#include "processor/processor_test_util.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using test::CountLog;
using test::Msg;

std::vector<WorkItem> Drain(int qid) {
  std::vector<WorkItem> out;
  WorkItem item;
  while (GetWorkQueue(qid)->OutQueue(item)) out.push_back(std::move(item));
  return out;
}

// A processor with its journal in the installation's configuration
// directory; the test runs the queue workers it needs.
class JournalWorkerTest : public test::BareProcessorTest {
 protected:
  void SetUp() override {
    BareProcessorTest::SetUp();
    path_ = proc_->ConfigDir() + kJournalFileName;
    ASSERT_TRUE(proc_->OpenJournal(path_, false));
  }
  WorkJournal& J() { return *proc_->Journal(); }
  int32_t Now() { return static_cast<int32_t>(clock_.Now()); }

  // An accepted item, recorded as the intake records it, in queue qid.
  void Accept(int qid, WorkItem item) {
    item.journalId = J().Add(item, qid, clock_.Now());
    GetWorkQueue(qid)->Enqueue(std::move(item));
  }
  void RunWorker(int qid) {
    threads_.emplace_back([this, qid] { proc_->DoProc(qid); });
  }
  // The worker ends; a new one starts with empty queues on the same file.
  void NextWorker(size_t window = CNuv4OndekoProcessor::kQueueWindow) {
    test::ShutdownDriving(*proc_, clock_);
    for (auto& t : threads_) t.join();
    threads_.clear();
    proc_.reset();
    test::ResetQueues();
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
    proc_->SetQueueWindow(window);
    proc_->OpenJournal(path_, false);
  }
  // Lets the worker handle what it can, then moves time by ms in one step
  // and hands due parked items back, as a supervisor pass does.
  void Pass(int64_t ms) {
    ASSERT_TRUE(clock_.WaitUntilSettled(1));
    clock_.Advance(ms);
    ASSERT_TRUE(clock_.WaitUntilSettled(1));
    proc_->RequeueParked();
    ASSERT_TRUE(clock_.WaitUntilSettled(1));
  }

  // A handler for type 2 that answers from script (then done) and records
  // the virtual second of every call.
  void ScriptHandler(std::vector<int> script) {
    script_ = std::move(script);
    proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([this](CQueueMsg& m, bool) {
                                 std::lock_guard<std::mutex> g(mu_);
                                 callTimes_.push_back(clock_.Now());
                                 calledIds_.push_back(m.msgid);
                                 const size_t n = callTimes_.size() - 1;
                                 return n < script_.size() ? script_[n] : 1;
                               }));
  }
  // A handler for type 2 that records every call and fails as a transport
  // failure while down is set, or for the ids stillFailing names.
  void OutageHandler(const std::atomic<bool>& down, std::function<bool(uint64_t)> stillFailing = {}) {
    proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([this, &down, stillFailing](CQueueMsg& m, bool) {
                                 std::lock_guard<std::mutex> g(mu_);
                                 callTimes_.push_back(clock_.Now());
                                 calledIds_.push_back(m.msgid);
                                 return down || (stillFailing && stillFailing(m.msgid)) ? -1 : 1;
                               }));
  }
  // Texts first..last accepted for the IM side.
  void AcceptTexts(uint64_t first, uint64_t last) {
    for (uint64_t id = first; id <= last; ++id)
      Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(id, L"c", L"u", L"k", L"t"), Now()));
  }
  std::vector<int64_t> CallTimes() {
    std::lock_guard<std::mutex> g(mu_);
    return callTimes_;
  }
  std::vector<uint64_t> CalledIds() {
    std::lock_guard<std::mutex> g(mu_);
    return calledIds_;
  }

  std::string path_;
  std::mutex mu_;
  std::vector<int> script_;
  std::vector<int64_t> callTimes_;
  std::vector<uint64_t> calledIds_;
};

TEST_F(JournalWorkerTest, TransportFailuresParkWithBackOffUntilDelivered) {
  // Two rounds of two transport failures, then the IM side is back.
  ScriptHandler({-1, -1, -1, -1});
  const int64_t t0 = clock_.Now();
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(700, L"c", L"u", L"k", L"hi"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 600 && CallTimes().size() < 5; ++i) Pass(1000);

  const std::vector<int64_t> t = CallTimes();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0] - t0, 0);
  EXPECT_EQ(t[1] - t[0], 6);     // the usual retry pause
  EXPECT_EQ(t[2] - t[1], 60);    // parked one minute
  EXPECT_EQ(t[3] - t[2], 6);
  EXPECT_EQ(t[4] - t[3], 120);   // then two
  EXPECT_TRUE(root_.LogContains("WorkJournal::Park WQUEUE_ONDEKO2NUVMSG dkmsgid 700 parked (round 1, IM server not "
                                "reachable), back in TXT2NUV in 60 sec"));
  EXPECT_TRUE(root_.LogContains("parked (round 2, IM server not reachable), back in TXT2NUV in 120 sec"));
  EXPECT_FALSE(root_.LogContains("RETRYFAIL"));
  // Delivered: nothing left anywhere.
  EXPECT_EQ(J().Size(), 0u);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size(), 0u);
  EXPECT_EQ(J().Parked(clock_.Now()).total, 0);
}

TEST_F(JournalWorkerTest, WindowKeepsTheBacklogOnDiskAndTheFirstSuccessDrainsItInOrder) {
  // A queue holds 3 items; 10 are accepted while the IM side is down.
  NextWorker(3);
  std::atomic<bool> down{true};
  // Once back, 8 to 10 still fail (a half-back IM side).
  OutageHandler(down, [](uint64_t id) { return id >= 8 && id <= 10; });
  AcceptTexts(1, 10);
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2NUV);
  EXPECT_EQ(q->Size(), 3u);
  EXPECT_EQ(q->Waiting(), 7u);
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 200 && J().Parked(clock_.Now()).total < 10; ++i) Pass(1000);
  ASSERT_EQ(J().Parked(clock_.Now()).total, 10);
  EXPECT_EQ(q->Size() + q->Waiting(), 0u);
  std::vector<uint64_t> firstTries;
  for (uint64_t id : CalledIds())
    if (std::find(firstTries.begin(), firstTries.end(), id) == firstTries.end()) firstTries.push_back(id);
  EXPECT_EQ(firstTries, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // Back: a new message gets through and the parked ones follow at once, in
  // accepted order, without waiting out their minute.
  down = false;
  const size_t before = CalledIds().size();
  const int64_t back = clock_.Now();
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(11, L"c", L"u", L"k", L"t"), Now()));
  for (int i = 0; i < 30 && J().Parked(clock_.Now()).total != 3; ++i) Pass(1000);
  const std::vector<uint64_t> ids = CalledIds();
  const std::vector<int64_t> times = CallTimes();
  std::vector<uint64_t> after(ids.begin() + static_cast<long>(before), ids.end());
  ASSERT_GE(after.size(), 11u);
  EXPECT_EQ(std::vector<uint64_t>(after.begin(), after.begin() + 11),
            (std::vector<uint64_t>{11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  for (size_t k = before; k < before + 11; ++k) EXPECT_LT(times[k] - back, 10) << "call " << ids[k];
  // The ones that failed again are parked again, a step further back.
  EXPECT_EQ(J().Parked(clock_.Now()).total, 3);
  EXPECT_EQ(J().Size(), 3u);
  EXPECT_TRUE(root_.LogContains("dkmsgid 8 parked (round 2, IM server not reachable), back in TXT2NUV in 120 sec"));
}

TEST_F(JournalWorkerTest, PausedWindowKeepsTryingAndTheFirstSuccessEndsThePauses) {
  // A window of 3, all of it failed once and waiting out its 6 s pause,
  // with 7 more on disk: the side is tried again every second, and once it
  // answers nothing waits for the pause.
  NextWorker(3);
  std::atomic<bool> down{true};
  OutageHandler(down);
  AcceptTexts(1, 10);
  const int64_t t0 = clock_.Now();
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  Pass(1000);
  Pass(1000);
  EXPECT_EQ(CalledIds(), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(CallTimes(), (std::vector<int64_t>{t0, t0, t0, t0, t0 + 1, t0 + 2}));

  down = false;
  Pass(1000);  // t0 + 3, in the pause of 1 to 6
  ASSERT_TRUE(clock_.WaitUntilSettled(1));
  const std::vector<uint64_t> ids = CalledIds();
  ASSERT_EQ(ids.size(), 16u);
  EXPECT_EQ(ids[6], 7u);  // tried a second after the last failure, delivered
  std::vector<uint64_t> rest(ids.begin() + 7, ids.end());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 8, 9, 10}));
  for (int64_t t : CallTimes()) EXPECT_LE(t, t0 + 3);
  EXPECT_EQ(J().Size(), 0u);
  EXPECT_TRUE(root_.LogContains("answered again: 6 items of QID=0 and QID=1 waiting for their second attempt go now"));
}

TEST_F(JournalWorkerTest, ReplayOfAJournalLargerThanTheWindowLoadsOnlyTheWindow) {
  const int64_t now = clock_.Now();
  for (uint64_t id = 1; id <= 10; ++id)
    J().Add(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(id, L"c", L"u", L"k", L"t"), Now()), WQUEUE_QID_TXT2NUV, now);
  NextWorker(4);
  EXPECT_EQ(proc_->ReplayJournal(), 4);
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2NUV);
  EXPECT_EQ(q->Size(), 4u);
  EXPECT_EQ(q->Waiting(), 6u);
  EXPECT_EQ(J().Size(), 10u);
  ScriptHandler({});
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 20 && CalledIds().size() < 10; ++i) Pass(1000);
  EXPECT_EQ(CalledIds(), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(J().Size(), 0u);
}

TEST_F(JournalWorkerTest, RefusalIsDroppedAsBeforeAndTheSecondAttemptDecides) {
  // Item 1: transport, then a refusal: dropped. Item 2: a refusal, then
  // transport: parked.
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([this](CQueueMsg& m, bool isRetry) {
                               std::lock_guard<std::mutex> g(mu_);
                               calledIds_.push_back(m.msgid);
                               if (m.msgid == 1) return isRetry ? 0 : -1;
                               return isRetry ? -1 : 0;
                             }));
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(1, L"c", L"u", L"k", L"a"), Now()));
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(2, L"c", L"u", L"k", L"b"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 20 && CalledIds().size() < 4; ++i) Pass(1000);

  ASSERT_EQ(CalledIds().size(), 4u);
  EXPECT_TRUE(root_.LogContains("DoProc[QID=0] RETRYFAIL WQUEUE_ONDEKO2NUVMSG dkmsgid 1 delete msg"));
  EXPECT_FALSE(root_.LogContains("RETRYFAIL WQUEUE_ONDEKO2NUVMSG dkmsgid 2"));
  EXPECT_TRUE(root_.LogContains("WorkJournal::Park WQUEUE_ONDEKO2NUVMSG dkmsgid 2 parked (round 1"));
  EXPECT_EQ(J().Size(), 1u);
  EXPECT_EQ(J().Parked(clock_.Now()).perQueue[1 + WQUEUE_QID_TXT2NUV], 1);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size(), 0u);  // held by the journal, not the queue
}

TEST_F(JournalWorkerTest, ParkedItemIsDroppedWithALineOnceADayOld) {
  ScriptHandler(std::vector<int>(100, -1));
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(808, L"c", L"u", L"k", L"late"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 20 && CallTimes().size() < 2; ++i) Pass(1000);
  ASSERT_EQ(CallTimes().size(), 2u);
  ASSERT_EQ(J().Parked(clock_.Now()).total, 1);

  // A day later the next round fails the same way: no further round.
  Pass(24 * 3600 * 1000LL);
  for (int i = 0; i < 20 && CallTimes().size() < 4; ++i) Pass(1000);
  ASSERT_EQ(CallTimes().size(), 4u);
  EXPECT_TRUE(root_.LogContains("WorkJournal::Park WQUEUE_ONDEKO2NUVMSG dkmsgid 808 accepted"));
  EXPECT_TRUE(root_.LogContains("not delivered within 24 hours, dropped (last failure: IM server not reachable)"));
  EXPECT_EQ(J().Size(), 0u);
  for (int i = 0; i < 5; ++i) Pass(15 * 60 * 1000);
  EXPECT_EQ(CallTimes().size(), 4u);
}

TEST_F(JournalWorkerTest, UnwritableJournalLeavesTheWorkerWorkingInMemory) {
  // The journal's directory cannot be created: durability is off, said once;
  // the work goes on as it would without a journal.
  test::ShutdownDriving(*proc_, clock_);
  proc_ = std::make_unique<CNuv4OndekoProcessor>();
  test::WriteWholeFile(root_.config() + "not-a-dir", "x");
  EXPECT_FALSE(proc_->OpenJournal(root_.config() + "not-a-dir/" + kJournalFileName, false));
  ASSERT_NE(proc_->Journal(), nullptr);
  EXPECT_FALSE(J().Durable());
  ScriptHandler({0});
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(1, L"c", L"u", L"k", L"a"), Now()));
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(2, L"c", L"u", L"k", L"b"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 20 && CallTimes().size() < 3; ++i) Pass(1000);
  EXPECT_EQ(CalledIds(), (std::vector<uint64_t>{1, 2, 1}));
  EXPECT_EQ(J().Size(), 0u);
  EXPECT_EQ(CountLog(root_, "durability is off until writes succeed again"), 1);
}

TEST_F(JournalWorkerTest, UnknownTypeAndDoneItemsLeaveTheJournal) {
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([](CQueueMsg&, bool) { return 1; }));
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(5, L"c", L"u", L"k", L"x"), Now()));
  // A known type whose handler is missing here counts as unknown.
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, Msg(6, L"c", L"u", L"k", L"y"), Now()));
  ASSERT_EQ(J().Size(), 2u);
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  Pass(1000);
  EXPECT_TRUE(root_.LogContains("MsgType = 4, Unknow msg, skip"));
  EXPECT_EQ(J().Size(), 0u);
}

TEST_F(JournalWorkerTest, ReplayRestoresAcceptedOrderAndKeepsLocalCopies) {
  // What a worker had accepted when it ended: an IM message still being
  // combined, a cloud text, an IM file message whose first attempt fetched
  // one attachment (its copy still on disk), lost the copy of another and
  // uploaded a third, a fetch range, and a parked cloud text.
  const std::string tmp = WideToPath(GetTmpFilesDir()) + "/";
  ASSERT_TRUE(MakeDirs(tmp));
  test::WriteWholeFile(tmp + "F1.dat", "kept bytes");
  auto fileMsg = Msg(30, L"alice", L"bob", L"{K}", L"files");
  auto file = [&](const wchar_t* fid, int status, const std::wstring& mediaId) {
    CQueueFile f;
    f.fid = fid;
    f.status = status;
    f.failCount = 1;
    f.localPath = Utf8ToWide(tmp) + fid + L".dat";
    f.mediaId = mediaId;
    fileMsg->files.push_back(f);
  };
  file(L"F1", FILE_STATUS_OK, L"");
  file(L"F2", FILE_STATUS_OK, L"");
  file(L"F3", FILE_STATUS_OK, L"media-3");
  const int64_t now = clock_.Now();
  J().Add(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(10, L"alice", L"bob", L"{K}", L"combining"), Now()),
          kJournalCombineQueue, now);
  J().Add(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(20, L"c", L"u", L"{C}", L"cloud text"), Now()), WQUEUE_QID_TXT2NUV,
          now);
  J().Add(MakeMsgItem(WQUEUE_NUV2ONDEKOFILE, std::move(fileMsg), Now()), WQUEUE_QID_FILE2ONDEKO, now);
  J().Add(MakeFetchItem(101, 104, Now()), WQUEUE_QID_TXT2ONDEKO, now);
  const uint64_t parked = J().Add(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(21, L"c", L"u", L"{C}", L"parked"), Now()),
                                  WQUEUE_QID_TXT2NUV, now);
  WorkItem forPark = MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(21, L"c", L"u", L"{C}", L"parked"), Now());
  J().Park(parked, forPark, WQUEUE_QID_TXT2NUV, "IM server not reachable", now);
  J().Add(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(22, L"c", L"u", L"{C}", L"second cloud text"), Now()),
          WQUEUE_QID_TXT2NUV, now);

  // The worker ends; a new one starts with empty queues on the same file.
  test::ShutdownDriving(*proc_, clock_);
  proc_.reset();
  test::ResetQueues();
  proc_ = std::make_unique<CNuv4OndekoProcessor>();
  proc_->OpenJournal(path_, false);
  EXPECT_EQ(proc_->ReplayJournal(), 5);
  EXPECT_TRUE(root_.LogContains("ReplayJournal 5 items back in their queues: TXT2NUV 2 FILE2NUV 0 TXT2ONDEKO 1 "
                                "FILE2ONDEKO 1 COMBINEQUEUE 1"));

  EXPECT_EQ(GetCombineQueue().Size(), 1u);
  std::vector<WorkItem> cloud = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(cloud.size(), 2u);
  EXPECT_EQ(cloud[0].msg->msgid, 20u);
  EXPECT_EQ(cloud[1].msg->msgid, 22u);
  EXPECT_NE(cloud[0].journalId, 0u);
  std::vector<WorkItem> fetch = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(fetch.size(), 1u);
  EXPECT_EQ(fetch[0].range.first, 101u);
  EXPECT_EQ(fetch[0].range.last, 104u);
  std::vector<WorkItem> files = Drain(WQUEUE_QID_FILE2ONDEKO);
  ASSERT_EQ(files.size(), 1u);
  const std::vector<CQueueFile>& f = files[0].msg->files;
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].status, FILE_STATUS_OK);     // copy on disk: not fetched again
  EXPECT_EQ(f[1].status, FILE_STATUS_READY);  // copy gone: fetched again
  EXPECT_EQ(f[1].failCount, 0);
  EXPECT_EQ(f[2].mediaId, L"media-3");        // uploaded: not uploaded again

  // The parked one comes back when its minute is over, not before.
  proc_->RequeueParked();
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size(), 0u);
  clock_.Advance(61000);
  proc_->RequeueParked();
  std::vector<WorkItem> back = Drain(WQUEUE_QID_TXT2NUV);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].msg->msgid, 21u);
  EXPECT_EQ(back[0].journalId, parked);
}

TEST_F(JournalWorkerTest, ParkedFileMessageComesBackWithItsAttachmentsChecked) {
  // Parked after a round whose copy went: the attachment is fetched again,
  // not taken for delivered.
  auto m = Msg(50, L"zhang", L"li", L"{K}", L"");
  CQueueFile f;
  f.fid = L"MID-1";
  f.status = FILE_STATUS_OK;
  f.fileName = L"image.png";
  f.localPath = GetDownloadDir() + L"/dk-gone/image.png";
  m->files.push_back(f);
  WorkItem item = MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, std::move(m), Now());
  const uint64_t id = J().Add(item, WQUEUE_QID_FILE2NUV, clock_.Now());
  J().Park(id, item, WQUEUE_QID_FILE2NUV, "IM server or cloud not reachable", clock_.Now());
  clock_.Advance(61000);
  proc_->RequeueParked();
  std::vector<WorkItem> back = Drain(WQUEUE_QID_FILE2NUV);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].msg->files[0].status, FILE_STATUS_WAIT);
}

TEST_F(JournalWorkerTest, CopiesNoEntryRefersToGoWhenDroppedAndAfterReplay) {
  const std::string tmp = WideToPath(GetTmpFilesDir()) + "/";
  const std::string dl = WideToPath(GetDownloadDir()) + "/";
  ASSERT_TRUE(MakeDirs(dl + "dk-own") && MakeDirs(dl + "dk-kept") && MakeDirs(dl + "dk-left"));
  for (const std::string& p : {tmp + "shared.dat", dl + "dk-own/a.bin", dl + "dk-kept/image.png", tmp + "late.dat",
                               tmp + "upload.pdf.part", dl + "dk-left/image.png", dl + "stray.bin"})
    test::WriteWholeFile(p, "12345");
  auto withCopies = [&](uint64_t id, const std::vector<std::string>& paths) {
    auto m = Msg(id, L"zhang", L"li", L"{K}", L"");
    for (const std::string& p : paths) {
      CQueueFile f;
      f.status = FILE_STATUS_OK;
      f.localPath = Utf8ToWide(p);
      m->files.push_back(f);
    }
    return MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, std::move(m), Now());
  };
  // Refused twice, the first item is dropped: its own copy goes, the one it
  // shares with a waiting item stays.
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVFILE,
                             MsgHandler([](CQueueMsg& m, bool) { return m.msgid == 1 ? 0 : 1; }));
  Accept(WQUEUE_QID_FILE2NUV, withCopies(1, {dl + "dk-own/a.bin", tmp + "shared.dat"}));
  J().Add(withCopies(2, {tmp + "shared.dat", dl + "dk-kept/image.png"}), WQUEUE_QID_FILE2NUV, clock_.Now());
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_FILE2NUV);
  for (int i = 0; i < 20 && !root_.LogContains("RETRYFAIL"); ++i) Pass(1000);
  EXPECT_TRUE(
      root_.LogContains("DoProc[QID=1] WQUEUE_ONDEKO2NUVFILE dkmsgid 1 dropped: removed 1 local copies (5 bytes)"));
  EXPECT_FALSE(test::FileExists(dl + "dk-own"));
  EXPECT_TRUE(test::FileExists(tmp + "shared.dat"));

  // A new worker: what the waiting item refers to stays, the rest goes.
  NextWorker();
  EXPECT_EQ(proc_->ReplayJournal(), 1);
  EXPECT_EQ(test::DirEntries(tmp), (std::vector<std::string>{"shared.dat"}));
  EXPECT_EQ(test::DirEntries(dl), (std::vector<std::string>{"dk-kept"}));
  EXPECT_TRUE(test::FileExists(dl + "dk-kept/image.png"));
  EXPECT_EQ(CountLog(root_, "ReplayJournal removed 4 local copies no journal entry refers to (20 bytes)"), 1);
}

TEST_F(JournalWorkerTest, WorkerNotesTheEntryInHand) {
  std::atomic<bool> entered{false}, release{false};
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([&](CQueueMsg&, bool) {
                               entered = true;
                               while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                               return 1;
                             }));
  Accept(WQUEUE_QID_TXT2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(1, L"c", L"u", L"k", L"a"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  ASSERT_TRUE(test::WaitReal([&] { return entered.load(); }));
  EXPECT_EQ(test::ReadWholeFile(path_ + ".inhand0").substr(0, 4), "1 0 ");
  release = true;
  ASSERT_TRUE(clock_.WaitUntilSettled(1));
  EXPECT_EQ(test::ReadWholeFile(path_ + ".inhand0").substr(0, 4), "0 0 ");
}

TEST_F(JournalWorkerTest, EntryInHandAtThreeEndsInARowIsDroppedNotReplayedForever) {
  Accept(WQUEUE_QID_FILE2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, Msg(66, L"c", L"u", L"k", L"poison"), Now()));
  Accept(WQUEUE_QID_FILE2NUV, MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, Msg(67, L"c", L"u", L"k", L"innocent"), Now()));
  std::vector<WorkItem> taken = Drain(WQUEUE_QID_FILE2NUV);
  ASSERT_EQ(taken.size(), 2u);
  uint64_t poison = taken[0].journalId;
  // Each worker takes the message, and ends (killed, crashed) while its
  // handler has it.
  for (int end = 1; end <= 3; ++end) {
    proc_->MarkInHand(WQUEUE_QID_FILE2NUV, poison);
    test::ShutdownDriving(*proc_, clock_);
    proc_.reset();
    test::ResetQueues();
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
    proc_->OpenJournal(path_, false);
    const int replayed = proc_->ReplayJournal();
    std::vector<WorkItem> back = Drain(WQUEUE_QID_FILE2NUV);
    if (end < 3) {
      EXPECT_EQ(replayed, 2) << end;
      ASSERT_EQ(back.size(), 2u);
      EXPECT_EQ(back[0].journalId, poison);
    } else {
      EXPECT_EQ(replayed, 1);
      ASSERT_EQ(back.size(), 1u);
      EXPECT_EQ(back[0].msg->msgid, 67u);
    }
  }
  EXPECT_TRUE(root_.LogContains("ReplayJournal WQUEUE_ONDEKO2NUVFILE dkmsgid 66 was being handled each of the last 3 "
                                "times the worker ended, dropped"));
  EXPECT_EQ(J().Size(), 1u);
}

TEST_F(JournalWorkerTest, CombinedCopiesLeaveOneEntry) {
  // Three copies of one message for three receivers: one entry survives,
  // with all receivers, routed to the text queue.
  for (const wchar_t* to : {L"a", L"b", L"c"}) {
    WorkItem item = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(40, L"alice", to, L"{K}", L"same"), Now());
    item.journalId = J().Add(item, kJournalCombineQueue, clock_.Now());
    GetCombineQueue().Enqueue(item);
  }
  ASSERT_EQ(J().Size(), 3u);
  threads_.emplace_back([this] { proc_->CombineMsg(); });
  ASSERT_TRUE(test::DriveUntil(clock_, [] { return GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size() == 1; }, 100, 5000));
  ASSERT_TRUE(clock_.WaitUntilSettled(1));
  EXPECT_EQ(J().Size(), 1u);

  // A message still being combined when the worker ended is combined and
  // routed by the next one.
  WorkItem pending = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(41, L"alice", L"d", L"{K2}", L"pending"), Now());
  J().Add(pending, kJournalCombineQueue, clock_.Now());
  ASSERT_EQ(J().Size(), 2u);

  // What a new worker replays: the combined message in the text queue, the
  // pending one in the combine queue.
  NextWorker();
  EXPECT_EQ(proc_->ReplayJournal(), 2);
  std::vector<WorkItem> got = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].msg->to, L"a;b;c");
  ASSERT_EQ(GetCombineQueue().Size(), 1u);
  threads_.emplace_back([this] { proc_->CombineMsg(); });
  ASSERT_TRUE(test::DriveUntil(clock_, [] { return GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size() == 1; }, 100, 5000));
  got = Drain(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].msg->content, L"pending");
}

// The supervisor with a parked item: a cloud that stays away must not make
// the worker end itself as a dead queue, and the operator hears about it.
class JournalSupervisorTest : public test::ClockedTest {
 protected:
  void SetUp() override {
    ClockedTest::SetUp();
    // A short input interval, so that parked work's long back-off would
    // look like silence. The process-wide instance keeps the file of the
    // installation root it was first used under (an earlier case's, now
    // gone), so this root's file is loaded apart and its limits are put
    // into the instance for the case, and the previous ones back after.
    const std::string conf = GetConfigDirA() + "generalconf.ini";
    test::WriteWholeFile(conf, "0;0;10485760;2097152;95;1024;300;60;");
    CConfigCenter fromFile(conf);
    fromFile.Init();
    ConfigValues& v = CConfigCenter::GetInstance().values();
    for (size_t i = 0; i < kLimits.size(); ++i) {
      saved_[i] = v.*kLimits[i];
      v.*kLimits[i] = fromFile.values().*kLimits[i];
    }
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
    ProcessorSeams& s = proc_->Seams();
    s.imApp = [this] { return &app_; };
    s.pushFactory = test::FakePushFactory(push_);
    ends_.Install(s);
    ASSERT_TRUE(proc_->OpenJournal(proc_->ConfigDir() + kJournalFileName, false));
  }
  void TearDown() override {
    test::ShutdownDriving(*proc_, clock_);
    proc_.reset();
    ConfigValues& v = CConfigCenter::GetInstance().values();
    for (size_t i = 0; i < kLimits.size(); ++i) v.*kLimits[i] = saved_[i];
    ClockedTest::TearDown();
  }
  // One IM text recorded and queued for the cloud, then the processor started.
  void StartWithOneText() {
    WorkItem item = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(9, L"alice", L"bob", L"{K}", L"waiting"),
                                static_cast<int32_t>(clock_.Now()));
    item.journalId = proc_->Journal()->Add(item, WQUEUE_QID_TXT2ONDEKO, clock_.Now());
    GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(std::move(item));
    proc_->BeginStart();
  }
  // The tuning limits among the configuration values (not the two counters).
  static constexpr std::array<uint32_t ConfigValues::*, 6> kLimits = {
      &ConfigValues::maxfilesize, &ConfigValues::maximgsize,  &ConfigValues::maxcpu,
      &ConfigValues::maxmem,      &ConfigValues::enqInterval, &ConfigValues::outqInterval};
  std::array<uint32_t, 6> saved_{};  // the instance's limits before the case
  test::FakeImApp app_;
  test::PushLog push_;
  test::EndRecorder ends_;
  std::unique_ptr<CNuv4OndekoProcessor> proc_;
};

TEST_F(JournalSupervisorTest, ParkedWorkIsNoDeadQueueAndIsReportedEveryTenMinutes) {
  ASSERT_EQ(CConfigCenter::GetInstance().values().enqInterval, 300u);
  std::atomic<int> calls{0};
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOMSG, MsgHandler([&](CQueueMsg&, bool) {
                               ++calls;
                               return -1;  // the cloud stays unreachable
                             }));
  StartWithOneText();
  ASSERT_TRUE(test::WaitReal([&] { return root_.LogContains("Threads OK, monitor them now"); }));
  const int64_t started = clock_.Now();
  // Two hours: back-off 1, 2, 4, 8, 15, 15 ... minutes, silences far longer
  // than the input interval.
  test::DriveUntil(clock_, [&] { return clock_.Now() - started > 7200; }, 1000, 7300000);
  EXPECT_EQ(ends_.exits.load(), 0);
  EXPECT_FALSE(root_.LogContains("IsEnqueueDead return TRUE"));
  EXPECT_FALSE(root_.LogContains("IsOutqueueDead return TRUE"));
  EXPECT_GE(calls.load(), 14);  // seven rounds of two
  const int lines = CountLog(root_, "WorkJournal parked 1 items: TXT2NUV 0 FILE2NUV 0 TXT2ONDEKO 1 FILE2ONDEKO 0 "
                                    "COMBINEQUEUE 0, oldest accepted");
  EXPECT_GE(lines, 10);  // about every ten minutes
  EXPECT_LE(lines, 13);
  EXPECT_EQ(proc_->Journal()->Size(), 1u);
}

// A parked item comes back through its queue's refill, not an enqueue: while
// its next attempt is in hand (a cloud time-out can hold it for many
// seconds) no queue holds anything and the last enqueue is long past. That
// is outstanding work, not silent input.
TEST_F(JournalSupervisorTest, ParkedItemInHandIsNoDeadQueue) {
  std::atomic<int> calls{0};
  std::atomic<bool> inHand{false}, release{false};
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOMSG, MsgHandler([&](CQueueMsg&, bool) {
                               if (++calls == 3) {  // the first attempt after parking
                                 inHand = true;
                                 for (int i = 0; i < 30000 && !release.load(); ++i)
                                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                               }
                               return -1;
                             }));
  StartWithOneText();
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return inHand.load(); }, 1000, 600000));
  const int64_t inHandSince = clock_.Now();
  test::DriveUntil(clock_, [&] { return clock_.Now() - inHandSince > 400; }, 1000, 500000);
  release = true;
  EXPECT_EQ(ends_.exits.load(), 0);
  EXPECT_FALSE(root_.LogContains("IsEnqueueDead return TRUE"));
}

// A notified gap is recorded before maxmsgid moves past it; the worker ends
// before fetching it; the next worker fetches it from the cloud.
class JournalFetchTest : public test::SimCloudSuite<JournalWorkerTest> {
 protected:
  void SetUp() override {
    JournalWorkerTest::SetUp();
    PointAtCloud(root_);
    // The simulator lives for the whole suite: no case may see the faults
    // left or the requests counted by the one before.
    ResetCloud();
    confPath_ = proc_->ConfigDir() + "generalconf.ini";
  }
  void Register(CNuv4OndekoProcessor& p) {
    p.Handlers().Register(WQUEUE_FETCHONDEKOMSG,
                          FetchHandler([&p](uint64_t a, uint64_t b) { return p.FetchOndekoMsg(a, b); }));
  }
  sim::SimCloudMessage CloudMsg(const std::string& text) {
    sim::SimCloudMessage m;
    m.cur_userid = "zhang";
    m.chatid = "{0A1B2C3D-0000-0000-0000-123456789ABC}";
    m.to_userid_list = {"alice"};
    m.content = text;
    return m;
  }
  std::string confPath_;
};

TEST_F(JournalFetchTest, GapQueuedBeforeAnEndIsFetchedByTheNextWorker) {
  const uint64_t a = cloud_->CreateMessage(CloudMsg("one"));
  const uint64_t b = cloud_->CreateMessage(CloudMsg("two"));
  const uint64_t c = cloud_->CreateMessage(CloudMsg("three"));
  test::WriteWholeFile(confPath_, "0;" + std::to_string(a - 1) + ";10485760;2097152;95;1024;1800;60;");
  CConfigCenter config(confPath_);
  config.Init();
  OndekoMsgItem notified;
  notified.msg_id = c;
  notified.cur_userid = "zhang";
  notified.chatid = "{0A1B2C3D-0000-0000-0000-123456789ABC}";
  notified.to_userid_list = {"alice"};
  notified.content = "three";
  proc_->OndekoOnNotify(notified, config);
  ASSERT_EQ(config.values().maxmsgid.load(), c);
  EXPECT_EQ(J().Size(), 2u);  // the range and the message, before the save

  // The worker is killed before it fetched anything.
  test::ShutdownDriving(*proc_, clock_);
  proc_.reset();
  test::ResetQueues();

  proc_ = std::make_unique<CNuv4OndekoProcessor>();
  Register(*proc_);
  proc_->OpenJournal(path_, false);
  ASSERT_EQ(proc_->ReplayJournal(), 2);
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  ASSERT_TRUE(test::WaitReal([] { return GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size() == 3; }));
  ASSERT_TRUE(clock_.WaitUntilSettled(1));
  std::vector<uint64_t> ids;
  for (const WorkItem& w : Drain(WQUEUE_QID_TXT2NUV)) ids.push_back(w.msg->msgid);
  EXPECT_EQ(ids, (std::vector<uint64_t>{c, a, b}));
  EXPECT_EQ(cloud_->CountRequests("fetch_msg"), 1u);
  // The range is done; the three messages wait in the journal.
  EXPECT_EQ(J().Size(), 3u);
}

TEST_F(JournalFetchTest, ServerErrorsParkTheFetchAndRefusalsDropIt) {
  Register(*proc_);
  sim::SimFault down;
  down.kind = sim::SimFault::Kind::HttpStatus;
  down.httpStatus = 503;
  down.count = 2;
  cloud_->InjectFault("fetch_msg", down);
  Accept(WQUEUE_QID_TXT2ONDEKO, MakeFetchItem(5000, 5001, Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  for (int i = 0; i < 20 && cloud_->CountRequests("fetch_msg") < 2; ++i) Pass(1000);
  ASSERT_TRUE(test::WaitReal([&] { return J().Parked(clock_.Now()).total == 1; }));
  EXPECT_TRUE(root_.LogContains("WorkJournal::Park WQUEUE_FETCHONDEKOMSG [5000, 5001] parked (round 1, cloud not "
                                "reachable)"));
  EXPECT_FALSE(root_.LogContains("RETRYFAIL"));

  // Back after a minute, the cloud refuses twice: dropped as before.
  sim::SimFault refuse;
  refuse.errCode = 45009;
  refuse.count = 2;
  cloud_->InjectFault("fetch_msg", refuse);
  for (int i = 0; i < 120 && cloud_->CountRequests("fetch_msg") < 4; ++i) Pass(1000);
  ASSERT_TRUE(test::WaitReal([&] { return root_.LogContains("RETRYFAIL WQUEUE_FETCHONDEKOMSG [5000, 5001]"); }));
  EXPECT_EQ(J().Size(), 0u);
}

TEST_F(JournalFetchTest, ThrottledFetchWaitsAsAskedAndIsParkedNotDropped) {
  Register(*proc_);
  sim::SimFault busy;
  busy.kind = sim::SimFault::Kind::HttpStatus;
  busy.httpStatus = 429;
  busy.retryAfter = "300";
  busy.count = 2;
  cloud_->InjectFault("fetch_msg", busy);
  Accept(WQUEUE_QID_TXT2ONDEKO, MakeFetchItem(6000, 6001, Now()));
  const int64_t t0 = clock_.Now();
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  for (int i = 0; i < 400 && cloud_->CountRequests("fetch_msg") < 2; ++i) Pass(1000);
  EXPECT_NEAR(static_cast<double>(clock_.Now() - t0), 300.5, 1.0);  // not after the usual 6 s
  ASSERT_TRUE(test::WaitReal([&] { return J().Parked(clock_.Now()).total == 1; }));
  EXPECT_TRUE(root_.LogContains("WorkJournal::Park WQUEUE_FETCHONDEKOMSG [6000, 6001] parked (round 1, cloud not "
                                "reachable), back in TXT2ONDEKO in 300 sec"));
}

// A bind whose two attempts meet a cloud that is down is held, not dropped:
// it comes back after its back-off and binds once the cloud answers, with no
// new connect; a newer token replaces a held one.
TEST_F(JournalFetchTest, BindDuringACloudOutageIsBoundOnceTheCloudIsBack) {
  proc_->Handlers().Register(WQUEUE_ONDEKOBINDTOKEN, TokenHandler([this](uint64_t t) { return proc_->BindToken(t); }));
  CConfigCenter config(confPath_);
  config.Init();
  sim::SimFault down;
  down.kind = sim::SimFault::Kind::HttpStatus;
  down.httpStatus = 503;
  down.count = 4;
  cloud_->InjectFault("bind_token", down);
  proc_->OndekoOnToken(4242, config);
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  auto pass = [&](int seconds) {
    for (int i = 0; i < seconds; ++i) {
      Pass(1000);
      proc_->RequeueHeldBind();
    }
  };
  pass(20);
  ASSERT_EQ(cloud_->CountRequests("bind_token"), 2u);
  EXPECT_FALSE(root_.LogContains("RETRYFAIL WQUEUE_ONDEKOBINDTOKEN"));
  EXPECT_TRUE(root_.LogContains("held (round 1), tried again in 60 sec"));
  // A minute later it fails twice again, then two minutes later it goes.
  pass(60);
  ASSERT_EQ(cloud_->CountRequests("bind_token"), 4u);
  EXPECT_TRUE(root_.LogContains("held (round 2), tried again in 120 sec"));
  pass(100);
  EXPECT_EQ(cloud_->CountRequests("bind_token"), 4u) << "the back-off spares a cloud that is down";
  pass(30);
  ASSERT_EQ(cloud_->BoundTokens(), (std::vector<uint64_t>{4242}));

  // Held again, then the push connection hands over a newer token: only
  // that one is bound, the held one never again.
  down.count = 2;
  cloud_->InjectFault("bind_token", down);
  proc_->OndekoOnToken(5151, config);
  pass(20);
  ASSERT_TRUE(root_.LogContains("held (round 1), tried again in 60 sec"));
  proc_->OndekoOnToken(6161, config);
  pass(200);
  EXPECT_EQ(cloud_->BoundTokens(), (std::vector<uint64_t>{4242, 6161}));
}

}  // namespace
}  // namespace nuv
