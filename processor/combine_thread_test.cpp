// The combining thread and the concurrency of the queues: many producers
// while the workers drain, nothing lost and nothing handled twice.

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "common/clock.h"
#include "processor/processor_test_util.h"

namespace nuv {
namespace {

using test::Msg;

using CombineThreadTest = test::BareProcessorTest;

TEST_F(CombineThreadTest, LoneMessagesLeaveAfterAboutOneSecondToTheirQueue) {
  threads_.emplace_back([this] { proc_->CombineMsg(); });
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  WorkItem txt = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(7, L"u", L"a", L"{K1}", L"hi"), 0);
  auto withFile = Msg(8, L"u", L"b", L"{K2}", L"");
  withFile->files.resize(1);
  withFile->files[0].fid = L"F";
  WorkItem file = MakeMsgItem(WQUEUE_NUV2ONDEKOFILE, std::move(withFile), 0);
  ASSERT_TRUE(GetCombineQueue().Enqueue(txt));
  ASSERT_TRUE(GetCombineQueue().Enqueue(file));

  CWorkQueue* textQ = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  CWorkQueue* fileQ = GetWorkQueue(WQUEUE_QID_FILE2ONDEKO);
  int64_t waited = 0;
  while (textQ->Size() == 0 && waited < 3000) {
    Step(200);
    waited += 200;
  }
  EXPECT_GT(waited, 1000);
  EXPECT_LE(waited, 1200);
  EXPECT_EQ(textQ->Size(), 1u);
  EXPECT_EQ(fileQ->Size(), 1u);
  WorkItem out;
  ASSERT_TRUE(fileQ->OutQueue(out));
  EXPECT_EQ(out.type, WQUEUE_NUV2ONDEKOFILE);
  EXPECT_EQ(out.msg->msgid, 8u);
  EXPECT_EQ(out.retryCount, 0);
  EXPECT_TRUE(root_.LogContains("CombineMsg Enqueue climsgid 7 'u'->'a' to TXT2ONDEKO"));
  EXPECT_TRUE(root_.LogContains("CombineMsg Enqueue climsgid 8 'u'->'b' to FILE2ONDEKO"));
  EXPECT_EQ(GetCombineQueue().Size(), 0u);
}

// Copies arriving within the first message's second are merged into it and
// leave with it once that second is over (not before); a copy arriving later
// leaves on its own, a second after it came.
TEST_F(CombineThreadTest, CopiesWithinTheWindowLeaveMergedWhenItEnds) {
  threads_.emplace_back([this] { proc_->CombineMsg(); });
  ASSERT_TRUE(clock_.WaitUntilSettled(1));
  auto copy = [](uint64_t id, const wchar_t* to) {
    WorkItem item = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, Msg(id, L"u", to, L"{K}", L"same"), 0);
    EXPECT_TRUE(GetCombineQueue().Enqueue(item));
  };
  CWorkQueue* textQ = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  copy(1, L"a");
  Step(400);
  copy(2, L"b");
  Step(500);
  copy(3, L"c");
  Step(100);  // exactly one second after the first
  EXPECT_EQ(textQ->Size(), 0u);
  EXPECT_EQ(GetCombineQueue().Size(), 3u);
  Step(1);
  ASSERT_EQ(textQ->Size(), 1u);
  EXPECT_EQ(GetCombineQueue().Size(), 0u);
  WorkItem out;
  ASSERT_TRUE(textQ->OutQueue(out));
  EXPECT_EQ(out.msg->msgid, 1u);
  EXPECT_EQ(out.msg->to, L"a;b;c");
  EXPECT_EQ(test::CountLog(root_, "CombineMsg climsgid "), 2);

  Step(499);  // 1.5 s after the first copy
  copy(4, L"d");
  Step(1000);
  EXPECT_EQ(textQ->Size(), 0u);
  Step(1);
  ASSERT_TRUE(textQ->OutQueue(out));
  EXPECT_EQ(out.msg->msgid, 4u);
  EXPECT_EQ(out.msg->to, L"d");
}

// Many producers feed the combine queue and a work queue directly while the
// combining thread and two workers drain them; some handlers fail once. Every
// message must reach a successful handler call exactly once, and each failed
// one exactly twice in all.
TEST(ProcessorConcurrencyTest, ManyProducersLoseAndDuplicateNothing) {
  test::TempInstallRoot root;
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  test::ResetQueues();
  auto proc = std::make_unique<CNuv4OndekoProcessor>();

  std::mutex mu;
  std::map<uint64_t, int> calls;  // msgid -> handler calls
  std::map<uint64_t, int> done;   // msgid -> successful calls
  std::atomic<int> finished{0};
  auto handler = MsgHandler([&](CQueueMsg& m, bool isRetry) {
    std::lock_guard<std::mutex> g(mu);
    ++calls[m.msgid];
    if (m.msgid % 7 == 0 && !isRetry) return 0;  // fails once, passes on the retry
    ++done[m.msgid];
    ++finished;
    return 1;
  });
  proc->Handlers().Register(WQUEUE_NUV2ONDEKOMSG, handler);
  proc->Handlers().Register(WQUEUE_NUV2ONDEKOFILE, handler);
  proc->SetStatus(CNuv4OndekoProcessor::START);

  std::vector<std::thread> consumers;
  consumers.emplace_back([&] { proc->DoProc(WQUEUE_QID_TXT2ONDEKO); });
  consumers.emplace_back([&] { proc->DoProc(WQUEUE_QID_FILE2ONDEKO); });
  consumers.emplace_back([&] { proc->CombineMsg(); });

  constexpr int kProducers = 8;
  constexpr int kPerProducer = 600;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p] {
      for (int i = 0; i < kPerProducer; ++i) {
        const uint64_t id = static_cast<uint64_t>(p) * 100000 + i + 1;
        auto m = Msg(id, L"u" + std::to_wstring(p), L"r", L"{" + std::to_wstring(id) + L"}", L"t");
        if (p % 2 == 0) {
          // Through the combine queue; every other one carries a file.
          int type = WQUEUE_NUV2ONDEKOMSG;
          if (i % 2) {
            m->files.resize(1);
            m->files[0].fid = std::to_wstring(id);
            type = WQUEUE_NUV2ONDEKOFILE;
          }
          WorkItem item = MakeMsgItem(type, std::move(m), static_cast<int32_t>(GetClock().Now()));
          GetCombineQueue().Enqueue(item);
        } else {
          GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(
              MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, std::move(m), static_cast<int32_t>(GetClock().Now())));
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  const int total = kProducers * kPerProducer;
  EXPECT_TRUE(test::WaitReal([&] { return finished.load() >= total; }, 60000));

  proc->Shutdown();
  for (auto& t : consumers) t.join();
  {
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(static_cast<int>(done.size()), total);
    int wrong = 0;
    for (auto& [id, n] : done) {
      if (n != 1) ++wrong;
      if (calls[id] != (id % 7 == 0 ? 2 : 1)) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
  }
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size(), 0u);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)->Size(), 0u);
  EXPECT_EQ(GetCombineQueue().Size(), 0u);
  proc.reset();
  test::ResetQueues();
  SetClockForTest(nullptr);
}

}  // namespace
}  // namespace nuv
