#include "processor/combine_queue.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/clock.h"
#include "processor/processor_test_util.h"

namespace nuv {
namespace {

using test::Msg;

class CombineQueueTest : public test::ClockedTest {
 protected:
  bool Put(std::unique_ptr<CQueueMsg> m, int type = WQUEUE_NUV2ONDEKOMSG) {
    WorkItem item = MakeMsgItem(type, std::move(m), static_cast<int32_t>(clock_.Now()));
    return GetCombineQueue().Enqueue(item);
  }
  static CQueueFile File(const std::wstring& fid, int size) {
    CQueueFile f;
    f.fid = fid;
    f.size = size;
    return f;
  }
  std::vector<WorkItem> Out() {
    std::vector<WorkItem> out;
    GetCombineQueue().CombineOutQueue(out);
    return out;
  }
};

TEST_F(CombineQueueTest, CombineMsgJoinsReceiversOfCopiesOnly) {
  auto a = Msg(10, L"alice", L"a", L"{K}", L"hi");
  auto b = Msg(11, L"alice", L"b;c", L"{K}", L"hi");
  EXPECT_TRUE(CombineMsg(*a, *b));
  EXPECT_EQ(a->to, L"a;b;c");
  EXPECT_TRUE(root_.LogContains("CombineMsg climsgid 11 to 10, 'alice' to newrecv a;b;c"));

  auto dup = Msg(12, L"alice", L"a", L"{K}", L"hi");
  EXPECT_TRUE(CombineMsg(*a, *dup));
  EXPECT_EQ(a->to, L"a;b;c;a");  // receivers are not de-duplicated

  auto otherText = Msg(13, L"alice", L"d", L"{K}", L"Hi");
  auto otherFrom = Msg(14, L"bob", L"d", L"{K}", L"hi");
  auto otherKey = Msg(15, L"alice", L"d", L"{L}", L"hi");
  EXPECT_FALSE(CombineMsg(*a, *otherText));
  EXPECT_FALSE(CombineMsg(*a, *otherFrom));
  EXPECT_FALSE(CombineMsg(*a, *otherKey));
  EXPECT_EQ(a->to, L"a;b;c;a");
}

TEST_F(CombineQueueTest, AttachmentsMustMatchByFidAndSize) {
  auto a = Msg(1, L"u", L"a", L"{K}", L"");
  a->files = {File(L"F1", 10), File(L"F2", 20)};
  auto sameReordered = Msg(2, L"u", L"b", L"{K}", L"");
  sameReordered->files = {File(L"F2", 20), File(L"F1", 10)};
  EXPECT_TRUE(CombineMsg(*a, *sameReordered));

  auto otherSize = Msg(3, L"u", L"c", L"{K}", L"");
  otherSize->files = {File(L"F1", 10), File(L"F2", 21)};
  EXPECT_FALSE(CombineMsg(*a, *otherSize));
  auto fewer = Msg(4, L"u", L"c", L"{K}", L"");
  fewer->files = {File(L"F1", 10)};
  EXPECT_FALSE(CombineMsg(*a, *fewer));
  auto caseDiffers = Msg(5, L"u", L"c", L"{K}", L"");
  caseDiffers->files = {File(L"f1", 10), File(L"F2", 20)};
  EXPECT_FALSE(CombineMsg(*a, *caseDiffers));
}

TEST_F(CombineQueueTest, EnqueueRefusesOtherTypesAndLeavesThemWithTheCaller) {
  WorkItem item = MakeMsgItem(WQUEUE_ONDEKO2NUVMSG, Msg(1, L"u", L"a", L"{K}", L"x"), 0);
  EXPECT_FALSE(GetCombineQueue().Enqueue(item));
  ASSERT_NE(item.msg, nullptr);
  EXPECT_EQ(item.msg->msgid, 1u);
  WorkItem empty;
  empty.type = WQUEUE_NUV2ONDEKOMSG;
  EXPECT_FALSE(GetCombineQueue().Enqueue(empty));
  EXPECT_TRUE(Put(Msg(2, L"u", L"a", L"{K}", L"x"), WQUEUE_NUV2ONDEKOFILE));
  EXPECT_EQ(GetCombineQueue().Size(), 1u);
}

TEST_F(CombineQueueTest, ThreeCopiesWithin300msLeaveAsOneAfterTheWindow) {
  const uint32_t t0 = clock_.TickMs();
  ASSERT_TRUE(Put(Msg(1, L"u", L"a", L"{K}", L"hello")));
  clock_.Advance(150);
  ASSERT_TRUE(Put(Msg(2, L"u", L"b", L"{K}", L"hello")));
  clock_.Advance(150);
  ASSERT_TRUE(Put(Msg(3, L"u", L"c", L"{K}", L"hello")));

  EXPECT_TRUE(Out().empty());  // merged, but still inside its second
  EXPECT_EQ(GetCombineQueue().Size(), 1u);
  EXPECT_EQ(test::CountLog(root_, "CombineMsg climsgid"), 2);

  clock_.Advance(700);  // exactly 1000 ms after the first
  EXPECT_TRUE(Out().empty());
  clock_.Advance(1);
  auto out = Out();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].msg->msgid, 1u);
  EXPECT_EQ(out[0].msg->to, L"a;b;c");
  EXPECT_EQ(out[0].msg->combineTick, t0);
  EXPECT_EQ(out[0].retryCount, 0);
  EXPECT_EQ(GetCombineQueue().Size(), 0u);
}

// Passes between the arrivals: items compared by an earlier pass are still
// compared with every later arrival, and a copy merges into the oldest of
// its kind that is still within its window, whichever pass sees it.
TEST_F(CombineQueueTest, CopiesArrivingBetweenPassesMergeWithItemsComparedBefore) {
  ASSERT_TRUE(Put(Msg(1, L"u", L"a", L"{K}", L"one")));
  ASSERT_TRUE(Put(Msg(2, L"u", L"a", L"{L}", L"two")));
  EXPECT_TRUE(Out().empty());
  clock_.Advance(200);
  ASSERT_TRUE(Put(Msg(3, L"u", L"b", L"{L}", L"two")));
  EXPECT_TRUE(Out().empty());
  clock_.Advance(200);
  ASSERT_TRUE(Put(Msg(4, L"u", L"c", L"{K}", L"one")));
  ASSERT_TRUE(Put(Msg(5, L"u", L"d", L"{M}", L"three")));
  EXPECT_TRUE(Out().empty());
  clock_.Advance(700);  // 1100 ms after 1 and 2: only they leave
  ASSERT_TRUE(Put(Msg(6, L"u", L"e", L"{M}", L"three")));
  ASSERT_TRUE(Put(Msg(7, L"u", L"f", L"{K}", L"one")));  // 1's window is over
  auto out = Out();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].msg->msgid, 1u);
  EXPECT_EQ(out[0].msg->to, L"a;c");
  EXPECT_EQ(out[1].msg->msgid, 2u);
  EXPECT_EQ(out[1].msg->to, L"a;b");
  clock_.Advance(1001);
  out = Out();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].msg->msgid, 5u);
  EXPECT_EQ(out[0].msg->to, L"d;e");
  EXPECT_EQ(out[1].msg->msgid, 7u);
  EXPECT_EQ(out[1].msg->to, L"f");
  EXPECT_EQ(GetCombineQueue().Size(), 0u);
}

TEST_F(CombineQueueTest, DifferentTextOrLateCopiesStaySeparate) {
  ASSERT_TRUE(Put(Msg(1, L"u", L"a", L"{K}", L"one")));
  ASSERT_TRUE(Put(Msg(2, L"u", L"b", L"{K}", L"two")));
  clock_.Advance(1001);
  EXPECT_EQ(Out().size(), 2u);

  // A copy 1.5 s after the first: the first has left by then.
  ASSERT_TRUE(Put(Msg(3, L"u", L"a", L"{K}", L"same")));
  clock_.Advance(1001);
  auto first = Out();
  ASSERT_EQ(first.size(), 1u);
  clock_.Advance(499);
  ASSERT_TRUE(Put(Msg(4, L"u", L"b", L"{K}", L"same")));
  clock_.Advance(1001);
  auto second = Out();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(first[0].msg->to, L"a");
  EXPECT_EQ(second[0].msg->to, L"b");
}

TEST_F(CombineQueueTest, CopyMoreThanASecondYoungerIsNotMergedEvenIfBothStillWait) {
  ASSERT_TRUE(Put(Msg(1, L"u", L"a", L"{K}", L"same")));
  clock_.Advance(1500);
  ASSERT_TRUE(Put(Msg(2, L"u", L"b", L"{K}", L"same")));
  auto out = Out();  // the old one leaves (older than the newest by > 1 s), the copy stays
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].msg->to, L"a");
  EXPECT_EQ(GetCombineQueue().Size(), 1u);
}

// A clock over the test's clock whose tick read on one chosen thread is
// held back (bounded, real time) until the test says the other producer is
// done: it makes that producer's stamp older than the other's.
class HeldTickClock : public Clock {
 public:
  explicit HeldTickClock(VirtualClock& inner) : inner_(inner) {}
  int64_t Now() override { return inner_.Now(); }
  int64_t NowMs() override { return inner_.NowMs(); }
  uint32_t TickMs() override {
    const uint32_t t = inner_.TickMs();
    if (std::this_thread::get_id() == held.load()) {
      reading = true;
      test::WaitReal([&] { return otherDone.load(); }, 300);
    }
    return t;
  }
  void SleepMs(uint32_t ms) override { inner_.SleepMs(ms); }
  bool WaitFor(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
               const std::function<bool()>& pred) override {
    return inner_.WaitFor(lk, cv, ms, pred);
  }

  std::atomic<std::thread::id> held{};
  std::atomic<bool> reading{false};
  std::atomic<bool> otherDone{false};

 private:
  VirtualClock& inner_;
};

// Copies raised on two IM event threads at once: one thread reads the tick,
// then the other stamps a later tick and enqueues first. The stamps must
// still follow the queue order, or the later copy looks more than a second
// older than the first and the two are not merged.
TEST_F(CombineQueueTest, ConcurrentCopiesAreStampedInQueueOrderAndMerge) {
  HeldTickClock held(clock_);
  SetClockForTest(&held);
  std::thread slow([&] {
    held.held = std::this_thread::get_id();
    EXPECT_TRUE(Put(Msg(1, L"u", L"a", L"{K}", L"same")));
  });
  ASSERT_TRUE(test::WaitReal([&] { return held.reading.load(); }));
  clock_.Advance(5);
  EXPECT_TRUE(Put(Msg(2, L"u", L"b", L"{K}", L"same")));
  held.otherDone = true;
  slow.join();
  SetClockForTest(&clock_);

  clock_.Advance(1001);
  auto out = Out();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].msg->to, L"a;b");
  EXPECT_EQ(test::CountLog(root_, "CombineMsg climsgid"), 1);
}

TEST_F(CombineQueueTest, WindowHoldsAcrossTheTickWrap) {
  VirtualClock wrapping(VirtualClock::Mode::kManual, 1765274400000LL, 0xFFFFFF00u);
  SetClockForTest(&wrapping);
  ASSERT_TRUE(Put(Msg(1, L"u", L"a", L"{K}", L"w")));
  wrapping.Advance(600);  // the tick wraps past zero
  ASSERT_TRUE(Put(Msg(2, L"u", L"b", L"{K}", L"w")));
  ASSERT_TRUE(Put(Msg(3, L"u", L"c", L"{K}", L"other")));
  std::vector<WorkItem> out;
  EXPECT_FALSE(GetCombineQueue().CombineOutQueue(out));
  wrapping.Advance(401);
  ASSERT_TRUE(GetCombineQueue().CombineOutQueue(out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].msg->to, L"a;b");
  wrapping.Advance(600);
  ASSERT_TRUE(GetCombineQueue().CombineOutQueue(out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].msg->msgid, 3u);
  SetClockForTest(&clock_);
}

}  // namespace
}  // namespace nuv
