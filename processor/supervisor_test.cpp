// The supervisor: thread start with stack sizes, restart of a thread whose
// routine returns, thread start failure, the dead-queue grace and the lock
// sweep.

#include <gtest/gtest.h>
#include <pthread.h>

#include "common/clock.h"
#include "common/cs_lock.h"
#include "processor/processor_test_util.h"
#include "processor/sized_thread.h"

namespace nuv {
namespace {

size_t OwnStackSize() {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

TEST(SizedThreadTest, RunsWithTheRequestedStackAndReportsItsId) {
  for (size_t want : {size_t{1024000}, size_t{4096000}, size_t{10240000}}) {
    SizedThread t;
    std::atomic<size_t> seen{0};
    ASSERT_TRUE(t.Start(want, [&] { seen = OwnStackSize(); }));
    EXPECT_NE(t.Id(), 0u);
    t.Join();
    EXPECT_GE(seen.load(), want);
    EXPECT_LT(seen.load(), want + 65536);
  }
  SizedThread tooSmall;
  std::atomic<bool> ran{false};
  EXPECT_FALSE(tooSmall.Start(16, [&] { ran = true; }));
  EXPECT_FALSE(tooSmall.Joinable());
  EXPECT_FALSE(ran.load());
}

class SupervisorTest : public test::ClockedTest {
 protected:
  void SetUp() override {
    ClockedTest::SetUp();
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
    ProcessorSeams& s = proc_->Seams();
    s.imApp = [this] { return &app_; };
    s.pushFactory = test::FakePushFactory(push_);
    ends_.Install(s);
  }
  void TearDown() override {
    test::ShutdownDriving(*proc_, clock_);
    proc_.reset();
    ClockedTest::TearDown();
  }
  bool Logged(const std::string& s) { return root_.LogContains(s); }
  std::string IdLine(const char* name, unsigned long id) {
    return std::string("monthread 启动") + name + "OK threadid " + std::to_string(id);
  }

  test::FakeImApp app_;
  test::PushLog push_;
  test::EndRecorder ends_;
  std::unique_ptr<CNuv4OndekoProcessor> proc_;
};

TEST_F(SupervisorTest, StartsSevenThreadsAndRestartsOneThatEnds) {
  std::atomic<int> reportRuns{0};
  proc_->Seams().reportMsgStat = [&](CNuv4OndekoProcessor&, const StopSignal& stop) {
    if (++reportRuns == 1) return;  // the first run ends at once
    while (!stop.SleepMs(10000)) {
    }
  };
  proc_->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return Logged("restart it after 1 sec"); }));
  const unsigned long oldId = proc_->ThreadId(CNuv4OndekoProcessor::THREAD_REPORT);
  unsigned long others[6];
  for (int i = 0; i < 6; ++i) others[i] = proc_->ThreadId(i);
  EXPECT_TRUE(Logged("monthread start SyncProcThread now..."));
  EXPECT_TRUE(Logged(IdLine("ToNuv同步处理线程", others[0])));
  EXPECT_TRUE(Logged(IdLine("ToNuv异步处理线程", others[1])));
  EXPECT_TRUE(Logged(IdLine("ToOndeko同步处理线程", others[2])));
  EXPECT_TRUE(Logged(IdLine("ToOndeko异步处理线程", others[3])));
  EXPECT_TRUE(Logged(IdLine("地址本同步线程", others[4])));
  EXPECT_TRUE(Logged(IdLine("合并消息线程", others[5])));
  EXPECT_TRUE(Logged(IdLine("上报消息处理线程", oldId)));
  EXPECT_TRUE(Logged("monthread start 7 Threads OK, monitor them now..."));
  EXPECT_TRUE(Logged("thread[6] id " + std::to_string(oldId) + " end, restart it after 1 sec"));

  // Nothing restarts before the 1 s pause is over. Every other thread and
  // the supervisor (in its pause) sleep before time moves.
  ASSERT_TRUE(clock_.WaitForSleepers(8));
  clock_.Advance(900);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(reportRuns.load(), 1);
  clock_.Advance(100);
  ASSERT_TRUE(test::WaitReal([&] { return reportRuns.load() == 2; }));
  ASSERT_TRUE(test::WaitReal([&] { return proc_->ThreadId(6) != oldId; }));
  const unsigned long newId = proc_->ThreadId(CNuv4OndekoProcessor::THREAD_REPORT);
  EXPECT_TRUE(test::WaitReal([&] { return Logged(IdLine("上报消息处理线程", newId)); }));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(proc_->ThreadId(i), others[i]) << i;
  EXPECT_EQ(test::CountLog(root_, "restart it after 1 sec"), 1);
  EXPECT_EQ(ends_.exits.load(), 0);
}

TEST_F(SupervisorTest, ThreadStartFailureReportsAndEndsTheProcess) {
  proc_->SetThreadStartHookForTest([](int index) { return index != CNuv4OndekoProcessor::THREAD_SYNCORG; });
  proc_->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return ends_.exits.load() == 1; }));
  EXPECT_TRUE(Logged("monthread 启动地址本同步线程失败！exit"));
  EXPECT_TRUE(Logged("monthread 启动ToOndeko异步处理线程OK threadid"));
  EXPECT_FALSE(Logged("monthread 启动合并消息线程"));
  EXPECT_FALSE(Logged("Threads OK, monitor them now"));
  EXPECT_EQ(ends_.Reports(), std::vector<std::wstring>{L"ADDRBOOKSYNCFAIL"});
}

TEST_F(SupervisorTest, RestartFailureReportsTheThreadsCode) {
  std::atomic<int> syncStarts{0};
  proc_->SetThreadStartHookForTest(
      [&](int index) { return index != CNuv4OndekoProcessor::THREAD_SYNCORG || ++syncStarts == 1; });
  proc_->Seams().syncOrg2Ondeko = [](CNuv4OndekoProcessor&, const StopSignal&) {};  // ends at once
  proc_->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return Logged("thread[4] id"); }));
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return ends_.exits.load() == 1; }));
  EXPECT_EQ(test::CountLog(root_, "monthread 启动地址本同步线程OK threadid"), 1);
  EXPECT_TRUE(Logged("monthread 启动地址本同步线程失败！exit"));
  EXPECT_EQ(ends_.Reports(), std::vector<std::wstring>{L"ADDRBOOKSYNCFAIL"});
}

TEST_F(SupervisorTest, DeadQueueIsOnlyLoggedDuringTheGraceThenEndsTheProcess) {
  app_.startOk = false;  // stays in INIT: the workers never poll
  CSLock held;
  held.Lock(L"HeldByTest", 1000);
  proc_->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return Logged("Threads OK, monitor them now"); }));
  const int64_t started = clock_.Now();
  GetWorkQueue(WQUEUE_QID_FILE2NUV)->Enqueue(
      MakeMsgItem(WQUEUE_ONDEKO2NUVFILE, test::Msg(1, L"c", L"u", L"k", L"x"), static_cast<int32_t>(started)));

  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return ends_.exits.load() == 1; }, 1000, 1200000));
  held.Unlock();
  auto reports = ends_.Reports();
  ASSERT_EQ(reports, std::vector<std::wstring>{L"OUTQUEUEDEAD"});
  const int64_t endedAfter = ends_.reportTimes[0] - started;
  EXPECT_GE(endedAfter, 900);
  EXPECT_LT(endedAfter, 960);

  auto lines = root_.LogLines();
  int firstDead = test::FindLog(lines, "IsOutqueueDead WQUEUE_QID_FILE2NUV size 1 now");
  int grace = test::FindLog(lines, "monthread IsOutqueueDead return TRUE, buf process start not reach 15 min, not exit");
  int exitLine = test::FindLog(lines, "monthread IsOutqueueDead return TRUE, exit");
  ASSERT_GE(firstDead, 0);
  EXPECT_GT(grace, firstDead);
  EXPECT_GT(exitLine, grace);
  // Every pass that finds the queue dead logs the grace line, up to the one
  // that ends the process. That is one pass per 20 s from about 60 s on; the
  // clock runs ahead of a supervisor slowed by a loaded machine, so the
  // count of passes is only bounded loosely.
  const int graceLines = test::CountLog(root_, "not reach 15 min, not exit");
  const int deadLines = test::CountLog(root_, "IsOutqueueDead WQUEUE_QID_FILE2NUV size 1 now");
  EXPECT_EQ(graceLines, deadLines - 1);
  EXPECT_GE(graceLines, 30);
  EXPECT_LE(graceLines, 43);
  EXPECT_FALSE(Logged("IsEnqueueDead return TRUE"));
  EXPECT_TRUE(Logged("DEBUG:CSLock name:HeldByTest timeout:1000"));
  EXPECT_TRUE(Logged("monthread status is 0 , threads OK"));
}

TEST_F(SupervisorTest, SilentQueuesEndTheProcessAfterTheEnqueueInterval) {
  proc_->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return Logged("Threads OK, monitor them now"); }));
  const int64_t started = clock_.Now();
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return ends_.exits.load() == 1; }, 1000, 2400000));
  ASSERT_EQ(ends_.Reports(), std::vector<std::wstring>{L"ENQUEUEDEAD"});
  EXPECT_GT(ends_.reportTimes[0] - started, 1800);
  EXPECT_LT(ends_.reportTimes[0] - started, 1860);
  EXPECT_TRUE(Logged("monthread IsEnqueueDead return TRUE, exit"));
  EXPECT_FALSE(Logged("IsEnqueueDead return TRUE, buf process"));  // first dead only after the grace
}

}  // namespace
}  // namespace nuv
