// The directory sync thread on the virtual clock: the pass rhythm with the
// real directory sync against the cloud simulator and a simulated IM
// directory database, a pause out of START, an exception from the export,
// and a stop during an import that never finishes.

#include "processor/sync_thread.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "cloud/http_transport.h"
#include "directory/directory_test_support.h"
#include "processor/processor_test_util.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

// Moves the manual clock in steps while the routine under test sleeps (never
// while it works) until cond holds. After each step the sleeper gets a few
// real milliseconds to notice a passed deadline, so that the next step does
// not fall into its work.
bool DriveSleeping(VirtualClock& clock, const StopSignal& stop, const std::function<bool()>& cond,
                   int64_t stepMs = 500, int maxSteps = 4000) {
  for (int i = 0; i < maxSteps; ++i) {
    if (cond()) return true;
    if (!clock.WaitForSleepers(1)) return cond();
    const uint64_t before = stop.SleepsDone();
    clock.Advance(stepMs);
    test::WaitReal([&] { return stop.SleepsDone() != before; }, 3);
  }
  return cond();
}

// The IM application's presence: fixed lists; records when it was asked
// (virtual ms) and how many directory uploads the cloud had seen by then.
class PresenceApp : public test::FakeImApp {
 public:
  explicit PresenceApp(sim::SimCloud* cloud = nullptr) : cloud_(cloud) {}
  int GetPresenceLists(std::string& online, std::string& offline, std::string& away) override {
    std::lock_guard<std::mutex> g(mu_);
    calls_.push_back({GetClock().NowMs(), cloud_ ? cloud_->CountRequests("upload_kf") : 0});
    online = "zhang;";
    offline = "li;";
    away.clear();
    return 1;
  }
  struct Call {
    int64_t atMs;
    size_t uploadsBefore;
  };
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> g(mu_);
    return calls_;
  }
  size_t Count() { return Calls().size(); }

 private:
  sim::SimCloud* cloud_;
  std::mutex mu_;
  std::vector<Call> calls_;
};

// Scripted jobs: record the virtual time of each call; the export may throw.
// Called on the routine's thread, read by the test's.
class FakeJobs : public DirectoryJobs {
 public:
  int SyncDataToDK(std::string dir, int, int32_t& errCode, std::string& errMsg) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      exports_.push_back(GetClock().NowMs());
      lastDir_ = dir;
    }
    if (throwOnExport) throw std::runtime_error("export failed");
    errCode = 40001;
    errMsg = "bad file";
    return -10003;
  }
  int SyncOnlineStateToDK(std::string online, std::string offline, std::string away) override {
    std::lock_guard<std::mutex> g(mu_);
    presence_.push_back(GetClock().NowMs());
    lastLists_ = online + "|" + offline + "|" + away;
    return 0;
  }
  std::vector<int64_t> Exports() {
    std::lock_guard<std::mutex> g(mu_);
    return exports_;
  }
  std::vector<int64_t> Presence() {
    std::lock_guard<std::mutex> g(mu_);
    return presence_;
  }
  std::string LastDir() {
    std::lock_guard<std::mutex> g(mu_);
    return lastDir_;
  }
  std::string LastLists() {
    std::lock_guard<std::mutex> g(mu_);
    return lastLists_;
  }
  std::atomic<bool> throwOnExport{false};

 private:
  std::mutex mu_;
  std::vector<int64_t> exports_;
  std::vector<int64_t> presence_;
  std::string lastDir_;
  std::string lastLists_;
};

class SyncThreadTest : public test::BareProcessorTest {
 protected:
  void SetUp() override {
    BareProcessorTest::SetUp();
    proc_->Seams().imApp = [this] { return &app_; };
    proc_->SetStatus(CNuv4OndekoProcessor::START);
  }
  void Run() {
    start_ = clock_.NowMs();
    threads_.emplace_back([this] { proc_->SyncOrg2Ondeko(proc_->Stopper(), &jobs_); });
  }
  bool Drive(const std::function<bool()>& cond) { return DriveSleeping(clock_, proc_->Stopper(), cond); }
  int64_t At(int64_t ms) const { return ms - start_; }

  PresenceApp app_;
  FakeJobs jobs_;
  int64_t start_ = 0;
};

TEST_F(SyncThreadTest, PausedOutOfStartThePassCountContinuesAfterwards) {
  Run();
  ASSERT_TRUE(Drive([&] { return jobs_.Presence().size() == 2; }));
  proc_->SetStatus(CNuv4OndekoProcessor::STOP);
  const int64_t paused = clock_.NowMs();
  ASSERT_TRUE(Drive([&] { return clock_.NowMs() - paused >= 300000; }));
  EXPECT_EQ(jobs_.Presence().size(), 2u);
  EXPECT_EQ(test::CountLog(root_, "SyncOnlineStateToDK ret = 0"), 2);

  proc_->SetStatus(CNuv4OndekoProcessor::START);
  const int64_t resumed = clock_.NowMs();
  ASSERT_TRUE(Drive([&] { return jobs_.Presence().size() == 5; }));
  // Passes 3, 4, 5 after the pause: the export comes with the fifth, and
  // the first one after the pause comes within one 3 s poll.
  const auto presence = jobs_.Presence();
  const auto exports = jobs_.Exports();
  ASSERT_EQ(exports.size(), 1u);
  EXPECT_GE(exports[0], presence[3]);
  EXPECT_LE(exports[0], presence[4]);
  EXPECT_LE(presence[2] - resumed, 3500);
  EXPECT_EQ(jobs_.LastDir(), proc_->ConfigDir());
  EXPECT_EQ(jobs_.LastLists(), "zhang;|li;|");
  EXPECT_TRUE(root_.LogContains("SyncOrg2Ondeko SyncDataToDK() return -10003 errcode 40001 errmsg 'bad file'"));
  EXPECT_TRUE(root_.LogContains("Start Sync Dept data to ondeko thread, sync after 20s"));
}

TEST_F(SyncThreadTest, AnExceptionFromTheExportCostsThePassAndTheNextComesFiveSecondsLater) {
  jobs_.throwOnExport = true;
  Run();
  ASSERT_TRUE(Drive([&] { return jobs_.Presence().size() == 5; }));
  const auto presence = jobs_.Presence();
  const auto exports = jobs_.Exports();
  ASSERT_EQ(exports.size(), 1u);
  EXPECT_NEAR(At(presence[0]), 20000, 1500);
  EXPECT_NEAR(At(presence[3]), 200000, 1500);
  EXPECT_NEAR(At(exports[0]), 260000, 1500);
  // No presence in the failed pass; the sixth pass, 5 s later, has it.
  EXPECT_NEAR(presence[4] - exports[0], 5000, 600);
  EXPECT_EQ(test::CountLog(root_, "CNuv4OndekoProcessor::SyncOrg2Ondeko Unknown Exception, sleep 5sec"), 1);
  EXPECT_FALSE(root_.LogContains("SyncOrg2Ondeko SyncDataToDK() return"));
}

// The real directory sync: IM directory database, cloud simulator, presence
// from the IM application.
class SyncThreadCloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
    env_ = std::make_unique<test::DirectoryEnv>(cloud_.ServiceIniSection());
    test::WriteWholeFile(env_->syncDir() + "qy.ini", cloud_.QyIniText());
    cloud_.AddKnownUsers({"zhang", "li"});
    ASSERT_TRUE(env_->db().AddDept(1, 0, "总部", 1));
    env_->AddUser(10, "zhang", "张三", 1);
    env_->AddUser(11, "li", "李四");
    ASSERT_TRUE(env_->db().AddMembership(1, 10, 1));
    ASSERT_TRUE(env_->db().AddMembership(1, 11, 2));
    SetClockForTest(&clock_);
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
    proc_->Seams().imApp = [this] { return &app_; };
    proc_->SetStatus(CNuv4OndekoProcessor::START);
  }
  void TearDown() override {
    stop_.Request();
    if (thread_.joinable()) thread_.join();
    test::ShutdownDriving(*proc_, clock_);
    proc_.reset();
    SetClockForTest(nullptr);
  }
  void Run() {
    start_ = clock_.NowMs();
    thread_ = std::thread([this] {
      SetConnectionReuse(false);
      proc_->SyncOrg2Ondeko(stop_);
      done_ = true;
    });
  }
  bool Drive(const std::function<bool()>& cond, int64_t stepMs = 500) {
    return DriveSleeping(clock_, stop_, cond, stepMs);
  }

  sim::SimCloud cloud_;
  std::unique_ptr<test::DirectoryEnv> env_;
  VirtualClock clock_;
  PresenceApp app_{&cloud_};
  std::unique_ptr<CNuv4OndekoProcessor> proc_;
  StopSignal stop_;  // the routine's own, so that a test can stop it alone
  std::thread thread_;
  std::atomic<bool> done_{false};
  int64_t start_ = 0;
};

TEST_F(SyncThreadCloudTest, PresenceEveryMinuteAndTheDirectoryEveryFifthPassWhenChanged) {
  Run();
  ASSERT_TRUE(Drive([&] { return app_.Count() == 6; }));
  auto calls = app_.Calls();
  const int64_t expected[] = {20000, 80000, 140000, 200000};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(calls[i].atMs - start_, expected[i], 1500) << i;
    EXPECT_EQ(calls[i].uploadsBefore, 0u) << i;
  }
  // The fifth pass exports first (both files, each import followed to 100),
  // then pushes presence; the sixth exports nothing.
  EXPECT_GE(calls[4].atMs - start_, 260000);
  EXPECT_LE(calls[4].atMs - start_, 268000);
  EXPECT_EQ(calls[4].uploadsBefore, 2u);
  EXPECT_EQ(calls[5].uploadsBefore, 2u);
  auto jobs = cloud_.ImportJobs();
  ASSERT_EQ(jobs.size(), 2u);
  for (const auto& j : jobs) EXPECT_EQ(j.percentage, 100);
  EXPECT_EQ(test::CountLog(env_->root(), "SyncOrg2Ondeko SyncDataToDK() return 0 errcode 0 errmsg 'ok'") +
                test::CountLog(env_->root(), "SyncOrg2Ondeko SyncDataToDK() return 0 errcode 0 errmsg ''"),
            1);
  // The sixth pass was seen asking for the lists; its line follows the push.
  EXPECT_TRUE(test::WaitReal([&] { return test::CountLog(env_->root(), "SyncOnlineStateToDK ret = 0") == 6; }));
  auto mute = cloud_.MuteStatus();
  std::map<std::string, int> states(mute.begin(), mute.end());
  EXPECT_EQ(states["zhang"], 0);
  EXPECT_EQ(states["li"], 1);
  EXPECT_EQ(cloud_.MuteBatches().size(), 2u);  // unchanged presence is not sent again

  // A user added to the IM directory reaches the cloud with the tenth pass;
  // the fifteenth finds nothing changed and uploads nothing.
  env_->AddUser(12, "wang", "王五");
  ASSERT_TRUE(env_->db().AddMembership(1, 12, 3));
  ASSERT_TRUE(Drive([&] { return app_.Count() == 10; }, 1000));
  calls = app_.Calls();
  EXPECT_EQ(calls[8].uploadsBefore, 2u);
  EXPECT_EQ(calls[9].uploadsBefore, 4u);
  jobs = cloud_.ImportJobs();
  ASSERT_EQ(jobs.size(), 4u);
  ASSERT_EQ(jobs[3].rows.size(), 4u);  // header and three users
  EXPECT_EQ(jobs[3].rows[3][0], "王五");
  ASSERT_TRUE(Drive([&] { return app_.Count() == 15; }, 1000));
  EXPECT_EQ(app_.Calls()[14].uploadsBefore, 4u);
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK Dept and Users is not change compare with last time"));
}

TEST_F(SyncThreadCloudTest, AStopDuringALongImportEndsTheThreadPromptly) {
  cloud_.SetImportProgress({50});  // never finishes: followed for 30 minutes
  Run();
  ASSERT_TRUE(Drive([&] { return cloud_.CountRequests("check_contacts_job") >= 3; }));
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  const auto stopped = std::chrono::steady_clock::now();
  stop_.Request();  // the clock stands still: only the stop can end the waits
  ASSERT_TRUE(test::WaitReal([&] { return done_.load(); }, 3000));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(2));
  thread_.join();
  EXPECT_TRUE(env_->root().LogContains("no longer followed at 50%: stop requested"));
  EXPECT_TRUE(env_->root().LogContains("SyncOrg2Ondeko SyncDataToDK() return -10004"));
  EXPECT_EQ(app_.Count(), 4u);  // the stopped pass pushes no presence
  EXPECT_EQ(cloud_.CountRequests("sync_member_contacts"), 0u);
}

}  // namespace
}  // namespace nuv
