#include <gtest/gtest.h>

#include <thread>

#include "common/clock.h"
#include "common/func_timer.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"

namespace nuv {
namespace {

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override { SetClockForTest(nullptr); }
};

TEST_F(ClockTest, ManualSleeperWakesOnlyWhenVirtualTimePasses) {
  VirtualClock clock;
  SetClockForTest(&clock);
  std::atomic<bool> woke{false};
  std::thread t([&] {
    GetClock().SleepMs(5000);
    woke = true;
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.Advance(4999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(woke);
  clock.Advance(1);
  t.join();
  EXPECT_TRUE(woke);
}

TEST_F(ClockTest, AutoClockJumpsToDeadline) {
  VirtualClock clock(VirtualClock::Mode::kAuto, 1000000);
  SetClockForTest(&clock);
  GetClock().SleepMs(900000);
  EXPECT_EQ(clock.NowMs(), 1000000 + 900000);
  EXPECT_EQ(clock.Now(), 1900);
}

TEST_F(ClockTest, WaitForReturnsOnNotifyOrDeadline) {
  VirtualClock clock;
  SetClockForTest(&clock);
  std::mutex mu;
  std::condition_variable cv;
  bool flag = false;
  std::thread t([&] {
    clock.WaitForSleepers(1);
    std::lock_guard<std::mutex> g(mu);
    flag = true;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(GetClock().WaitFor(lk, cv, 20000, [&] { return flag; }));
  }
  t.join();
  std::thread t2([&] {
    clock.WaitForSleepers(1);
    clock.Advance(20000);
  });
  std::unique_lock<std::mutex> lk(mu);
  flag = false;
  EXPECT_FALSE(GetClock().WaitFor(lk, cv, 20000, [&] { return flag; }));
  lk.unlock();
  t2.join();
}

TEST_F(ClockTest, TickWrapsAndLapIsWrapSafe) {
  VirtualClock clock(VirtualClock::Mode::kManual, 1765274400000LL, 4294967290u);
  SetClockForTest(&clock);
  FuncTimer timer(L"Wrap");
  clock.Advance(11);
  EXPECT_EQ(clock.TickMs(), 5u);
  EXPECT_EQ(timer.Lap(), 11u);
  clock.Advance(7);
  EXPECT_EQ(timer.Lap(), 7u);
}

TEST_F(ClockTest, TimerReportsOnlyWhenEnabled) {
  test::TempInstallRoot root;
  VirtualClock clock;
  SetClockForTest(&clock);
  { FuncTimer quiet(L"Quiet"); clock.Advance(5); }
  {
    FuncTimer loud(L"SendFileMsg2Nuv");
    loud.EnableReport(true);
    clock.Advance(42);
  }
  EXPECT_FALSE(root.LogContains("Quiet"));
  EXPECT_TRUE(root.LogContains("SendFileMsg2Nuv() TOTALTIME 42 ms"));
}

TEST_F(ClockTest, SleepUnlessStopsEarly) {
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  int polls = 0;
  EXPECT_TRUE(SleepUnless(60000, [&] { return ++polls > 3; }, 1000));
  EXPECT_LE(clock.NowMs() - 1765274400000LL, 3000);
}

}  // namespace
}  // namespace nuv
