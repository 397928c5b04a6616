// The processor's control thread and lifecycle: status changes, the INIT,
// START, STOP and END steps with the IM application and the push connection,
// destruction, and the process-wide instance.

#include "processor/processor.h"

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/paths.h"
#include "processor/processor_test_util.h"

namespace nuv {
namespace {

// Threads of this process, as /proc lists them.
int CountThreads() { return static_cast<int>(test::DirEntries("/proc/self/task").size()); }

// A joined thread can still be listed in /proc for a moment: the kernel
// wakes the joiner before it unlists the exiting thread (and the baseline may
// hold such a thread of an earlier test). Waits, bounded, for the count to
// come back to the baseline.
bool ThreadsBackTo(int baseline) {
  return test::WaitReal([&] { return CountThreads() <= baseline; }, 2000);
}

class ProcessorTest : public test::ClockedTest {
 protected:
  std::unique_ptr<CNuv4OndekoProcessor> MakeProcessor() {
    auto p = std::make_unique<CNuv4OndekoProcessor>();
    ProcessorSeams& s = p->Seams();
    s.imApp = [this] { return &app_; };
    s.pushFactory = test::FakePushFactory(push_);
    ends_.Install(s);
    return p;
  }
  void Destroy(std::unique_ptr<CNuv4OndekoProcessor>& p) {
    test::ShutdownDriving(*p, clock_);
    p.reset();
  }
  bool Logged(const std::string& s) { return root_.LogContains(s); }

  test::FakeImApp app_;
  test::PushLog push_;
  test::EndRecorder ends_;
};

TEST_F(ProcessorTest, SetStatusAcceptsOnlyKnownValues) {
  auto p = MakeProcessor();
  EXPECT_EQ(p->GetStatus(), CNuv4OndekoProcessor::INIT);
  p->SetStatus(CNuv4OndekoProcessor::START);
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::SetStatus change status from 0 to 1"));
  p->SetStatus(5);
  p->SetStatus(-1);
  p->SetStatus(CNuv4OndekoProcessor::EXIT);
  EXPECT_EQ(p->GetStatus(), CNuv4OndekoProcessor::START);
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::SetStatus error , status 5 invalid, stay status 1"));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::SetStatus error , status -1 invalid, stay status 1"));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::SetStatus error , status 4 invalid, stay status 1"));

  // Start outside INIT refuses and starts no supervisor.
  EXPECT_EQ(p->Start(), 0);
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::Start wrong status 1"));
  EXPECT_FALSE(Logged("start monitorthread() now"));
  EXPECT_EQ(p->ThreadId(0), 0u);
  Destroy(p);
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::~CNuv4OndekoProcessor() call , set status to END and wait 20sec for cleanup"));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::~CNuv4OndekoProcessor() wait 20sec DONE, exit directly"));
}

TEST_F(ProcessorTest, LongConnectionStartFailuresReleaseTheObject) {
  auto p = MakeProcessor();
  p->Seams().pushFactory = nullptr;
  EXPECT_EQ(p->StartLongConnThread(), 0);
  EXPECT_TRUE(Logged("StartLongConnThread New GapHubLogic Obj failed, return NULL"));

  p->Seams().pushFactory = test::FakePushFactory(push_);
  push_.initResult = 3;
  EXPECT_EQ(p->StartLongConnThread(), 0);
  EXPECT_TRUE(Logged("StartLongConnThread GapHubLogic Init() ret 3 , failed, can't start long connection thread"));
  EXPECT_FALSE(p->HasLongConn());
  EXPECT_EQ(push_.destroyed.load(), 1);
  EXPECT_EQ(push_.starts.load(), 0);

  push_.initResult = 0;
  push_.startThrows = true;
  EXPECT_EQ(p->StartLongConnThread(), 0);
  EXPECT_TRUE(Logged("StartLongConnThread GapHubLogic Init() OK , Start() long connection thread"));
  EXPECT_TRUE(Logged("StartLongConnThread GapHubLogic Start() has Exception, failed, can't start long connection thread"));
  EXPECT_FALSE(p->HasLongConn());
  EXPECT_EQ(push_.destroyed.load(), 2);

  push_.startThrows = false;
  EXPECT_EQ(p->StartLongConnThread(), 1);
  EXPECT_TRUE(p->HasLongConn());
  EXPECT_EQ(push_.configDir, GetConfigDirA());
  EXPECT_EQ(p->StartLongConnThread(), 0);
  EXPECT_TRUE(Logged("StartLongConnThread GapHubLogic thread already running"));
  EXPECT_EQ(push_.created.load(), 3);

  test::DriveWhile(clock_, [&] { p->StopLongConnThread(); });
  EXPECT_FALSE(p->HasLongConn());
  EXPECT_EQ(push_.stops.load(), 1);
  EXPECT_EQ(push_.destroyed.load(), 3);
  p->StopLongConnThread();  // nothing held: nothing happens
  EXPECT_EQ(push_.stops.load(), 1);
  Destroy(p);
}

TEST_F(ProcessorTest, ControlThreadRetriesThenRunsStopsRestartsAndEnds) {
  app_.startOk = false;
  push_.initResult = 1;
  auto p = MakeProcessor();
  p->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return app_.runs.load() == 1; }));
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return app_.runs.load() == 2; }));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::Start Start Nuv App failed, retry it after 10sec"));

  app_.startOk = true;  // the app comes up, but the push connection does not
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return app_.stops.load() == 1; }));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::Start 启动Ondeko长连接StartLongConnThread()失败，初始化失败，stop nuv app, and retry it after 10sec"));
  push_.initResult = 0;
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return p->GetStatus() == CNuv4OndekoProcessor::START; }));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::Start Start Nuv App ok, start LongConn Thread now..."));
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return Logged("START status Count=0 WorkQueue size 0 0 0 0"); }));

  // The IM server stops the application: tear down and start again.
  const int runsBefore = app_.runs.load();
  p->SetStatus(CNuv4OndekoProcessor::STOP);
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return Logged("STOP status !!! clean up and set status to INIT"); }));
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return p->GetStatus() == CNuv4OndekoProcessor::START; }));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::Start STOP status !!! now stop longconn thread..."));
  EXPECT_TRUE(Logged("CNuv4OndekoProcessor::Start STOP status !!! now stop Nuv App..."));
  EXPECT_EQ(app_.runs.load(), runsBefore + 1);
  EXPECT_EQ(push_.stops.load(), 1);
  EXPECT_EQ(push_.created.load(), 3);  // failed one, first, after the stop
  EXPECT_EQ(push_.destroyed.load(), 2);

  Destroy(p);
  EXPECT_EQ(push_.destroyed.load(), 3);
  EXPECT_EQ(push_.stops.load(), 2);
  auto lines = root_.LogLines();
  int end = test::FindLog(lines, "CNuv4OndekoProcessor::Start status is END , cleanup now");
  int done = test::FindLog(lines, "CNuv4OndekoProcessor::Start status is END , DONE", end);
  int loop = test::FindLog(lines, "CNuv4OndekoProcessor::Start processor loop end", done);
  int exitLine = test::FindLog(lines, "~CNuv4OndekoProcessor() status is EXIT , exit now", loop);
  EXPECT_GE(end, 0);
  EXPECT_GT(done, end);
  EXPECT_GT(loop, done);
  EXPECT_GT(exitLine, loop);
  // The supervisor leaves on END or EXIT, whichever it sees first.
  EXPECT_TRUE(Logged("monthread status is 3 , exit") || Logged("monthread status is 4 , exit"));
}

void NotifyA(uint64_t, OndekoMsgItem*) {}
int TokenA(uint64_t) { return 0; }

TEST_F(ProcessorTest, PushConnectionGetsTheSeamsCallbacksAndConfigDir) {
  auto p = MakeProcessor();
  PushNotifyCallback gotNotify = nullptr;
  PushTokenCallback gotToken = nullptr;
  std::string gotDir;
  p->Seams().onNotify = NotifyA;
  p->Seams().onToken = TokenA;
  p->Seams().pushFactory = [&](const std::string& dir, PushNotifyCallback n, PushTokenCallback t) {
    gotDir = dir;
    gotNotify = n;
    gotToken = t;
    return std::unique_ptr<PushConnection>(std::make_unique<test::FakePush>(push_));
  };
  ASSERT_EQ(p->StartLongConnThread(), 1);
  EXPECT_EQ(gotNotify, &NotifyA);
  EXPECT_EQ(gotToken, &TokenA);
  EXPECT_EQ(gotDir, GetConfigDirA());

  // Unset callbacks reach the connection as null pointers (it then calls none).
  test::DriveWhile(clock_, [&] { p->StopLongConnThread(); });
  p->Seams().onNotify = nullptr;
  p->Seams().onToken = nullptr;
  ASSERT_EQ(p->StartLongConnThread(), 1);
  EXPECT_EQ(gotNotify, nullptr);
  EXPECT_EQ(gotToken, nullptr);
  Destroy(p);
}

TEST_F(ProcessorTest, StopDuringStartupCannotBeOverwrittenByStart) {
  // The destructor's END arrives while the control thread is in INIT: the
  // loop must still reach EXIT rather than flip the status to START.
  app_.startOk = true;
  auto p = MakeProcessor();
  std::atomic<bool> gate{false};
  p->Seams().pushFactory = [&](const std::string&, PushNotifyCallback, PushTokenCallback) {
    // Hold the control thread inside the INIT step until END is set.
    test::WaitReal([&] { return gate.load(); });
    return std::unique_ptr<PushConnection>(std::make_unique<test::FakePush>(push_));
  };
  p->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return app_.runs.load() == 1; }));
  std::thread opener([&] {
    test::WaitReal([&] { return p->GetStatus() == CNuv4OndekoProcessor::END; });
    gate = true;
  });
  Destroy(p);
  opener.join();
  EXPECT_TRUE(Logged("~CNuv4OndekoProcessor() status is EXIT , exit now"));
}

TEST_F(ProcessorTest, RepeatedCreateAndDestroyLeavesNoThreads) {
  const int baseline = CountThreads();
  for (int round = 0; round < 3; ++round) {
    auto p = MakeProcessor();
    p->BeginStart();
    ASSERT_TRUE(test::DriveUntil(clock_, [&] { return p->GetStatus() == CNuv4OndekoProcessor::START; }));
    ASSERT_TRUE(test::WaitReal([&] { return p->ThreadId(CNuv4OndekoProcessor::THREAD_REPORT) != 0; }));
    EXPECT_GE(CountThreads(), baseline + 9);  // control, supervisor and its seven
    Destroy(p);
    EXPECT_TRUE(ThreadsBackTo(baseline)) << CountThreads() << " threads, " << baseline << " before";
  }

  // The process-wide instance goes the same way.
  CNuv4OndekoProcessor* p = GetProcessor();
  EXPECT_EQ(GetProcessor(), p);
  p->Seams().imApp = [this] { return &app_; };
  p->Seams().pushFactory = test::FakePushFactory(push_);
  ends_.Install(p->Seams());
  EXPECT_TRUE(p->Init());
  p->BeginStart();
  ASSERT_TRUE(test::DriveUntil(clock_, [&] { return p->GetStatus() == CNuv4OndekoProcessor::START; }));
  test::DriveWhile(clock_, [] { ReleaseProcessor(); });
  EXPECT_TRUE(ThreadsBackTo(baseline)) << CountThreads() << " threads, " << baseline << " before";
  ReleaseProcessor();  // none: no-op
  CNuv4OndekoProcessor* fresh = GetProcessor();
  EXPECT_EQ(fresh->GetStatus(), CNuv4OndekoProcessor::INIT);
  test::DriveWhile(clock_, [] { ReleaseProcessor(); });
}

}  // namespace
}  // namespace nuv
