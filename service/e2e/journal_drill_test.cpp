// Drills of the work journal with the real programs.
// - Kills: the worker is killed with SIGKILL at seeded moments of a burst of
//   texts and files both ways (IM messages in flight at the kills), and while
//   a fetch of missing cloud messages waits for its answer. Afterwards every
//   message has arrived; the duplicates (messages that were being handled, or
//   handled and not yet struck from the journal, at a kill) are counted and
//   printed.
// - Outages: the cloud fails every request for 30 s while IM messages are
//   typed, and the IM server is down for 30 s while cloud messages are
//   created. What failed twice is parked, not dropped, and arrives once the
//   far side is back; the worker is not ended for a dead queue.
// Each prints the journal's size afterwards. Bounded: up to about two
// minutes each (a parked item's first new attempt is a minute later).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// How many times each numbered text "<prefix><n>#" arrived, from the texts
// the simulator recorded.
std::map<int, int> Arrivals(const Json::Value& records, const std::string& prefix,
                            const std::function<std::string(const Json::Value&)>& text) {
  std::map<int, int> seen;
  for (const Json::Value& r : records) {
    const std::string t = text(r);
    const size_t at = t.find(prefix);
    if (at == std::string::npos) continue;
    seen[std::atoi(t.c_str() + at + prefix.size())]++;
  }
  return seen;
}

std::string DrillBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// The numbers from 0 to count - 1 that never arrived, each as " <tag><n>".
std::string Missing(const std::map<int, int>& seen, int count, const std::string& tag = "") {
  std::string out;
  for (int i = 0; i < count; ++i)
    if (!seen.count(i)) out += " " + tag + std::to_string(i);
  return out;
}

std::string CloudText(const Json::Value& m) { return m["content"].asString(); }
std::string ImText(const Json::Value& m) { return m["values"]["Content"].asString(); }

int Duplicates(const std::map<int, int>& seen) {
  int d = 0;
  for (const auto& kv : seen) d += kv.second - 1;
  return d;
}

class JournalDrill : public ::testing::Test {
 protected:
  void StartBridge() {
    // A window far smaller than the drills' loads: most of what waits, waits
    // in the journal and comes back from it as the queues drain.
    RigOptions o;
    o.iniExtra = "[journal]\nwindow = 40\n";
    rig_ = std::make_unique<BridgeRig>(o);
    std::string why;
    ASSERT_TRUE(rig_->StartAll(&why)) << why;
    ASSERT_TRUE(rig_->BothWays("warm-up").ok) << "no traffic before the drill";
    workersAtStart_ = rig_->WorkerPids().size();
  }
  void Kill() {
    const pid_t worker = rig_->LastWorker();
    ASSERT_NE(worker, 0);
    ASSERT_EQ(::kill(worker, SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 5));
    killed_.push_back(worker);
  }
  void PrintJournalSize(const char* when) {
    const std::string path = rig_->root().config() + "journal.db";
    std::printf("[drill] journal after %s: %lld bytes, -wal %lld bytes\n", when, FileSize(path),
                FileSize(path + "-wal"));
    std::fflush(stdout);
  }
  // Waits (bounded) until the count texts "<prefix><n>#" have all arrived
  // at the cloud (toCloud) or the IM server, prints the outage drill's line
  // (when the last came after the far side was back, the duplicates, what
  // the journal did) and checks that each arrived once.
  void ExpectAllOnceAfterOutage(const char* drill, const std::string& prefix, bool toCloud, int count,
                                SteadyClock::time_point back, const std::function<std::string()>& journalDid) {
    std::map<int, int> seen;
    const bool all = WaitUntil(
        [&] {
          seen = toCloud ? Arrivals(rig_->Cloud("/sent").json, prefix, CloudText)
                         : Arrivals(rig_->Im("/messages").json, prefix, ImText);
          return static_cast<int>(seen.size()) == count;
        },
        150, 250);
    std::printf("[drill] %s: all %d arrived %s, the last %.1f s after the outage ended; duplicates %d; %s; "
                "workers started during the drill %zu\n",
                drill, count, all ? "yes" : "NO", SecondsSince(back), Duplicates(seen), journalDid().c_str(),
                rig_->WorkerPids().size() - workersAtStart_);
    std::fflush(stdout);
    EXPECT_TRUE(all) << seen.size() << "/" << count << " arrived; missing:" << Missing(seen, count)
                     << rig_->Diagnostics(30);
    EXPECT_EQ(Duplicates(seen), 0);
  }
  std::unique_ptr<BridgeRig> rig_;
  std::vector<pid_t> killed_;
  size_t workersAtStart_ = 0;  // after StartBridge
};

TEST_F(JournalDrill, KilledWorkerDuringABurstBothWaysLosesNothing) {
  constexpr int kEach = 1000;
  constexpr int kKills = 5;
  constexpr int kFileEvery = 50;  // a file each way every 50 texts: 20 each way
  constexpr unsigned kSeed = 20261209;
  StartBridge();
  std::mt19937 rng(kSeed);
  std::set<int> killAt;
  int inFlight = 0;  // IM message events not acknowledged at the kills
  while (static_cast<int>(killAt.size()) < kKills)
    killAt.insert(std::uniform_int_distribution<int>(20, kEach - 20)(rng));

  std::map<std::string, std::string> upFiles, downFiles;  // name -> SHA-256
  for (int i = 0; i < kEach; ++i) {
    const std::string n = std::to_string(i);
    // Cloud side first: it is taken in by whichever worker runs; the IM side
    // refuses (and the rig retries) while no application is started.
    ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jdrill-down-" + n + "#"), 0u);
    ASSERT_FALSE(rig_->ImUserSends("alice", {"zhang"}, "jdrill-up-" + n + "#").empty()) << i;
    if (i % kFileEvery == kFileEvery / 2) {
      const std::string down = "jf-down-" + n + ".bin", up = "jf-up-" + n + ".bin";
      const std::string downBytes = DrillBytes(20 * 1024 + i, i), upBytes = DrillBytes(30 * 1024 + i, i + 7);
      downFiles[down] = Sha256Hex(downBytes);
      upFiles[up] = Sha256Hex(upBytes);
      Json::Value withFile;
      withFile["file_id_list"].append(rig_->CloudPutMedia(down, downBytes, false));
      ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "", withFile), 0u);
      Json::Value files(Json::arrayValue);
      Json::Value f;
      f["name"] = up;
      f["data"] = Base64Encode(upBytes);
      f["image"] = false;
      files.append(f);
      ASSERT_FALSE(rig_->ImUserSends("alice", {"zhang"}, "jfile-up-" + n + "#", files).empty()) << i;
    }
    if (killAt.count(i)) {
      // Killed with the text just handed to the socket: the IM server keeps
      // what the worker has not acknowledged and gives it to the next
      // worker's Start. What it kept at the kill bounds the extra copies.
      const ControlAnswer c = rig_->Im("/counts");
      ASSERT_TRUE(c.ok());
      inFlight += static_cast<int>(c.json["unacked"].asUInt64());
      Kill();
      ASSERT_NE(rig_->WaitNewWorker(killed_.back(), 15), 0);
      ASSERT_TRUE(rig_->WaitBridgeUp(30)) << rig_->Diagnostics(20);
    }
  }

  std::map<int, int> up, down;
  std::map<std::string, int> upFilesSeen, downFilesSeen;
  std::string badBytes;
  auto filesArrived = [&] {
    upFilesSeen.clear();
    downFilesSeen.clear();
    badBytes.clear();
    std::map<std::string, std::string> uploaded;  // media id -> SHA-256
    for (const Json::Value& u : rig_->Cloud("/uploads").json) uploaded[u["media_id"].asString()] = u["sha256"].asString();
    for (const Json::Value& m : rig_->Cloud("/sent").json) {
      const std::string t = m["content"].asString();
      const size_t at = t.find("jfile-up-");
      if (at == std::string::npos) continue;
      const std::string name = "jf-up-" + std::to_string(std::atoi(t.c_str() + at + 9)) + ".bin";
      upFilesSeen[name]++;
      const std::string media = m["file_id_list"][0].asString();
      if (uploaded[media] != upFiles[name]) badBytes += " " + name;
    }
    for (const Json::Value& f : rig_->Im("/sentfiles/meta").json) {
      const std::string name = f["name"].asString();
      if (!downFiles.count(name)) continue;
      downFilesSeen[name]++;
      if (f["sha256"].asString() != downFiles[name]) badBytes += " " + name;
    }
    return upFilesSeen.size() == upFiles.size() && downFilesSeen.size() == downFiles.size();
  };
  const bool all = WaitUntil(
      [&] {
        up = Arrivals(rig_->Cloud("/sent").json, "jdrill-up-", CloudText);
        down = Arrivals(rig_->Im("/messages").json, "jdrill-down-", ImText);
        return up.size() == kEach && down.size() == kEach && filesArrived();
      },
      120, 250);
  std::string missing = Missing(up, kEach, "up") + Missing(down, kEach, "down");
  for (const auto& kv : upFiles)
    if (!upFilesSeen.count(kv.first)) missing += " " + kv.first;
  for (const auto& kv : downFiles)
    if (!downFilesSeen.count(kv.first)) missing += " " + kv.first;
  std::string kills;
  for (int k : killAt) kills += " " + std::to_string(k);
  EXPECT_TRUE(all) << "IM->cloud " << up.size() << "/" << kEach << ", cloud->IM " << down.size() << "/" << kEach
                   << ", files up " << upFilesSeen.size() << "/" << upFiles.size() << ", down "
                   << downFilesSeen.size() << "/" << downFiles.size() << "; missing:" << missing
                   << "; kills after:" << kills << "\n" << rig_->Diagnostics(20);
  EXPECT_EQ(badBytes, "") << "files whose bytes differ";
  int dupFilesUp = 0, dupFilesDown = 0;
  for (const auto& kv : upFilesSeen) dupFilesUp += kv.second - 1;
  for (const auto& kv : downFilesSeen) dupFilesDown += kv.second - 1;
  const int dupUp = Duplicates(up) + dupFilesUp, dupDown = Duplicates(down) + dupFilesDown;
  std::printf("[drill] journal: %d kills (seed %u, after texts%s) during %d texts and %zu files each way: all "
              "arrived %s; duplicates IM->cloud %d (%d of them files; IM events unacknowledged at the kills %d), "
              "cloud->IM %d (%d of them files)\n",
              kKills, kSeed, kills.c_str(), kEach, upFiles.size(), all ? "yes" : "NO", dupUp, dupFilesUp, inFlight,
              dupDown, dupFilesDown);
  ::testing::Test::RecordProperty("duplicates_im_to_cloud", dupUp);
  ::testing::Test::RecordProperty("duplicates_cloud_to_im", dupDown);
  // At a kill, a worker may hold one message in each handler and up to
  // eight handled ones whose removal waits for one commit; the IM server
  // gives again what was not acknowledged.
  EXPECT_LE(dupUp, kKills * 10 + inFlight);
  EXPECT_LE(dupDown, kKills * 10);
  EXPECT_GE(rig_->CountLog("ReplayJournal "), 1);
  ASSERT_TRUE(rig_->BothWays("after the drill").ok);
  PrintJournalSize("the kill drill");
}

// Two IM messages carry one IM file (as the IM server's copy of a message
// handed again after a kill and the journal's own do), so they share its
// local copy. The first one's upload meets a throttled cloud and waits; the
// second uploads the shared copy meanwhile; the first one's second attempt
// still sends the file, with its bytes.
TEST_F(JournalDrill, MessagesSharingAnImFileEachReachTheCloudWithItsBytes) {
  StartBridge();
  const std::string bytes = DrillBytes(30 * 1024, 925);
  Json::Value up;
  up["name"] = "jf-shared.bin";
  up["data"] = Base64Encode(bytes);
  const ControlAnswer uploaded = rig_->ImPost("/upload", up);
  ASSERT_TRUE(uploaded.ok());
  const std::string fid = uploaded.json["fid"].asString();
  Json::Value busy;
  busy["endpoint"] = "media_upload";
  busy["kind"] = "status";
  busy["httpStatus"] = 503;
  busy["retryAfter"] = "15";
  busy["count"] = 1;
  ASSERT_TRUE(rig_->CloudPost("/faults", busy).ok());
  auto send = [&](const std::string& text) {
    Json::Value m;
    m["from"] = "alice";
    m["to"].append("zhang");
    m["raw_body"] = "<NUVMsg Ver=\"1.0\"><Content><Txt>" + text + "</Txt><File FileName=\"jf-shared.bin\" FileSize=\"" +
                    std::to_string(bytes.size()) + "\" FID=\"" + fid + "\" KEY=\"K" + fid + "\"/></Content></NUVMsg>";
    return rig_->ImPost("/send", m).ok();
  };
  ASSERT_TRUE(send("jshared-1#"));
  ASSERT_TRUE(rig_->WaitLog("RETRYONCE WQUEUE_NUV2ONDEKOFILE", 20)) << rig_->Diagnostics();
  ASSERT_TRUE(rig_->ImPost("/announce", [&] { Json::Value a; a["fid"] = fid; return a; }()).ok());
  ASSERT_TRUE(send("jshared-2#"));

  std::map<std::string, std::string> sha;  // text -> SHA-256 of the media it named
  const bool both = WaitUntil(
      [&] {
        std::map<std::string, std::string> media;
        for (const Json::Value& u : rig_->Cloud("/uploads").json) media[u["media_id"].asString()] = u["sha256"].asString();
        sha.clear();
        for (const Json::Value& m : rig_->Cloud("/sent").json) {
          const std::string t = m["content"].asString();
          if (t.find("jshared-") == std::string::npos) continue;
          sha[t] = m["file_id_list"].empty() ? "no file" : media[m["file_id_list"][0].asString()];
        }
        return sha.size() == 2;
      },
      40, 250);
  ASSERT_TRUE(both) << sha.size() << "/2 arrived\n" << rig_->Diagnostics(30);
  for (const auto& kv : sha) EXPECT_EQ(kv.second, Sha256Hex(bytes)) << kv.first;
}

TEST_F(JournalDrill, FetchRangeQueuedBeforeAKillIsFilledAfterTheRestart) {
  StartBridge();
  // The fetch of the gap hangs long enough for the kill to catch it queued.
  Json::Value stall;
  stall["endpoint"] = "fetch_msg";
  stall["kind"] = "stall";
  stall["stallMs"] = 20000;
  stall["count"] = 1;
  ASSERT_TRUE(rig_->CloudPost("/faults", stall).ok());
  // Two messages the push server never announces, then one it does: a gap.
  ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jgap-1#", Json::Value(), false), 0u);
  ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jgap-2#", Json::Value(), false), 0u);
  ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jgap-3#"), 0u);
  ASSERT_TRUE(rig_->WaitLog("Need Fetch [", 20)) << rig_->Diagnostics();
  Kill();
  // The stall was the killed worker's one call: the next worker's fetch is
  // answered.
  ASSERT_NE(rig_->WaitNewWorker(killed_.back(), 15), 0);

  for (const char* t : {"jgap-1#", "jgap-2#", "jgap-3#"}) {
    EXPECT_GE(rig_->WaitImMessages(BridgeRig::ImWithText(t), 40).size(), 1u) << t << "\n" << rig_->Diagnostics();
  }
  EXPECT_GE(rig_->CountLog("ReplayJournal "), 1);
  PrintJournalSize("the fetch drill");
}

// The worker and its watchdog end at once, as at a power cut: what the
// worker wrote last may be in the journal and not yet in generalconf.ini.
void KillBridge(BridgeRig& rig) {
  const pid_t worker = rig.LastWorker();
  rig.watchdog().Signal(SIGKILL);
  ASSERT_NE(rig.watchdog().Wait(5), -1);
  ASSERT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 5));
}

void RestartBridge(BridgeRig& rig) {
  std::string why;
  ASSERT_TRUE(rig.StartWatchdog(&why)) << why;
  ASSERT_TRUE(rig.WaitBridgeUp(30)) << rig.Diagnostics();
}

// The journal records maxmsgid in the commit of the messages. A restart takes maxmsgid from the journal
// when generalconf.ini is behind it (the burst is not fetched and delivered
// again) and when the file cannot be read (what was created while the
// bridge was down is still fetched, not skipped by adopting the next
// notify's id).
TEST_F(JournalDrill, RestartTakesMaxmsgidFromTheJournalWhenTheCounterFileIsBehindOrUnreadable) {
  constexpr int kBurst = 200;
  StartBridge();
  Json::Value repeat;
  repeat["repeat"] = kBurst;
  const uint64_t first = rig_->CloudUserSends("zhang", {"alice"}, "jmax", repeat);
  ASSERT_NE(first, 0u);
  const uint64_t last = first + kBurst - 1;
  ASSERT_EQ(rig_->WaitImMessages(BridgeRig::ImWithText("jmax #"), 60, kBurst).size(), static_cast<unsigned>(kBurst))
      << rig_->Diagnostics();
  ASSERT_TRUE(WaitUntil([&] { return rig_->SavedMaxMsgId() == last; }, 10)) << rig_->SavedMaxMsgId();

  // generalconf.ini behind the journal, as after an end between the two writes.
  KillBridge(*rig_);
  const std::string conf = rig_->root().config() + "generalconf.ini";
  const uint64_t token = rig_->SavedToken();
  test::WriteWholeFile(conf, std::to_string(token) + ";" + std::to_string(first - 1) + ";0;0;0;0;0;0;");
  ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jdown-1#", Json::Value(), false), 0u);
  RestartBridge(*rig_);
  EXPECT_EQ(rig_->SavedMaxMsgId(), last);
  EXPECT_EQ(rig_->CountLog("TakeMaxmsgidFromJournal maxmsgid " + std::to_string(last) +
                           " from the work journal (generalconf.ini holds " + std::to_string(first - 1) + ")"),
            1);
  const uint64_t after = rig_->CloudUserSends("zhang", {"alice"}, "jafter-1#");
  EXPECT_EQ(rig_->WaitImMessages(BridgeRig::ImWithText("jafter-1#"), 20).size(), 1u);
  EXPECT_EQ(rig_->WaitImMessages(BridgeRig::ImWithText("jdown-1#"), 20).size(), 1u);

  // generalconf.ini cannot be read (not even by root: a socket).
  KillBridge(*rig_);
  ASSERT_EQ(std::remove(conf.c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, conf.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << conf;
  ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jdown-2#", Json::Value(), false), 0u);
  RestartBridge(*rig_);
  EXPECT_GE(rig_->CountLog("TakeMaxmsgidFromJournal maxmsgid " + std::to_string(after) +
                           " from the work journal (generalconf.ini could not be read)"),
            1);
  ASSERT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jafter-2#"), 0u);
  EXPECT_EQ(rig_->WaitImMessages(BridgeRig::ImWithText("jafter-2#"), 20).size(), 1u);
  EXPECT_EQ(rig_->WaitImMessages(BridgeRig::ImWithText("jdown-2#"), 20).size(), 1u) << rig_->Diagnostics();
  EXPECT_EQ(rig_->CountLog("maxmsgid is unknown"), 0);

  // Each message of the burst arrived once.
  const std::map<int, int> seen = Arrivals(rig_->Im("/messages").json, "jmax #", ImText);
  EXPECT_EQ(static_cast<int>(seen.size()), kBurst) << Missing(seen, kBurst);
  EXPECT_EQ(Duplicates(seen), 0);
  ::close(sock);
}

// Messages typed over most of an outage, one every interval: "<prefix><n>#".
template <typename Send>
void TypeDuring(SteadyClock::time_point t0, int count, double interval, const Send& send) {
  for (int i = 0; i < count; ++i) {
    send(i);
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(static_cast<int>((i + 1) * interval * 1000)));
  }
}

TEST_F(JournalDrill, CloudFailingEveryRequestFor30SecondsLosesNoImMessage) {
  constexpr int kCount = 100;
  constexpr int kOutageSeconds = 30;
  StartBridge();
  Json::Value outage;
  outage["endpoint"] = "*";
  outage["kind"] = "status";
  outage["httpStatus"] = 503;
  outage["seconds"] = kOutageSeconds;
  ASSERT_TRUE(rig_->CloudPost("/faults", outage).ok());
  const auto t0 = SteadyClock::now();
  TypeDuring(t0, kCount, 0.25, [&](int i) {
    EXPECT_FALSE(rig_->ImUserSends("alice", {"zhang"}, "jcloudout-" + std::to_string(i) + "#").empty()) << i;
  });
  EXPECT_EQ(Arrivals(rig_->Cloud("/sent").json, "jcloudout-", CloudText).size(), 0u) << "the cloud is down";
  std::this_thread::sleep_until(t0 + std::chrono::seconds(kOutageSeconds));
  const auto back = SteadyClock::now();

  // Parked after two failed attempts, each message's next attempt comes a
  // minute later: after the outage.
  int parked = 0;
  ExpectAllOnceAfterOutage("cloud answers 503 to everything for 30 s while 100 IM messages are typed",
                           "jcloudout-", true, kCount, back, [&] {
                             parked = rig_->CountLog("WorkJournal::Park ");
                             return std::to_string(parked) + " parked after two failed attempts";
                           });
  EXPECT_GE(parked, 1) << "the messages were parked, not carried by plain retries";
  EXPECT_EQ(rig_->CountLog(", DEAD"), 0) << "a cloud outage is no dead queue";
  EXPECT_EQ(rig_->WorkerPids().size(), workersAtStart_) << "the worker carried on through the outage";
  ASSERT_TRUE(rig_->BothWays("after the cloud outage").ok);
  PrintJournalSize("the cloud outage drill");
}

TEST_F(JournalDrill, ImServerDownFor30SecondsLosesNoCloudMessage) {
  constexpr int kCount = 100;
  constexpr int kOutageSeconds = 30;
  StartBridge();
  rig_->StopImSimulator();
  const auto t0 = SteadyClock::now();
  TypeDuring(t0, kCount, 0.25, [&](int i) {
    EXPECT_NE(rig_->CloudUserSends("zhang", {"alice"}, "jimout-" + std::to_string(i) + "#"), 0u) << i;
  });
  std::this_thread::sleep_until(t0 + std::chrono::seconds(kOutageSeconds));
  // Taken in before the push connection was torn down for the stop: held
  // in the queue (and the journal) until the IM application is started
  // again. The rest wait on the cloud side.
  int heldInQueue = 0;
  for (const std::string& l : rig_->LogLines())
    if (l.find("OndekoOnNotifyCallback") != std::string::npos && l.find("'jimout-") != std::string::npos) ++heldInQueue;
  std::string why;
  ASSERT_TRUE(rig_->RestartImSimulator(&why)) << why;
  const auto back = SteadyClock::now();

  ExpectAllOnceAfterOutage("IM server down for 30 s while 100 cloud messages are created", "jimout-", false, kCount,
                           back, [&] { return std::to_string(heldInQueue) + " taken in and held while it was down"; });
  ASSERT_TRUE(rig_->BothWays("after the IM server came back", 60).ok);
  PrintJournalSize("the IM outage drill");
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
