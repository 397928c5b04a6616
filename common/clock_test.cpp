#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
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


TEST_F(ClockTest, WakeupEventKeepsAnEarlyNotifyAndTimesOutInVirtualTime) {
  VirtualClock clock;
  SetClockForTest(&clock);
  WakeupEvent ev;
  ev.Notify();
  EXPECT_TRUE(ev.WaitMs(5000));  // set before the wait: no time passes
  EXPECT_EQ(clock.NowMs(), 1765274400000LL);
  std::atomic<int> result{-1};
  std::thread t([&] { result = ev.WaitMs(5000) ? 1 : 0; });
  ASSERT_TRUE(clock.WaitUntilSettled(1));
  clock.Advance(4999);
  ASSERT_TRUE(clock.WaitUntilSettled(1));
  EXPECT_EQ(result.load(), -1);
  clock.Advance(1);
  t.join();
  EXPECT_EQ(result.load(), 0);
}

// A notified sleeper is not settled until it has run and slept again, so a
// test can step right after a Notify without racing the woken thread.
TEST_F(ClockTest, SettledWaitsForANotifiedSleeper) {
  VirtualClock clock;
  SetClockForTest(&clock);
  WakeupEvent ev;
  std::atomic<int> wakes{0};
  std::atomic<bool> stop{false};
  std::thread t([&] {
    while (!stop) {
      if (ev.WaitMs(60000)) ++wakes;
    }
  });
  for (int i = 1; i <= 50; ++i) {
    ASSERT_TRUE(clock.WaitUntilSettled(1));
    ev.Notify();
    ASSERT_TRUE(clock.WaitUntilSettled(1));
    ASSERT_EQ(wakes.load(), i);
  }
  EXPECT_EQ(clock.NowMs(), 1765274400000LL);
  stop = true;
  ev.Notify();
  t.join();
}

TEST_F(ClockTest, PollForEndsOnReadinessOrAtTheVirtualDeadline) {
  VirtualClock clock(VirtualClock::Mode::kAuto);  // PollFor never jumps, even in auto mode
  SetClockForTest(&clock);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto pollPipe = [&](uint32_t sliceMs) {
    pollfd p{fds[0], POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(sliceMs));
  };
  std::atomic<int> rc{-5};
  std::thread t([&] { rc = GetClock().PollFor(3000, pollPipe); });
  ASSERT_TRUE(clock.WaitUntilSettled(1));
  clock.Advance(2999);
  ASSERT_TRUE(clock.WaitUntilSettled(1));
  EXPECT_EQ(rc.load(), -5);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  t.join();
  EXPECT_EQ(rc.load(), 1);
  EXPECT_EQ(clock.NowMs(), 1765274400000LL + 2999);
  char c;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);

  std::thread t2([&] { rc = GetClock().PollFor(3000, pollPipe); });
  ASSERT_TRUE(clock.WaitUntilSettled(1));
  clock.Advance(3000);
  t2.join();
  EXPECT_EQ(rc.load(), 0);
  ::close(fds[0]);
  ::close(fds[1]);

  // The real clock hands the whole wait to the poll.
  SystemClock real;
  uint32_t asked = 0;
  EXPECT_EQ(real.PollFor(1234, [&](uint32_t ms) { asked = ms; return 7; }), 7);
  EXPECT_EQ(asked, 1234u);
}

}  // namespace
}  // namespace nuv
