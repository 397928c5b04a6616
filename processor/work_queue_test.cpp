#include "processor/work_queue.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "common/clock.h"
#include "config/config_center.h"
#include "processor/processor_test_util.h"

namespace nuv {
namespace {

class WorkQueueTest : public test::ClockedTest {
 protected:
  int32_t Now() { return static_cast<int32_t>(clock_.Now()); }
  WorkItem Txt(uint64_t id, int retry = 0) {
    WorkItem item = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, test::Msg(id, L"u", L"v", L"k", L"t"), Now());
    item.retryCount = retry;
    return item;
  }
};

TEST_F(WorkQueueTest, LookupCreatesOnceAndRefusesUnknownIds) {
  EXPECT_EQ(GetWorkQueue(4), nullptr);
  EXPECT_EQ(GetWorkQueue(-1), nullptr);
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_FILE2NUV);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->qid(), WQUEUE_QID_FILE2NUV);
  EXPECT_EQ(GetWorkQueue(WQUEUE_QID_FILE2NUV), q);
  EXPECT_EQ(q->GetLastEnqueueTime(), Now());
  EXPECT_EQ(q->GetLastOutqueueTime(), Now());

  // Concurrent first lookups agree on one queue.
  ReleaseWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  std::vector<CWorkQueue*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<CWorkQueue*>(seen.begin(), seen.end()).size(), 1u);
}

TEST_F(WorkQueueTest, OrderAndOwnershipMoveWithTheItem) {
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  q->Enqueue(Txt(1));
  q->Enqueue(MakeTokenItem(77, Now()));
  q->Enqueue(MakeFetchItem(5, 9, Now()));
  EXPECT_EQ(q->Size(), 3u);

  WorkItem out;
  ASSERT_TRUE(q->OutQueue(out));
  ASSERT_NE(out.msg, nullptr);
  EXPECT_EQ(out.msg->msgid, 1u);
  ASSERT_TRUE(q->OutQueue(out));  // the previous payload is released here
  EXPECT_EQ(out.type, WQUEUE_ONDEKOBINDTOKEN);
  EXPECT_EQ(out.msg, nullptr);
  EXPECT_EQ(out.token, 77u);
  ASSERT_TRUE(q->OutQueue(out));
  EXPECT_EQ(out.range.first, 5u);
  EXPECT_EQ(out.range.last, 9u);
  EXPECT_FALSE(q->OutQueue(out));
  EXPECT_EQ(out.type, 0);  // cleared when nothing is ready
  EXPECT_EQ(q->Size(), 0u);
}

TEST_F(WorkQueueTest, RetryPauseSkipsForFiveSecondsAndYoungerItemsOvertake) {
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  q->Enqueue(Txt(1, /*retry=*/1));  // put back after a failure, now
  clock_.Advance(1000);
  q->Enqueue(Txt(2));

  WorkItem out;
  ASSERT_TRUE(q->OutQueue(out));
  EXPECT_EQ(out.msg->msgid, 2u);  // the fresh item overtakes
  EXPECT_FALSE(q->OutQueue(out));
  EXPECT_EQ(q->Size(), 1u);  // the waiting item still counts

  clock_.Advance(4000);  // exactly 5 s after it was put back: still held
  EXPECT_FALSE(q->OutQueue(out));
  clock_.Advance(999);
  EXPECT_FALSE(q->OutQueue(out));
  clock_.Advance(1);  // 6 s
  ASSERT_TRUE(q->OutQueue(out));
  EXPECT_EQ(out.msg->msgid, 1u);
  EXPECT_EQ(out.retryCount, 1);
}

TEST_F(WorkQueueTest, OutQueueRefreshesTakeOutTimeEvenWhenNothingIsReady) {
  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2NUV);
  clock_.Advance(30000);
  WorkItem out;
  EXPECT_FALSE(q->OutQueue(out));
  EXPECT_EQ(q->GetLastOutqueueTime(), Now());
  clock_.Advance(2000);
  q->Enqueue(Txt(3));
  EXPECT_EQ(q->GetLastEnqueueTime(), Now());
}

TEST_F(WorkQueueTest, EnqueueDeadAfterLongSilenceUnlessSomethingWaits) {
  for (int i = 0; i < WQUEUE_QID_COUNT; ++i) GetWorkQueue(i);
  const uint32_t interval = CConfigCenter::GetInstance().values().enqInterval;
  ASSERT_EQ(interval, 1800u);
  clock_.Advance(1800 * 1000);
  EXPECT_FALSE(IsEnqueueDead());
  clock_.Advance(1000);
  EXPECT_TRUE(IsEnqueueDead());
  EXPECT_TRUE(root_.LogContains("IsEnqueueDead now " + std::to_string(Now()) + " lastest enqueue time " +
                                std::to_string(Now() - 1801) + " diff > 1800 sec, DEAD"));

  // One item waiting anywhere (even one held back for its retry) keeps it alive.
  GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)->Enqueue(Txt(4, 1));
  clock_.Advance(4000 * 1000);
  EXPECT_FALSE(IsEnqueueDead());
  WorkItem out;
  clock_.Advance(10000);
  ASSERT_TRUE(GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)->OutQueue(out));
  EXPECT_TRUE(IsEnqueueDead());  // empty again, and the last enqueue was 4010 s ago
}

TEST_F(WorkQueueTest, OutqueueDeadOnlyForAQueueHoldingItems) {
  for (int i = 0; i < WQUEUE_QID_COUNT; ++i) GetWorkQueue(i);
  const uint32_t interval = CConfigCenter::GetInstance().values().outqInterval;
  ASSERT_EQ(interval, 60u);
  clock_.Advance(3600 * 1000);
  EXPECT_FALSE(IsOutqueueDead());  // empty queues never count

  CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO);
  WorkItem out;
  q->OutQueue(out);  // polled now, then the worker stalls
  const int32_t polled = Now();
  q->Enqueue(Txt(5));
  clock_.Advance(60 * 1000);
  EXPECT_FALSE(IsOutqueueDead());
  clock_.Advance(1000);
  EXPECT_TRUE(IsOutqueueDead());
  EXPECT_TRUE(root_.LogContains("IsOutqueueDead WQUEUE_QID_TXT2ONDEKO size 1 now " + std::to_string(Now()) +
                                " outqueue time " + std::to_string(polled) + " diff > 60 sec, DEAD"));
}

}  // namespace
}  // namespace nuv
