// The queue workers: handler table, retry policy and its log lines, the
// waiting lines while the processor is not started.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/clock.h"
#include "processor/processor_test_util.h"

namespace nuv {
namespace {

using test::Msg;

// Runs DoProc for one queue on a test thread, on a processor that has no
// control or supervisor thread, so the worker is the only sleeper.
class DispatchTest : public test::BareProcessorTest {
 protected:
  void RunWorker(int qid) {
    threads_.emplace_back([this, qid] { proc_->DoProc(qid); });
  }
  void Settle() { ASSERT_TRUE(clock_.WaitForSleepers(1)); }
  int32_t Now() { return static_cast<int32_t>(clock_.Now()); }

  struct Call {
    uint64_t id;
    bool isRetry;
    int64_t atMs;
  };
  std::mutex mu_;
  std::vector<Call> calls_;
  void Record(uint64_t id, bool isRetry) {
    std::lock_guard<std::mutex> g(mu_);
    calls_.push_back({id, isRetry, clock_.NowMs()});
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> g(mu_);
    return calls_;
  }

};

TEST_F(DispatchTest, FailsOnceThenSucceeds) {
  int failuresLeft = 1;
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOMSG, MsgHandler([&](CQueueMsg& m, bool isRetry) {
                               Record(m.msgid, isRetry);
                               return failuresLeft-- > 0 ? 0 : 1;
                             }));
  GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(41, L"u", L"v", L"k", L"t"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  const int64_t t0 = clock_.NowMs();
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  Settle();
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_TRUE(root_.LogContains("DoProc[QID=2] RETRYONCE WQUEUE_NUV2ONDEKOMSG climsgid 41 re-enqueue"));
  for (int i = 0; i < 16; ++i) Step(500);
  Settle();
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[0].isRetry);
  EXPECT_TRUE(calls[1].isRetry);
  EXPECT_EQ(calls[1].atMs - t0, 6000);  // more than 5 s after the failure, on the next poll
  EXPECT_FALSE(root_.LogContains("RETRYFAIL"));
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size(), 0u);
  EXPECT_EQ(proc_->ProcessedItems().load(), 2u);
}

TEST_F(DispatchTest, AlwaysFailingHandlerIsCalledTwiceThenDropped) {
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVFILE, MsgHandler([&](CQueueMsg& m, bool isRetry) {
                               Record(m.msgid, isRetry);
                               return 0;
                             }));
  GetWorkQueue(WQUEUE_QID_FILE2NUV)->Enqueue(MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, Msg(900, L"c", L"v", L"k", L"t"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_FILE2NUV);
  for (int i = 0; i < 30; ++i) Step(500);
  Settle();
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[0].isRetry);
  EXPECT_TRUE(calls[1].isRetry);
  auto lines = root_.LogLines();
  int once = test::FindLog(lines, "DoProc[QID=1] RETRYONCE WQUEUE_ONDEKO2NUVFILE dkmsgid 900 re-enqueue");
  int fail = test::FindLog(lines, "DoProc[QID=1] RETRYFAIL WQUEUE_ONDEKO2NUVFILE dkmsgid 900 delete msg");
  ASSERT_GE(once, 0);
  EXPECT_GT(fail, once);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_FILE2NUV)->Size(), 0u);
}

TEST_F(DispatchTest, AFailingItemIsOvertakenByTheNextOne) {
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOFILE, MsgHandler([&](CQueueMsg& m, bool isRetry) {
                               Record(m.msgid, isRetry);
                               return m.msgid == 1 && !isRetry ? 0 : 1;
                             }));
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_FILE2ONDEKO);
  q->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOFILE, Msg(1, L"u", L"v", L"k", L"A"), Now()));
  q->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOFILE, Msg(2, L"u", L"v", L"k", L"B"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_FILE2ONDEKO);
  for (int i = 0; i < 16; ++i) Step(500);
  Settle();
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].id, 1u);
  EXPECT_EQ(calls[1].id, 2u);
  EXPECT_EQ(calls[2].id, 1u);
  EXPECT_TRUE(calls[2].isRetry);
}

TEST_F(DispatchTest, TokenAndFetchRetryLinesAndUnknownTypes) {
  proc_->Handlers().Register(WQUEUE_ONDEKOBINDTOKEN, TokenHandler([&](uint64_t token) {
                               Record(token, false);
                               return 0;
                             }));
  proc_->Handlers().Register(WQUEUE_FETCHONDEKOMSG, FetchHandler([&](uint64_t first, uint64_t last) {
                               Record(first * 1000 + last, false);
                               return 0;
                             }));
  EXPECT_FALSE(proc_->Handlers().Register(7, MsgHandler([](CQueueMsg&, bool) { return 1; })));
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  WorkItem unknown = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(5, L"u", L"v", L"k", L"x"), Now());
  unknown.type = 7;
  q->Enqueue(std::move(unknown));
  q->Enqueue(MakeTokenItem(1234567890123ULL, Now()));
  q->Enqueue(MakeFetchItem(101, 104, Now()));
  q->Enqueue(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(6, L"u", L"v", L"k", L"x"), Now()));  // no handler yet
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  for (int i = 0; i < 30; ++i) Step(500);
  Settle();
  EXPECT_EQ(Calls().size(), 4u);
  EXPECT_EQ(test::CountLog(root_, "DoProc[QID=2] MsgType = 7, Unknow msg, skip"), 1);
  EXPECT_EQ(test::CountLog(root_, "DoProc[QID=2] MsgType = 2, Unknow msg, skip"), 1);
  EXPECT_TRUE(root_.LogContains("DoProc[QID=2] RETRYONCE WQUEUE_ONDEKOBINDTOKEN token 1234567890123 re-enqueue"));
  EXPECT_TRUE(root_.LogContains("DoProc[QID=2] RETRYFAIL WQUEUE_ONDEKOBINDTOKEN token 1234567890123 delete msg"));
  EXPECT_TRUE(root_.LogContains("DoProc[QID=2] RETRYONCE WQUEUE_FETCHONDEKOMSG [101, 104] re-enqueue"));
  EXPECT_TRUE(root_.LogContains("DoProc[QID=2] RETRYFAIL WQUEUE_FETCHONDEKOMSG [101, 104] delete msg"));
  EXPECT_EQ(proc_->ProcessedItems().load(), 6u);
}

TEST_F(DispatchTest, ThrowingHandlerCountsAsAFailure) {
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([&](CQueueMsg& m, bool isRetry) -> int {
                               Record(m.msgid, isRetry);
                               throw std::runtime_error("boom");
                             }));
  GetWorkQueue(WQUEUE_QID_TXT2NUV)->Enqueue(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(8, L"c", L"v", L"k", L"t"), Now()));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 16; ++i) Step(500);
  Settle();
  EXPECT_EQ(Calls().size(), 2u);
  EXPECT_EQ(test::CountLog(root_, "DoProc[QID=0] MsgType = 2 handler exception 'boom'"), 2);
  EXPECT_TRUE(root_.LogContains("DoProc[QID=0] RETRYFAIL WQUEUE_ONDEKO2NUVMSG dkmsgid 8 delete msg"));
}

TEST_F(DispatchTest, WaitsWhileNotStartedWithoutTouchingTheQueue) {
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([&](CQueueMsg& m, bool isRetry) {
                               Record(m.msgid, isRetry);
                               return 1;
                             }));
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2NUV);
  const int32_t created = q->GetLastOutqueueTime();
  q->Enqueue(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(3, L"c", L"v", L"k", L"t"), Now()));
  RunWorker(WQUEUE_QID_TXT2NUV);
  for (int i = 0; i < 60; ++i) Step(500);  // 30 s in INIT
  Settle();
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(q->GetLastOutqueueTime(), created);
  EXPECT_EQ(test::CountLog(root_, "DoProc[QID=0] Proc Status is 0 , not START , wait it"), 2);  // 0 s and 20 s
  // The status change wakes the worker: no virtual time passes.
  const int64_t changedAt = clock_.NowMs();
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  ASSERT_TRUE(test::WaitReal([&] { return Calls().size() == 1; }));
  EXPECT_EQ(Calls()[0].atMs, changedAt);
  Settle();
  EXPECT_EQ(test::CountLog(root_, "DoProc[QID=0] Proc Status is START , work it now !"), 1);
}

TEST_F(DispatchTest, TakesEachItemTheMomentItIsQueued) {
  proc_->Handlers().Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([&](CQueueMsg& m, bool isRetry) {
                               Record(m.msgid, isRetry);
                               return 1;
                             }));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2NUV);
  Step(7000);  // the worker sleeps on its empty queue
  const int64_t t0 = clock_.NowMs();
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2NUV);
  for (uint64_t id = 1; id <= 3; ++id) {
    q->Enqueue(MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(id, L"c", L"v", L"k", L"t"), Now()));
    ASSERT_TRUE(test::WaitReal([&] { return Calls().size() == id; })) << id;
    Settle();
  }
  for (const Call& c : Calls()) EXPECT_EQ(c.atMs, t0) << c.id;
  EXPECT_EQ(proc_->ProcessedItems().load(), 3u);
}

TEST_F(DispatchTest, HeldBackRetryIsTakenOnlyAfterMoreThanFiveSeconds) {
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOMSG, MsgHandler([&](CQueueMsg& m, bool isRetry) {
                               Record(m.msgid, isRetry);
                               return m.msgid == 1 && !isRetry ? 0 : 1;
                             }));
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  RunWorker(WQUEUE_QID_TXT2ONDEKO);
  Settle();
  const int64_t t0 = clock_.NowMs();  // on a whole second
  q->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(1, L"u", L"v", L"k", L"A"), Now()));
  ASSERT_TRUE(test::WaitReal([&] { return Calls().size() == 1; }));
  // A fresh item queued while the failed one waits is taken at once.
  Step(2300);
  q->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(2, L"u", L"v", L"k", L"B"), Now()));
  ASSERT_TRUE(test::WaitReal([&] { return Calls().size() == 2; }));
  Settle();
  EXPECT_EQ(Calls()[1].atMs - t0, 2300);
  // 5.999 s after the failure the item is still held back...
  Step(3699);
  EXPECT_EQ(Calls().size(), 2u);
  EXPECT_EQ(q->Size(), 1u);
  // ...and taken in the second in which more than 5 s have passed.
  Step(1);
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].id, 1u);
  EXPECT_TRUE(calls[2].isRetry);
  EXPECT_EQ(calls[2].atMs - t0, 6000);
  EXPECT_EQ(q->Size(), 0u);
}

// Every routine of the processor's queues sleeps (on an empty queue, on a
// held-back retry, on a combining window, waiting for START); the stop
// request ends them all without any more virtual time passing.
TEST_F(DispatchTest, StopEndsEveryWaitingRoutineAtOnce) {
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOFILE, MsgHandler([](CQueueMsg&, bool) { return 0; }));
  GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)
      ->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOFILE, Msg(1, L"u", L"v", L"k", L"A"), Now()));
  WorkItem combined = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(2, L"u", L"v", L"{K}", L"B"), Now());
  ASSERT_TRUE(GetCombineQueue().Enqueue(combined));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  std::atomic<int> ended{0};
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid)
    threads_.emplace_back([this, qid, &ended] {
      proc_->DoProc(qid);
      ++ended;
    });
  threads_.emplace_back([this, &ended] {
    proc_->CombineMsg();
    ++ended;
  });
  ASSERT_TRUE(clock_.WaitUntilSettled(5));
  // END first (the workers go to their "not START" wait), then, after the
  // 20 s for the control thread, the stop request.
  test::ShutdownDriving(*proc_, clock_);
  const int64_t stoppedAt = clock_.NowMs();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(test::WaitReal([&] { return ended.load() == 5; }, 1000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  EXPECT_EQ(clock_.NowMs(), stoppedAt);
  EXPECT_GE(test::CountLog(root_, "DoProc[QID=3] Proc Status is 3 , not START , wait it"), 1);
  // Should a routine still run, time must move for it before the join.
  test::DriveUntil(clock_, [&] { return ended.load() == 5; });
  for (auto& t : threads_) t.join();
  threads_.clear();
}

}  // namespace
}  // namespace nuv
