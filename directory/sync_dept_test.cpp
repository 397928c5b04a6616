// Directory upload and presence sync against the cloud simulator on
// loopback, with a real SQLite directory database read through ODBC.
#include "directory/sync_dept.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cloud/http_transport.h"
#include "common/clock.h"
#include "common/virtual_clock.h"
#include "directory/directory_test_support.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using test::ReadWholeFile;

class SyncDeptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
    env_ = std::make_unique<test::DirectoryEnv>(cloud_.ServiceIniSection());
    test::WriteWholeFile(env_->syncDir() + "qy.ini", cloud_.QyIniText());
    SetClockForTest(&clock_);
    // A fresh connection per request: a kept-alive one would hold the
    // simulator's stop for its keep-alive time.
    SetConnectionReuse(false);
  }
  void TearDown() override {
    SetClockForTest(nullptr);
  }

  void Populate() {
    ASSERT_TRUE(env_->db().AddDept(1, 0, "总部", 1));
    ASSERT_TRUE(env_->db().AddDept(2, 1, "研发部", 2));
    env_->AddUser(10, "zhang", "张三", 1);
    env_->AddUser(11, "li", "李四");
    ASSERT_TRUE(env_->db().AddMembership(2, 10, 1));
    ASSERT_TRUE(env_->db().AddMembership(1, 11, 1));
  }

  // Endpoints of the requests since the last ClearRequests, in order.
  std::vector<std::string> Calls() {
    std::vector<std::string> out;
    for (const auto& r : cloud_.Requests()) {
      out.push_back(r.endpoint == "upload_kf" ? r.target.substr(r.target.find('?')) : r.endpoint);
    }
    return out;
  }

  int Sync(int32_t& errCode, std::string& errMsg) {
    SyncDept sync;
    return sync.SyncDataToDK(env_->syncDir(), 0, errCode, errMsg);
  }

  sim::SimCloud cloud_;
  std::unique_ptr<test::DirectoryEnv> env_;
  VirtualClock clock_{VirtualClock::Mode::kAuto};
};

TEST_F(SyncDeptTest, UploadsBothFilesInOrderThenNothingWhileUnchanged) {
  Populate();
  int32_t errCode = -1;
  std::string errMsg = "x";
  ASSERT_EQ(0, Sync(errCode, errMsg));
  EXPECT_EQ(0, errCode);
  const std::vector<std::string> full = {"?type=1",
                                         "set_org_contacts",
                                         "check_contacts_job",
                                         "check_contacts_job",
                                         "check_contacts_job",
                                         "?type=2",
                                         "sync_member_contacts",
                                         "check_contacts_job",
                                         "check_contacts_job",
                                         "check_contacts_job"};
  EXPECT_EQ(full, Calls());
  auto uploads = cloud_.KfUploads();
  ASSERT_EQ(2u, uploads.size());
  EXPECT_EQ(ReadWholeFile(env_->syncDir() + "deptFramework.csv"), uploads[0].data);
  EXPECT_EQ(ReadWholeFile(env_->syncDir() + "userFramework.csv"), uploads[1].data);
  auto jobs = cloud_.ImportJobs();
  ASSERT_EQ(2u, jobs.size());
  EXPECT_EQ(std::to_string(cloud_.Credentials().vid), jobs[0].kf_file_key);
  EXPECT_EQ(0, jobs[0].op);
  EXPECT_EQ(2, jobs[1].op);
  ASSERT_EQ(3u, jobs[1].rows.size());
  EXPECT_EQ("张三", jobs[1].rows[1][0]);
  EXPECT_EQ("3", jobs[1].rows[1][4]);
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK 同步组织架构完成100:0"));
  // Paced: a second between queries of one job.
  EXPECT_GE(clock_.NowMs() - 1765274400000LL, 4000);

  cloud_.ClearRequests();
  ASSERT_EQ(0, Sync(errCode, errMsg));
  EXPECT_TRUE(Calls().empty());
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK Dept and Users is not change compare with last time"));

  // A changed user alone still sends both files, departments first.
  ASSERT_TRUE(env_->db().RenameUser(11, "李四四"));
  cloud_.ClearRequests();
  ASSERT_EQ(0, Sync(errCode, errMsg));
  EXPECT_EQ(full, Calls());
}

TEST_F(SyncDeptTest, ImportProgressFailures) {
  Populate();
  int32_t errCode = 0;
  std::string errMsg;
  cloud_.SetImportProgress({0});
  EXPECT_EQ(kSyncImportFailed, Sync(errCode, errMsg));
  EXPECT_EQ(1u, cloud_.CountRequests("check_contacts_job"));
  EXPECT_EQ(0u, cloud_.CountRequests("sync_member_contacts"));
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK 同步组织架构百分比出错:0"));

  // A changed name: sent again whatever the last run did.
  ASSERT_TRUE(env_->db().RenameDept(1, "总公司"));
  cloud_.SetImportProgress({30, 60, 100});
  cloud_.ClearRequests();
  sim::SimFault fault;
  fault.errCode = 5;
  cloud_.InjectFault("check_contacts_job", fault);
  EXPECT_EQ(kSyncImportFailed, Sync(errCode, errMsg));
  EXPECT_EQ(5, errCode);
  EXPECT_EQ("injected fault", errMsg);
  EXPECT_EQ(1u, cloud_.CountRequests("check_contacts_job"));
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK 同步组织架构百分比出错:5"));
  EXPECT_TRUE(env_->root().LogContains("CheckSyncPercentage call CheckContacts error_code:5"));
}

TEST_F(SyncDeptTest, AnExportThatDidNotGoThroughIsSentAgainUnchanged) {
  Populate();
  int32_t errCode = 0;
  std::string errMsg;
  sim::SimFault fault;
  fault.errCode = 7;
  cloud_.InjectFault("sync_member_contacts", fault);
  EXPECT_EQ(0, Sync(errCode, errMsg));  // the user import refused: 0 with errCode 7
  EXPECT_EQ(7, errCode);
  EXPECT_TRUE(test::FileExists(env_->syncDir() + kSyncPendingName));

  // Nothing changed in the directory, yet both files go again.
  cloud_.ClearRequests();
  errCode = 0;
  ASSERT_EQ(0, Sync(errCode, errMsg));
  EXPECT_EQ(0, errCode);
  EXPECT_EQ(1u, cloud_.CountRequests("set_org_contacts"));
  EXPECT_EQ(1u, cloud_.CountRequests("sync_member_contacts"));
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK last export did not finish, send the files again"));
  EXPECT_FALSE(test::FileExists(env_->syncDir() + kSyncPendingName));

  // Through now: an unchanged directory sends nothing.
  cloud_.ClearRequests();
  ASSERT_EQ(0, Sync(errCode, errMsg));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(SyncDeptTest, RefusedOrgImportStopsBeforeTheUsers) {
  Populate();
  sim::SimFault fault;
  fault.errCode = 7;
  cloud_.InjectFault("set_org_contacts", fault);
  int32_t errCode = 0;
  std::string errMsg;
  EXPECT_EQ(0, Sync(errCode, errMsg));
  EXPECT_EQ(7, errCode);
  EXPECT_EQ(0u, cloud_.CountRequests("check_contacts_job"));
  EXPECT_EQ(0u, cloud_.CountRequests("sync_member_contacts"));
  EXPECT_TRUE(env_->root().LogContains(
      "SyncDataToDK Dept call SetOrgContacts fail ret:0 err_code:7 err_msg:injected fault"));
}

TEST_F(SyncDeptTest, NoDatabaseAndNoSnapshotsFailsTheUpload) {
  ASSERT_TRUE(env_->db().Exec("SELECT 1"));
  test::WriteWholeFile(env_->imDir() + "/Config/nuvserver.xml",
                       "<DBServer DBConnstring=\"Driver=SQLite3;Database=../db/gone.sqlite\"></DBServer>");
  int32_t errCode = 0;
  std::string errMsg;
  EXPECT_EQ(kSyncUploadFailed, Sync(errCode, errMsg));
  EXPECT_EQ(0u, cloud_.KfUploads().size());
  EXPECT_TRUE(env_->root().LogContains("SyncDataToDK Dept call SyncDataToQF fail:-10002"));
  SyncDept sync;
  EXPECT_EQ(kSyncEmptyPath, sync.SyncDataToQF("", 1, "", errCode, errMsg));
}

TEST_F(SyncDeptTest, AnImportStuckBelow100IsGivenUpAfterThirtyMinutes) {
  Populate();
  SetClockForTest(nullptr);
  VirtualClock manual(VirtualClock::Mode::kManual);
  SetClockForTest(&manual);
  std::atomic<bool> done{false};
  int64_t start = manual.NowMs();
  // Each paced pause lasts a virtual minute here, so the test needs only
  // about thirty queries.
  std::thread driver([&] {
    while (!done) {
      if (!manual.WaitForSleepers(1, 50)) continue;
      const size_t before = cloud_.CountRequests("check_contacts_job");
      manual.Advance(60000);
      // Once per pause: wait until the woken loop has made its next query
      // (or ended). Waiting by a count of yields was not enough on a loaded
      // machine: a second advance into the same pause skipped a query.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!done && cloud_.CountRequests("check_contacts_job") == before &&
             std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  });
  cloud_.SetImportProgress({50});
  int32_t errCode = 0;
  std::string errMsg;
  int r = Sync(errCode, errMsg);
  done = true;
  driver.join();
  SetClockForTest(&clock_);
  EXPECT_EQ(kSyncImportFailed, r);
  EXPECT_GE(manual.NowMs() - start, kImportGiveUpMs);
  size_t queries = cloud_.CountRequests("check_contacts_job");
  EXPECT_GE(queries, 30u);
  EXPECT_LE(queries, 32u);
  EXPECT_TRUE(env_->root().LogContains("still at 50% after 30 minutes, giving up"));
}

// ---- presence -------------------------------------------------------------

std::string NameList(int from, int to) {
  std::string s;
  for (int i = from; i < to; ++i) s += "u" + std::to_string(i) + ";";
  return s;
}

TEST_F(SyncDeptTest, PresenceSendsOnlyNewcomersOfEachState) {
  std::vector<std::string> known;
  for (int i = 0; i < 3000; ++i) known.push_back("u" + std::to_string(i));
  cloud_.AddKnownUsers(known);
  SyncDept sync;
  EXPECT_EQ(0, sync.SyncOnlineStateToDK("u1;u2;", "u3;", "u4;"));
  auto batches = cloud_.MuteBatches();
  ASSERT_EQ(3u, batches.size());
  EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"u1", 0}, {"u2", 0}}), batches[0]);
  EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"u3", 1}}), batches[1]);
  EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"u4", 2}}), batches[2]);

  EXPECT_EQ(0, sync.SyncOnlineStateToDK("u1;u2;", "u3;", "u4;"));
  EXPECT_EQ(3u, cloud_.MuteBatches().size());

  // u1 goes away and comes back.
  sync.SyncOnlineStateToDK("u2;", "u3;", "u4;u1;");
  sync.SyncOnlineStateToDK("u2;u1;", "u3;", "u4;");
  batches = cloud_.MuteBatches();
  ASSERT_EQ(5u, batches.size());
  EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"u1", 2}}), batches[3]);
  EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"u1", 0}}), batches[4]);

  // An empty offline text: logged, its file rewritten, nothing sent for it.
  sync.SyncOnlineStateToDK("u2;u1;", "", "u4;");
  EXPECT_EQ(5u, cloud_.MuteBatches().size());
  EXPECT_TRUE(env_->root().LogContains(
      "SyncDept::SyncOnlineStateToDK input onlineList size:6 offlieList size:0"));
  EXPECT_TRUE(test::FileExists(env_->syncDir() + "offline.txt"));
  EXPECT_EQ("", ReadWholeFile(env_->syncDir() + "offline.txt"));

  // Names the cloud does not know are counted in the log.
  sync.SyncOnlineStateToDK("u2;u1;ghost;", "u3;", "u4;");
  EXPECT_TRUE(env_->root().LogContains(
      "SyncDept::SyncOnlineStateToDK onlieList call SetMuteStatus ret:0 errcode:0 errmsg:ok "
      "invalid_user.size:1"));
}

TEST(MuteBatches, AtMostAThousandWithTheEntryAtIndex1000Alone) {
  EXPECT_EQ((std::vector<size_t>{1000, 1, 1000, 499}), MuteBatchSizes(2500));
  EXPECT_EQ((std::vector<size_t>{1000}), MuteBatchSizes(1000));
  EXPECT_EQ((std::vector<size_t>{1000, 1}), MuteBatchSizes(1001));
  EXPECT_EQ((std::vector<size_t>{3}), MuteBatchSizes(3));
  EXPECT_TRUE(MuteBatchSizes(0).empty());
}

TEST_F(SyncDeptTest, PresenceSendsEveryNameOnceInListOrder) {
  std::vector<std::string> known;
  for (int i = 0; i < 100; ++i) known.push_back("u" + std::to_string(i));
  cloud_.AddKnownUsers(known);
  SyncDept sync;
  sync.SyncOnlineStateToDK(NameList(0, 100), "x;y", "");
  auto batches = cloud_.MuteBatches();
  ASSERT_EQ(2u, batches.size());
  ASSERT_EQ(100u, batches[0].size());
  for (int i = 0; i < 100; ++i) EXPECT_EQ("u" + std::to_string(i), batches[0][i].first);
  // "x;y": only x is a name (unknown to the cloud: rejected and counted).
  EXPECT_TRUE(batches[1].empty());
  EXPECT_EQ("x;y", ReadWholeFile(env_->syncDir() + "offline.txt"));
  EXPECT_TRUE(env_->root().LogContains("offlineList call SetMuteStatus ret:0 errcode:0 errmsg:ok "
                                       "invalid_user.size:1"));
}

}  // namespace
}  // namespace nuv
