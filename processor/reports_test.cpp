// Statistics and restart reports against the cloud simulator on loopback, on
// the virtual clock: the report texts, a period that grows while the cloud
// cannot be reached, the restart report's OK and failure lines, its time
// limit, and the supervisor's report before it ends the process.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cloud/http_transport.h"
#include "common/clock.h"
#include "processor/processor_test_util.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using sim::SimFault;

// The cloud simulator with the service pointed at it: service.ini's [cloud]
// section and qy.ini in the configuration directory.
class ReportsTest : public test::BareProcessorTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
    BareProcessorTest::SetUp();
    root_.WriteServiceIni(cloud_.ServiceIniSection());
    test::WriteWholeFile(root_.config() + "qy.ini", cloud_.QyIniText());
    // No kept-alive connection on the test thread to hold the simulator's stop.
    SetConnectionReuse(false);
  }
  void TearDown() override {
    BareProcessorTest::TearDown();
    SetConnectionReuse(true);
  }
  // Points the service at a loopback port where nobody listens (or back).
  void CloudUnreachable(bool unreachable) {
    if (!unreachable) {
      root_.WriteServiceIni(cloud_.ServiceIniSection());
      return;
    }
    if (closedFd_ < 0) {
      closedFd_ = socket(AF_INET, SOCK_STREAM, 0);  // bound, never listening
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof a;
      ASSERT_EQ(bind(closedFd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
      ASSERT_EQ(getsockname(closedFd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
      closedPort_ = ntohs(a.sin_port);
    }
    root_.WriteServiceIni("[cloud]\napi_host = 127.0.0.1:" + std::to_string(closedPort_) +
                          "\nupload_host = 127.0.0.1:" + std::to_string(closedPort_) + "\n");
  }
  ~ReportsTest() override {
    if (closedFd_ >= 0) close(closedFd_);
  }
  std::vector<std::string> Reports() { return cloud_.Reports(); }
  static std::string Msg(int64_t from, int64_t to, int count) {
    return "MSG#1#" + std::to_string(from) + "#" + std::to_string(to) + "#" + std::to_string(count);
  }

  sim::SimCloud cloud_;
  int closedFd_ = -1;
  uint16_t closedPort_ = 0;
};

TEST_F(ReportsTest, StatisticsEveryTenSecondsAndAFailedPeriodCarriesOver) {
  const int64_t t = clock_.Now();
  proc_->ProcessedItems() = 5;  // left from before the thread started: not reported
  threads_.emplace_back([this] { proc_->ReportMsgStatProc(proc_->Stopper()); });
  ASSERT_TRUE(test::WaitReal([&] { return Reports().size() == 1; }));
  EXPECT_EQ(Reports()[0], Msg(t, t, 0));

  proc_->ProcessedItems() += 2;
  Step(10000);
  ASSERT_EQ(Reports().size(), 2u);
  EXPECT_EQ(Reports()[1], Msg(t, t + 10, 2));
  EXPECT_EQ(proc_->ProcessedItems().load(), 0u);

  // 30 s without the cloud while 7 items are handled.
  CloudUnreachable(true);
  proc_->ProcessedItems() += 3;
  Step(10000);
  proc_->ProcessedItems() += 4;
  Step(10000);
  Step(10000);
  EXPECT_EQ(Reports().size(), 2u);
  EXPECT_EQ(test::CountLog(root_, "ReportMsgStat proc msgcount=7 iRet = -2 errcode 7 errmsg '"), 2);
  EXPECT_EQ(test::CountLog(root_, "ReportMsgStat proc msgcount=3 iRet = -2 errcode 7 errmsg '"), 1);
  EXPECT_EQ(proc_->ProcessedItems().load(), 7u);

  CloudUnreachable(false);
  Step(10000);
  ASSERT_EQ(Reports().size(), 3u);
  EXPECT_EQ(Reports()[2], Msg(t + 10, t + 50, 7));
  Step(10000);
  ASSERT_EQ(Reports().size(), 4u);
  EXPECT_EQ(Reports()[3], Msg(t + 50, t + 60, 0));

  // A refused report (errCode) also keeps the period open.
  SimFault f;
  f.errCode = 40001;
  cloud_.InjectFault("cli_report", f);
  proc_->ProcessedItems() += 1;
  Step(10000);
  Step(10000);
  ASSERT_EQ(Reports().size(), 5u);
  EXPECT_EQ(Reports()[4], Msg(t + 60, t + 80, 1));
  EXPECT_TRUE(root_.LogContains("ReportMsgStat proc msgcount=1 iRet = 0 errcode 40001 errmsg 'injected fault'"));
}

TEST_F(ReportsTest, RestartReportSendsTheCodeOnceAndLogsTheOutcome) {
  EXPECT_EQ(proc_->ReportReboot(L"OUTQUEUEDEAD"), 1);
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Reports()[0], "REBOOT#1#" + std::to_string(clock_.Now()) + "#OUTQUEUEDEAD");
  EXPECT_TRUE(root_.LogContains("ReportReboot 'OUTQUEUEDEAD' OK"));

  SimFault f;
  f.errCode = 40013;
  cloud_.InjectFault("cli_report", f);
  EXPECT_EQ(proc_->ReportReboot(L"ENQUEUEDEAD"), 0);
  EXPECT_EQ(cloud_.CountRequests("cli_report"), 2u);  // sent once, not retried
  EXPECT_TRUE(root_.LogContains("ReportReboot 'ENQUEUEDEAD' iRet = 0 errcode 40013 errmsg 'injected fault'"));
  EXPECT_FALSE(root_.LogContains("ReportReboot 'ENQUEUEDEAD' OK"));
}

TEST_F(ReportsTest, AStalledCloudDelaysTheProcessEndByTenSecondsAtMost) {
  test::EndRecorder ends;
  ends.Install(proc_->Seams());
  proc_->Seams().reportReboot = [this](const std::wstring& code) { return proc_->ReportReboot(code); };

  // A slow answer inside the limit is still taken (virtual time stands still).
  SimFault slow;
  slow.kind = SimFault::Kind::Stall;
  slow.stallMs = 300;
  cloud_.InjectFault("cli_report", slow);
  proc_->EndProcess(L"TOOMANYCPUUSAGE");
  EXPECT_EQ(ends.exits.load(), 1);
  EXPECT_TRUE(root_.LogContains("ReportReboot 'TOOMANYCPUUSAGE' OK"));

  SimFault stall;
  stall.kind = SimFault::Kind::Stall;
  stall.stallMs = 120000;
  cloud_.InjectFault("cli_report", stall);
  std::thread ender([this] {
    SetConnectionReuse(false);
    proc_->EndProcess(L"TOOMANYMEM");
  });
  ASSERT_TRUE(test::WaitReal([&] { return cloud_.CountRequests("cli_report") == 2; }));
  clock_.Advance(10000);
  const bool ended = test::WaitReal([&] { return ends.exits.load() == 2; });
  if (!ended) cloud_.Shutdown();  // frees the exchange so the thread can be joined
  ender.join();
  ASSERT_TRUE(ended);
  EXPECT_TRUE(root_.LogContains("ReportReboot 'TOOMANYMEM' no answer within 10 sec, the worker ends without the report"));
  EXPECT_FALSE(root_.LogContains("ReportReboot 'TOOMANYMEM' OK"));
  EXPECT_EQ(Reports().size(), 1u);
}

// The real supervisor finds a dead queue after its grace and sends the
// restart report before it ends the process.
class SupervisorReportTest : public test::ClockedTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
    ClockedTest::SetUp();
    root_.WriteServiceIni(cloud_.ServiceIniSection());
    test::WriteWholeFile(root_.config() + "qy.ini", cloud_.QyIniText());
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
    ProcessorSeams& s = proc_->Seams();
    s.imApp = [this] { return &app_; };
    s.pushFactory = test::FakePushFactory(push_);
    s.reportReboot = [this](const std::wstring& code) { return proc_->ReportReboot(code); };
    s.exitProcess = [this](int code) {
      std::lock_guard<std::mutex> g(mu_);
      reportsAtExit_ = cloud_.Reports();
      exitCode_ = code;
      ++exits_;
    };
  }
  void TearDown() override {
    test::ShutdownDriving(*proc_, clock_);
    proc_.reset();
    ClockedTest::TearDown();
  }

  sim::SimCloud cloud_;
  test::FakeImApp app_;
  test::PushLog push_;
  std::unique_ptr<CNuv4OndekoProcessor> proc_;
  std::mutex mu_;
  std::vector<std::string> reportsAtExit_;
  int exitCode_ = -1;
  std::atomic<int> exits_{0};
};

TEST_F(SupervisorReportTest, DeadQueueReportReachesTheCloudBeforeTheEnd) {
  app_.startOk = false;  // stays in INIT: the queue is never served
  proc_->BeginStart();
  ASSERT_TRUE(test::WaitReal([&] { return root_.LogContains("Threads OK, monitor them now"); }));
  GetWorkQueue(WQUEUE_QID_FILE2NUV)->Enqueue(MakeMsgItem(
      WQUEUE_ONDEKO2NUVFILE, test::Msg(1, L"c", L"u", L"k", L"x"), static_cast<int32_t>(clock_.Now())));
  // Time moves only while every thread of the processor sleeps (control,
  // supervisor and the seven), so none of it passes during the report.
  for (int i = 0; i < 3000 && exits_.load() == 0; ++i) {
    if (clock_.WaitForSleepers(9, 20)) clock_.Advance(1000);
  }
  ASSERT_TRUE(test::WaitReal([&] { return exits_.load() == 1; }));
  std::lock_guard<std::mutex> g(mu_);
  EXPECT_EQ(exitCode_, 0);
  ASSERT_EQ(reportsAtExit_.size(), 1u);
  EXPECT_EQ(reportsAtExit_[0].rfind("REBOOT#1#", 0), 0u);
  EXPECT_EQ(reportsAtExit_[0].substr(reportsAtExit_[0].size() - 13), "#OUTQUEUEDEAD");
  auto lines = root_.LogLines();
  const int exitLine = test::FindLog(lines, "monthread IsOutqueueDead return TRUE, exit");
  const int okLine = test::FindLog(lines, "ReportReboot 'OUTQUEUEDEAD' OK");
  ASSERT_GE(exitLine, 0);
  EXPECT_GT(okLine, exitLine);
}

}  // namespace
}  // namespace nuv
