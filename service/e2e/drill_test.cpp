// Fault drills against the real programs. Each drill breaks one thing, then
// a message must cross both ways; the time from the fault until both have
// arrived is printed as "[drill] <name>: carried again after N s".
// The status reports (every 10 s) and the restart report of a worker that
// ends itself are checked here too.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

void Report(const char* drill, double seconds, const BridgeRig::RoundTrip& rt) {
  std::printf("[drill] %s: carried again after %.1f s (IM->cloud %.1f s, cloud->IM %.1f s)\n", drill,
              seconds, rt.toCloud, rt.toIm);
  std::fflush(stdout);
  ::testing::Test::RecordProperty(std::string("recovery_s_") + drill, std::to_string(seconds));
}

class DrillE2E : public ::testing::Test {
 protected:
  void StartBridge(RigOptions o = RigOptions()) {
    rig_ = std::make_unique<BridgeRig>(std::move(o));
    std::string why;
    ASSERT_TRUE(rig_->StartAll(&why)) << why;
    BridgeRig::RoundTrip warm = rig_->BothWays("warm-up");
    ASSERT_TRUE(warm.ok) << "no traffic before the drill";
  }
  BridgeRig& rig() { return *rig_; }
  std::unique_ptr<BridgeRig> rig_;
};

TEST_F(DrillE2E, KilledWorkerIsReplacedAndKeepsItsCounters) {
  StartBridge();
  const pid_t worker = rig().LastWorker();
  const uint64_t token = rig().SavedToken();
  // maxmsgid is saved after the warm-up's message was queued, so the
  // arrival may come first.
  ASSERT_TRUE(WaitUntil([&] { return rig().SavedMaxMsgId() != 0; }, 5));
  const uint64_t maxmsgid = rig().SavedMaxMsgId();
  ASSERT_NE(token, 0u);
  const size_t fetchesBefore = rig().Cloud("/requests?endpoint=fetch_msg").json.size();

  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  const auto t0 = SteadyClock::now();
  ASSERT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 5));
  // Announced while no worker runs: the push server keeps them pending.
  rig().CloudUserSends("zhang", {"alice"}, "while down 1");
  rig().CloudUserSends("zhang", {"bob"}, "while down 2");

  const pid_t next = rig().WaitNewWorker(worker, 10);
  ASSERT_NE(next, 0);
  const double restartAfter = SecondsSince(t0);
  EXPECT_LT(restartAfter, 8.0);
  BridgeRig::RoundTrip rt = rig().BothWays("after kill -9 of the worker");
  ASSERT_TRUE(rt.ok);
  Report("kill -9 worker", SecondsSince(t0), rt);
  std::printf("[drill] new worker started %.1f s after the kill\n", restartAfter);

  for (const char* t : {"while down 1", "while down 2"}) {
    EXPECT_EQ(rig().WaitImMessages(BridgeRig::ImWithText(t), 10).size(), 1u) << t;
  }
  // The token survived: the new worker presented it on its connect.
  EXPECT_EQ(rig().SavedToken(), token);
  Json::Value connects = rig().Cloud("/control/push/status").json["connects"];
  ASSERT_GE(connects.size(), 2u);
  EXPECT_EQ(connects[connects.size() - 1]["token"].asUInt64(), token);
  // maxmsgid survived: no fetch of the old range, every old message once.
  EXPECT_TRUE(WaitUntil([&] { return rig().SavedMaxMsgId() > maxmsgid; }, 5)) << rig().SavedMaxMsgId();
  EXPECT_EQ(rig().Cloud("/requests?endpoint=fetch_msg").json.size(), fetchesBefore);
  EXPECT_EQ(rig().ImMessages(BridgeRig::ImWithText("warm-up")).size(), 1u);
}

TEST_F(DrillE2E, PushServerClosesAndRefusesTheFirstReconnects) {
  StartBridge();
  const int keyRequests = rig().Cloud("/control/push/status").json["key_requests"].asInt();
  Json::Value faults;
  faults["reject_connects"] = 2;
  ASSERT_TRUE(rig().CloudPost("/control/push/faults", faults).ok());
  ASSERT_TRUE(rig().CloudPost("/control/push/close", Json::Value(Json::objectValue)).ok());
  const auto t0 = SteadyClock::now();
  BridgeRig::RoundTrip rt = rig().BothWays("after the push server refused");
  ASSERT_TRUE(rt.ok);
  Report("push close + 2 refused connects", SecondsSince(t0), rt);
  Json::Value status = rig().Cloud("/control/push/status").json;
  EXPECT_GE(status["key_requests"].asInt(), keyRequests + 3) << "two refused attempts, then one accepted";
  EXPECT_EQ(status["established"].asInt(), 1);
}

TEST_F(DrillE2E, ImServerStopsTheApplicationAndDropsItsConnections) {
  StartBridge();
  Json::Value stop;
  stop["code"] = 1;
  stop["target"] = "both";
  ASSERT_TRUE(rig().ImPost("/stop-app", stop).ok());
  ASSERT_TRUE(rig().ImPost("/drop", Json::Value(Json::objectValue)).ok());
  const auto t0 = SteadyClock::now();
  // The processor goes through STOP (push and IM application torn down,
  // about 25 s of pauses) and starts again from INIT.
  BridgeRig::RoundTrip rt = rig().BothWays("after the application stopped", 60);
  ASSERT_TRUE(rt.ok) << rig().Im("/state").body;
  Report("IM application stopped + connections dropped", SecondsSince(t0), rt);
  EXPECT_GE(rig().CountLog("STOP status !!! clean up and set status to INIT"), 1);
  EXPECT_EQ(rig().WorkerPids().size(), 1u) << "handled inside the worker, no restart";
}

TEST_F(DrillE2E, ExpiredSessionKeyIsRenewed) {
  StartBridge();
  const size_t refreshes = rig().Cloud("/requests?endpoint=refresh_skey").json.size();
  ASSERT_TRUE(rig().CloudPost("/skey/expire", Json::Value(Json::objectValue)).ok());
  const auto t0 = SteadyClock::now();
  BridgeRig::RoundTrip rt = rig().BothWays("after the session key expired");
  ASSERT_TRUE(rt.ok);
  Report("session key expired", SecondsSince(t0), rt);
  EXPECT_GT(rig().Cloud("/requests?endpoint=refresh_skey").json.size(), refreshes);
}

TEST_F(DrillE2E, StalledSendIsAbandonedAndRetried) {
  RigOptions o;
  o.cloudExtra = "stall_timeout = 2\n";
  StartBridge(o);
  // One send_msg hangs for 30 s: far past the 2 s stall limit, so only the
  // retry (after more than 5 s) can deliver the message in time.
  Json::Value fault;
  fault["endpoint"] = "send_msg";
  fault["kind"] = "stall";
  fault["stallMs"] = 30000;
  ASSERT_TRUE(rig().CloudPost("/faults", fault).ok());
  const auto t0 = SteadyClock::now();
  const std::string text = "through a stalled cloud";
  ASSERT_FALSE(rig().ImUserSends("alice", {"bob"}, text).empty());
  ASSERT_EQ(rig().WaitCloudSent(BridgeRig::SentWithContent(text), 20).size(), 1u);
  const double arrived = SecondsSince(t0);
  EXPECT_LT(arrived, 20.0);
  EXPECT_GE(arrived, 5.0) << "the first attempt cannot have delivered it";
  BridgeRig::RoundTrip rt = rig().BothWays("after the stall");
  ASSERT_TRUE(rt.ok);
  Report("send_msg stalled past the stall limit", arrived, rt);
  int attempts = 0;
  for (const auto& r : rig().Cloud("/requests?endpoint=send_msg").json)
    if (r["body"].asString().find(text) != std::string::npos) ++attempts;
  EXPECT_EQ(attempts, 2);
}

TEST_F(DrillE2E, KilledWatchdogTakesItsWorkerAlong) {
  StartBridge();
  const pid_t worker = rig().LastWorker();
  const size_t workers = rig().WorkerPids().size();
  rig().watchdog().Signal(SIGKILL);
  const auto t0 = SteadyClock::now();
  ASSERT_NE(rig().watchdog().Wait(5), -1);
  ASSERT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 5)) << "worker outlived its watchdog";
  const double workerGone = SecondsSince(t0);
  // Nothing bridges any more: the IM sees the application gone.
  ASSERT_TRUE(WaitUntil([&] { return !rig().Im("/state").json["started"].asBool(); }, 5));
  EXPECT_EQ(rig().WorkerPids().size(), workers) << "no second worker was started";

  std::string why;
  const auto t1 = SteadyClock::now();
  ASSERT_TRUE(rig().StartWatchdog(&why)) << why;
  BridgeRig::RoundTrip rt = rig().BothWays("after a new watchdog");
  ASSERT_TRUE(rt.ok);
  std::printf("[drill] worker gone %.2f s after kill -9 of the watchdog\n", workerGone);
  Report("kill -9 watchdog (time from the new start)", SecondsSince(t1), rt);
}

// Cloud files and images for different receivers, most of them named
// image.png, while the IM server refuses one SendFile and drops every
// connection twice: each attachment reaches its own receivers with its own
// bytes, nothing else arrives (no other file, no echo forwarded to the
// cloud) and no copy is left in TmpFiles or Download.
TEST_F(DrillE2E, CloudFilesOfOneNameReachTheirOwnReceiversThroughRefusalsAndDrops) {
  StartBridge();
  const size_t cloudSentBefore = rig().Cloud("/sent").json.size();
  struct Attachment {
    std::string name, bytes, to;
    bool image;
  };
  std::vector<Attachment> sent;
  std::mt19937 rng(2121);
  const std::vector<std::vector<std::string>> receivers = {{"alice"}, {"bob"}, {"carol"}, {"alice", "carol"}};
  auto send = [&](int count) {
    for (int k = 0; k < count; ++k) {
      const size_t i = sent.size();
      Attachment a;
      a.image = i % 4 != 3;
      a.name = i % 4 == 2 ? "plan.bin" : "image.png";
      a.bytes.resize(20000 + rng() % 60000);
      for (char& c : a.bytes) c = static_cast<char>(rng() & 0xFF);
      const std::vector<std::string>& to = receivers[i % receivers.size()];
      for (const std::string& r : to) a.to += (a.to.empty() ? "" : ";") + r;
      Json::Value extra;
      extra[a.image ? "image_id_list" : "file_id_list"].append(rig().CloudPutMedia(a.name, a.bytes, a.image));
      ASSERT_NE(rig().CloudUserSends("zhang", to, "drill file " + std::to_string(i), extra), 0u);
      sent.push_back(a);
    }
  };
  // The SendFile calls the IM server took, counted per attachment they
  // carry (name, receivers, kind and bytes alike); foreign: those carrying
  // none of them.
  auto arrivals = [&](int* foreign) {
    std::map<size_t, int> seen;
    *foreign = 0;
    for (const Json::Value& f : rig().Im("/sentfiles/meta").json) {
      bool matched = false;
      for (size_t i = 0; i < sent.size() && !matched; ++i) {
        matched = f["name"].asString() == sent[i].name && f["receiver"].asString() == sent[i].to &&
                  f["sha256"].asString() == Sha256Hex(sent[i].bytes) &&
                  f["isFile"].asString() == (sent[i].image ? "0" : "1");
        if (matched) ++seen[i];
      }
      if (!matched) ++*foreign;
    }
    return seen;
  };
  auto drop = [&] { ASSERT_TRUE(rig().ImPost("/drop", Json::Value(Json::objectValue)).ok()); };
  int foreign = 0;
  const auto t0 = SteadyClock::now();

  Json::Value refuse;
  refuse["send_file_fail"] = "once";
  ASSERT_TRUE(rig().ImPost("/faults", refuse).ok());
  send(4);
  ASSERT_TRUE(WaitUntil([&] { return arrivals(&foreign).size() >= 2; }, 30)) << rig().Diagnostics(40);
  drop();
  send(2);  // while the bridge is away from the IM server
  ASSERT_TRUE(WaitUntil([&] { return arrivals(&foreign).size() == sent.size(); }, 90)) << rig().Diagnostics(40);
  send(2);
  drop();
  const bool all = WaitUntil([&] { return arrivals(&foreign).size() == sent.size(); }, 90);
  std::map<size_t, int> seen = arrivals(&foreign);
  int duplicates = 0;
  for (const auto& kv : seen) duplicates += kv.second - 1;
  std::printf("[drill] %zu cloud attachments through a refused SendFile and two dropped connections: all arrived %s "
              "after %.1f s, duplicates %d, foreign %d\n",
              sent.size(), all ? "yes" : "NO", SecondsSince(t0), duplicates, foreign);
  std::fflush(stdout);
  ASSERT_TRUE(all) << seen.size() << "/" << sent.size() << rig().Diagnostics(40);
  EXPECT_EQ(foreign, 0) << rig().Im("/sentfiles/meta").body;
  // A SendFile the server took just as its connection went is sent again.
  EXPECT_LE(duplicates, 2);
  EXPECT_EQ(rig().CountLog("SendFile: the file cannot be delivered now"), 1) << "the refusal was not met";
  EXPECT_EQ(rig().Cloud("/sent").json.size(), cloudSentBefore) << "an echo went to the cloud";
  const std::string tmp = rig().root().bin() + "TmpFiles", download = rig().root().root() + "/Download";
  EXPECT_TRUE(WaitUntil([&] { return test::DirEntries(tmp).empty() && test::DirEntries(download).empty(); }, 10))
      << test::DirEntries(tmp).size() << " in TmpFiles, " << test::DirEntries(download).size() << " in Download";
}

TEST_F(DrillE2E, StatusReportsEveryTenSecondsAndRebootReportOfAWorkerEndingItself) {
  // maxmem 1 MB: the first resource check (about 20 s after start) ends the
  // worker after its restart report.
  RigOptions o;
  o.generalconf = "0;0;0;0;99;1;0;0;";
  rig_ = std::make_unique<BridgeRig>(o);
  std::string why;
  ASSERT_TRUE(rig().StartAll(&why)) << why;
  const pid_t worker = rig().LastWorker();
  auto reboot = [&] {
    for (const auto& r : rig().Cloud("/reports").json)
      if (r.asString().rfind("REBOOT#1#", 0) == 0) return r.asString();
    return std::string();
  };
  ASSERT_TRUE(WaitUntil([&] { return !reboot().empty(); }, 40)) << rig().Cloud("/reports").body;
  const std::string rb = reboot();
  EXPECT_NE(rb.find("#TOOMANYMEM"), std::string::npos) << rb;
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 5));
  EXPECT_GE(rig().CountLog("use too many memory, exit"), 1);

  // MSG#1#start#end#count, one every 10 s; periods join end to start.
  std::vector<std::array<long, 3>> msgs;
  for (const auto& r : rig().Cloud("/reports").json) {
    std::array<long, 3> v{};
    if (std::sscanf(r.asString().c_str(), "MSG#1#%ld#%ld#%ld", &v[0], &v[1], &v[2]) == 3) msgs.push_back(v);
  }
  ASSERT_GE(msgs.size(), 2u) << rig().Cloud("/reports").body;
  EXPECT_EQ(msgs[0][0], msgs[0][1]) << "the first report covers an empty period";
  for (size_t i = 1; i < msgs.size(); ++i) {
    EXPECT_EQ(msgs[i][0], msgs[i - 1][1]);
    EXPECT_GE(msgs[i][1] - msgs[i][0], 9);
    EXPECT_LE(msgs[i][1] - msgs[i][0], 12);
  }
  // The watchdog brings up a fresh worker about 5 s later.
  EXPECT_NE(rig().WaitNewWorker(worker, 10), 0);
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
