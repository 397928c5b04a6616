// Status reports and the directory thread through the whole wired worker,
// minutes of virtual time at a time: statistics every 10 s, restart reports
// for a dead queue and the memory limit, presence and the directory on the
// minute rhythm, and a stop during a long import.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "processor/processor.h"
#include "processor/work_queue.h"
#include "service/bridge_test_env.h"
#include "service/run_as_child.h"
#include "service/test_log_count.h"
#include "sim/imdb/im_directory_db.h"

namespace nuv {
namespace {

using Batch = std::vector<std::pair<std::string, int>>;

struct MsgReport {
  long start = 0, end = 0, count = 0;
};

// The MSG#1#start#end#count records among the cloud's cli_report records.
std::vector<MsgReport> MsgReports(const std::vector<std::string>& all) {
  std::vector<MsgReport> out;
  for (const std::string& r : all) {
    MsgReport m;
    char tail = 0;
    if (std::sscanf(r.c_str(), "MSG#1#%ld#%ld#%ld%c", &m.start, &m.end, &m.count, &tail) == 3) out.push_back(m);
  }
  return out;
}

// The REBOOT#1#time#CODE records with the given code; their times.
std::vector<long> RebootTimes(const std::vector<std::string>& all, const std::string& code) {
  std::vector<long> out;
  for (const std::string& r : all) {
    long t = 0;
    char rest[64] = {0};
    if (std::sscanf(r.c_str(), "REBOOT#1#%ld#%63s", &t, rest) == 2 && code == rest) out.push_back(t);
  }
  return out;
}

sim::ImSimServer::UserMessage WithFile(const std::string& name) {
  sim::ImSimServer::UserMessage m;
  m.from = "zhang";
  m.to = {"li"};
  m.text = "file " + name;
  m.files = {{name, "bytes of " + name, false, false}};
  return m;
}

// The IM server's directory: one department, three users.
void FillDirectory(test::BridgeTestEnv& env) {
  sim::ImDirectoryDb& db = env.imdb();
  ASSERT_TRUE(db.AddDept(1, 0, "总部", 1)) << db.lastError();
  const char* accounts[] = {"zhang", "li", "wang"};
  const char* names[] = {"张三", "李四", "王五"};
  for (int i = 0; i < 3; ++i) {
    sim::SimUser u;
    u.id = 10 + i;
    u.account = accounts[i];
    u.name = names[i];
    u.mobile = "1380000" + std::to_string(u.id);
    u.email = u.account + "@example.com";
    ASSERT_TRUE(db.AddUser(u)) << db.lastError();
    ASSERT_TRUE(db.AddMembership(1, u.id, i + 1)) << db.lastError();
  }
  env.cloud().AddKnownUsers({"zhang", "li", "wang", "zhao"});
}

// Options of an environment the test starts itself, once the scene is set.
test::BridgeTestEnv::Options NotStarted() {
  test::BridgeTestEnv::Options options;
  options.start = false;
  return options;
}

// The whole bridge with the IM server's directory filled, not yet started.
class DirectoryEnv : public test::BridgeTestEnv {
 public:
  DirectoryEnv() : BridgeTestEnv(NotStarted()) { FillDirectory(*this); }
};

TEST(BridgeReports, StatisticsReachTheCloudEveryTenVirtualSeconds) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  sim::ImSimServer::UserMessage m;
  m.from = "zhang";
  m.to = {"li"};
  m.text = "counted";
  ASSERT_TRUE(env.RaiseImMessage(m));
  ASSERT_TRUE(env.RaiseImMessage(m));
  ASSERT_EQ(env.WaitForSentMessages(2).size(), 2u);

  ASSERT_TRUE(env.AdvanceUntil([&] { return MsgReports(env.cloud().Reports()).size() >= 5; }));
  const std::vector<MsgReport> reports = MsgReports(env.cloud().Reports());
  // The first covers the thread's start alone; each later one starts where
  // the previous ended, about 10 s later (the exchange itself takes a little
  // virtual time at this pace, up to 4 s in a sanitizer build).
  EXPECT_EQ(reports[0].start, reports[0].end);
  EXPECT_EQ(reports[0].count, 0);
  long counted = 0;
  for (size_t i = 0; i < reports.size(); ++i) {
    counted += reports[i].count;
    if (i == 0) continue;
    EXPECT_EQ(reports[i].start, reports[i - 1].end) << i;
    EXPECT_GE(reports[i].end - reports[i].start, 10) << i;
    EXPECT_LE(reports[i].end - reports[i].start, 15) << i;
  }
  // The two messages and the token binding, each counted once.
  EXPECT_EQ(counted, 3);
}

TEST(BridgeReports, DeadQueueIsReportedBeforeTheProcessEnds) {
  // What the blocking handler touches outlives the environment.
  std::atomic<bool> release{false};
  std::atomic<int> entered{0};
  test::BridgeTestEnv env(NotStarted());
  // The file worker hangs on its first item, so its queue stops moving.
  env.processor().Handlers().Register(WQUEUE_NUV2ONDEKOFILE, MsgHandler([&](CQueueMsg&, bool) {
    ++entered;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!release.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return 1;
  }));
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag = true; }
  } releaseAtEnd{release};  // before the environment's end joins the worker
  // The grace runs from the supervisor's start, which lies after this.
  const int64_t before = env.clock().Now();
  env.Start();
  ASSERT_TRUE(env.WaitForStart());

  ASSERT_TRUE(env.RaiseImMessage(WithFile("a.doc")));
  ASSERT_TRUE(env.WaitUntil([&] { return entered.load() == 1; }));
  ASSERT_TRUE(env.RaiseImMessage(WithFile("b.doc")));
  ASSERT_TRUE(env.WaitUntil([&] { return GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)->Size() == 1; }));

  // Past the supervisor's 15-minute grace; the advance stops once the report
  // is asked for, so that the report's own limit runs at the steady pace.
  ASSERT_TRUE(env.AdvanceUntil([&] { return !env.RebootReports().empty(); }, 3000));
  ASSERT_TRUE(env.WaitUntil([&] { return env.ProcessEndRequests() == 1; }));
  EXPECT_EQ(env.RebootReports(), std::vector<std::wstring>{L"OUTQUEUEDEAD"});
  const std::vector<std::vector<std::string>> atEnd = env.ReportsAtEndRequests();
  ASSERT_EQ(atEnd.size(), 1u);
  const std::vector<long> times = RebootTimes(atEnd[0], "OUTQUEUEDEAD");
  ASSERT_EQ(times.size(), 1u);
  EXPECT_GE(times[0], before + 900);
  EXPECT_LE(times[0], env.clock().Now());
  EXPECT_TRUE(env.root().LogContains("monthread IsOutqueueDead return TRUE, exit"));
  EXPECT_TRUE(env.root().LogContains("ReportReboot 'OUTQUEUEDEAD' OK"));
  EXPECT_EQ(entered.load(), 1);
}

// Readings far over any memory limit, a calm CPU.
class HugeMemory : public ResourceProbes {
 public:
  int MemUsageKB(uint64_t& kb) override {
    kb = 64ULL << 20;  // 64 GB
    return 0;
  }
  int CpuUsage(int& load) override {
    load = 5;
    return 0;
  }
};

// The worker's main routine with the environment's processor.
class EnvBridge : public WorkerBridge {
 public:
  explicit EnvBridge(test::BridgeTestEnv& env) : env_(env) {}
  void Start() override { env_.Start(); }
  void EndProcess(const std::wstring& code) override { ProcessorBridge().EndProcess(code); }

 private:
  test::BridgeTestEnv& env_;
};

TEST(BridgeReports, MemoryLimitIsReportedThroughTheProcessorsEnd) {
  HugeMemory probes;
  std::atomic<bool> done{false};
  test::BridgeTestEnv env(NotStarted());
  EnvBridge bridge(env);
  std::thread child([&] {
    RunAsChild(bridge, probes);
    done = true;
  });
  struct Join {
    std::thread& t;
    ~Join() { t.join(); }
  } joinAtEnd{child};

  ASSERT_TRUE(env.WaitForStart());
  ASSERT_TRUE(env.AdvanceUntil([&] { return !env.RebootReports().empty(); }, 1000));
  ASSERT_TRUE(env.WaitUntil([&] { return done.load(); }));
  EXPECT_EQ(env.RebootReports(), std::vector<std::wstring>{L"TOOMANYMEM"});
  EXPECT_EQ(env.ProcessEndRequests(), 1);
  const std::vector<std::vector<std::string>> atEnd = env.ReportsAtEndRequests();
  ASSERT_EQ(atEnd.size(), 1u);
  EXPECT_EQ(RebootTimes(atEnd[0], "TOOMANYMEM").size(), 1u);
  EXPECT_TRUE(env.root().LogContains("KB, use too many memory, exit"));
  EXPECT_TRUE(env.root().LogContains("ReportReboot 'TOOMANYMEM' OK"));
}

TEST(BridgeReports, PresenceEveryMinuteAndTheDirectoryOnTheFifthPass) {
  DirectoryEnv env;
  env.im().SetPresence("zhang", "online");
  env.im().SetPresence("li", "offline");
  env.im().SetPresence("wang", "away");
  env.Start();
  // The thread's start, seen at the steady pace (a few virtual ms late).
  ASSERT_TRUE(env.WaitUntil(
      [&] { return env.root().LogContains("Start Sync Dept data to ondeko thread, sync after 20s"); }, 20000));
  const int64_t started = env.clock().NowMs();
  ASSERT_TRUE(env.WaitForStart());

  // Virtual ms after the start at which batches arrived. Up to 2 s before a
  // pass is due the clock moves fast, then at the steady pace only, so the
  // pass's own work (real round trips) costs little virtual time and the
  // rhythm is measured, not the harness's speed.
  std::vector<int64_t> at;
  auto batchesReach = [&](size_t n, int64_t dueMs) {
    auto arrived = [&] { return env.cloud().MuteBatches().size() >= n; };
    if (!env.AdvanceUntil([&] { return arrived() || env.clock().NowMs() - started >= dueMs - 2000; }, 1000, 5) ||
        !env.WaitUntil(arrived))
      return false;
    at.push_back(env.clock().NowMs() - started);
    return true;
  };
  // First pass: every user with their state (online 0, offline 1, away 2).
  ASSERT_TRUE(batchesReach(3, 20000));
  std::vector<Batch> batches = env.cloud().MuteBatches();
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0], (Batch{{"zhang", 0}}));
  EXPECT_EQ(batches[1], (Batch{{"li", 1}}));
  EXPECT_EQ(batches[2], (Batch{{"wang", 2}}));
  // Later passes send what changed at the IM server.
  env.im().SetPresence("li", "online");
  ASSERT_TRUE(batchesReach(4, 80000));
  env.im().SetPresence("zhang", "away");
  ASSERT_TRUE(batchesReach(5, 140000));
  batches = env.cloud().MuteBatches();
  ASSERT_EQ(batches.size(), 5u);
  EXPECT_EQ(batches[3], (Batch{{"li", 0}}));
  EXPECT_EQ(batches[4], (Batch{{"zhang", 2}}));
  // A pass sleeps 60 s after its own work, so the passes drift by what that
  // work costs (more on a loaded machine): check each gap, not the sum.
  EXPECT_NEAR(at[0], 20000, 1500);
  EXPECT_NEAR(at[1] - at[0], 60000 + 750, 2250);
  EXPECT_NEAR(at[2] - at[1], 60000 + 750, 2250);
  EXPECT_TRUE(env.cloud().KfUploads().empty());

  // The fifth pass exports the directory: both files, each import followed
  // to 100, then its presence.
  env.im().SetPresence("wang", "online");  // pass four
  ASSERT_TRUE(batchesReach(6, 200000));
  env.im().SetPresence("wang", "offline");  // pass five
  ASSERT_TRUE(batchesReach(7, 260000));
  EXPECT_NEAR(at[3] - at[2], 60000 + 750, 2250);
  EXPECT_GE(at[4] - at[3], 59500);
  EXPECT_LE(at[4] - at[3], 68000);
  const std::vector<sim::SimKfUpload> uploads = env.cloud().KfUploads();
  ASSERT_EQ(uploads.size(), 2u);
  const std::vector<sim::SimImportJob> jobs = env.cloud().ImportJobs();
  ASSERT_EQ(jobs.size(), 2u);
  for (const auto& j : jobs) EXPECT_EQ(j.percentage, 100);
  EXPECT_EQ(test::CountLogLines(env.root(), "SyncOrg2Ondeko SyncDataToDK() return 0 errcode 0"), 1);
}

TEST(BridgeReports, DirectoryChangeReachesTheNextExportAndAnUnchangedOneUploadsNothing) {
  DirectoryEnv env;
  env.im().SetPresence("zhang", "online");
  env.im().SetPresence("li", "offline");
  env.Start();
  ASSERT_TRUE(env.WaitForStart());
  auto passes = [&] { return test::CountLogLines(env.root(), "SyncOnlineStateToDK ret = "); };

  ASSERT_TRUE(env.AdvanceUntil([&] { return passes() >= 5; }, 2000, 5));
  ASSERT_EQ(env.cloud().KfUploads().size(), 2u);
  const std::vector<sim::SimImportJob> first = env.cloud().ImportJobs();
  ASSERT_EQ(first.size(), 2u);

  // A user joins at the IM server: the tenth pass exports it.
  sim::SimUser u;
  u.id = 13;
  u.account = "zhao";
  u.name = "赵六";
  u.mobile = "13800000013";
  u.email = "zhao@example.com";
  ASSERT_TRUE(env.imdb().AddUser(u)) << env.imdb().lastError();
  ASSERT_TRUE(env.imdb().AddMembership(1, 13, 4)) << env.imdb().lastError();
  ASSERT_TRUE(env.AdvanceUntil([&] { return passes() >= 10; }, 2000, 5));
  std::vector<sim::SimImportJob> jobs = env.cloud().ImportJobs();
  ASSERT_EQ(env.cloud().KfUploads().size(), 4u);
  ASSERT_EQ(jobs.size(), 4u);
  bool found = false;
  for (const auto& j : jobs)
    for (const auto& row : j.rows)
      if (!row.empty() && row[0] == "赵六") found = true;
  EXPECT_TRUE(found);
  for (const auto& j : first)
    for (const auto& row : j.rows) EXPECT_TRUE(row.empty() || row[0] != "赵六");

  // Nothing changed by the fifteenth: no upload, no import.
  ASSERT_TRUE(env.AdvanceUntil([&] { return passes() >= 15; }, 2000, 5));
  EXPECT_EQ(env.cloud().KfUploads().size(), 4u);
  EXPECT_EQ(env.cloud().ImportJobs().size(), 4u);
  EXPECT_TRUE(env.root().LogContains("SyncDataToDK Dept and Users is not change compare with last time"));
}

TEST(BridgeReports, StopDuringALongImportEndsTheWorkerWithinSeconds) {
  DirectoryEnv env;
  env.cloud().SetImportProgress({50});  // never finishes: followed for 30 minutes
  env.Start();
  ASSERT_TRUE(env.WaitForStart());
  ASSERT_TRUE(env.AdvanceUntil([&] { return env.cloud().CountRequests("check_contacts_job") >= 3; }, 2000, 5));

  const auto stopping = std::chrono::steady_clock::now();
  env.StopProcessor();
  const auto took = std::chrono::steady_clock::now() - stopping;
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_TRUE(env.root().LogContains("no longer followed at 50%: stop requested"));
  EXPECT_TRUE(env.root().LogContains("~CNuv4OndekoProcessor() status is EXIT , exit now"));
  EXPECT_FALSE(env.root().LogContains("wait 20sec DONE, exit directly"));
}

}  // namespace
}  // namespace nuv
