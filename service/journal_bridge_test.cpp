// The wired worker with its work journal against the simulators, in one
// process on the paced virtual clock: an accepted IM message survives the
// worker's end and is sent by the next one; a cloud outage and an IM server
// outage while messages keep coming lose nothing and end nothing; the
// journal is empty and small afterwards. Each case also prints the journal's
// size and the burst's pace (real time) for the record.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/test_support.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"
#include "service/bridge_test_env.h"
#include "service/worker_wiring.h"

namespace nuv {
namespace {

using test::BridgeTestEnv;

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void ReportJournalSize(BridgeTestEnv& env, const char* when) {
  const std::string path = env.root().config() + kJournalFileName;
  std::cout << "[journal] " << when << ": " << path << " " << FileSize(path) << " bytes, -wal "
            << FileSize(path + "-wal") << " bytes\n";
}

sim::SimFault Outage() {
  sim::SimFault f;
  f.kind = sim::SimFault::Kind::HttpStatus;
  f.httpStatus = 503;
  f.count = 1000000;
  return f;
}

// The distinct texts among the cloud's received messages that start with prefix.
std::set<std::string> SentTexts(BridgeTestEnv& env, const std::string& prefix, size_t* total = nullptr) {
  std::set<std::string> out;
  size_t n = 0;
  for (const sim::SimSentMessage& m : env.cloud().SentMessages()) {
    const size_t at = m.content.find(prefix);
    if (at == std::string::npos) continue;
    out.insert(m.content.substr(at));
    ++n;
  }
  if (total) *total = n;
  return out;
}

// The texts delivered into the IM (SendMessage calls) that contain one of want.
size_t DeliveredToIm(BridgeTestEnv& env, const std::vector<std::string>& want) {
  size_t n = 0;
  const std::vector<WireFields> got = env.im().Messages();
  for (const std::string& w : want) {
    for (const WireFields& f : got) {
      if (f.Get("content").find(w) != std::string::npos) {
        ++n;
        break;
      }
    }
  }
  return n;
}

bool TypeIm(BridgeTestEnv& env, const std::string& text) {
  sim::ImSimServer::UserMessage m;
  m.from = "zhang";
  m.to = {"li"};
  m.text = text;
  std::string error;
  return env.RaiseImMessage(m, &error);
}

BridgeTestEnv::Options Paced(bool start = true) {
  BridgeTestEnv::Options o;
  o.start = start;
  o.paceStepMs = 20;  // 10x real time: the minute-long back-off passes in seconds
  return o;
}

TEST(JournalBridge, AcceptedImMessageIsSentByTheNextWorker) {
  BridgeTestEnv env(Paced());
  ASSERT_TRUE(env.WaitForStart());
  env.cloud().InjectFault("send_msg", Outage());
  ASSERT_TRUE(TypeIm(env, "survives the end"));
  // Accepted and tried once; then the worker ends before it went out.
  ASSERT_TRUE(env.WaitUntil([&] { return env.root().LogContains("RETRYONCE WQUEUE_NUV2ONDEKOMSG"); }));
  env.StopProcessor();
  // A new worker process starts with empty queues.
  for (int q = 0; q < WQUEUE_QID_COUNT; ++q) ReleaseWorkQueue(q);
  std::vector<WorkItem> drop;
  GetCombineQueue().DrainAll(drop);
  env.cloud().ClearFaults();

  CNuv4OndekoProcessor* next = GetProcessor();
  WireWorker(*next);
  next->Seams().exitProcess = [](int) {};
  EXPECT_TRUE(env.root().LogContains("ReplayJournal 1 items back in their queues: TXT2NUV 0 FILE2NUV 0 TXT2ONDEKO 1"));
  next->Init();
  next->BeginStart();
  ASSERT_TRUE(env.WaitUntil([&] { return SentTexts(env, "survives the end").size() == 1; }, 60000));
  size_t total = 0;
  SentTexts(env, "survives the end", &total);
  EXPECT_EQ(total, 1u);
  ASSERT_TRUE(env.WaitUntil([&] { return next->Journal()->Size() == 0; }));
  ReportJournalSize(env, "after the restart");
}

TEST(JournalBridge, DamagedJournalIsMovedAsideAndTheNextWorkerStarts) {
  BridgeTestEnv env(Paced());
  ASSERT_TRUE(env.WaitForStart());
  env.StopProcessor();
  for (int q = 0; q < WQUEUE_QID_COUNT; ++q) ReleaseWorkQueue(q);
  // The file is torn to garbage while no worker runs.
  const std::string path = env.root().config() + kJournalFileName;
  test::WriteWholeFile(path, std::string(4096, '\x5a'));
  std::remove((path + "-wal").c_str());
  std::remove((path + "-shm").c_str());

  CNuv4OndekoProcessor* next = GetProcessor();
  WireWorker(*next);
  next->Seams().exitProcess = [](int) {};
  int unusable = 0;
  for (const std::string& l : env.root().LogLines()) unusable += l.find("is unusable (") != std::string::npos;
  EXPECT_EQ(unusable, 1);
  EXPECT_TRUE(env.root().LogContains("journal.db.bad-"));  // "moved aside to '<path>.bad-<time>'"
  EXPECT_TRUE(env.root().LogContains("starting with an empty journal"));
  ASSERT_NE(next->Journal(), nullptr);
  EXPECT_TRUE(next->Journal()->Durable());
  next->Init();
  next->BeginStart();
  ASSERT_TRUE(env.WaitUntil([&] { return next->GetStatus() == CNuv4OndekoProcessor::START; }));
  ASSERT_TRUE(env.WaitUntil([&] { return TypeIm(env, "after the damage"); }));
  ASSERT_TRUE(env.WaitUntil([&] { return SentTexts(env, "after the damage").size() == 1; }, 60000));
  EXPECT_EQ(env.ProcessEndRequests(), 0);
}

TEST(JournalBridge, CloudOutageWhileImMessagesAreTypedLosesNothing) {
  constexpr int kMessages = 30;
  BridgeTestEnv env(Paced());
  ASSERT_TRUE(env.WaitForStart());
  CNuv4OndekoProcessor& p = env.processor();
  const int64_t outageStart = env.clock().Now();
  env.cloud().InjectFault("send_msg", Outage());
  for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(TypeIm(env, "outage text " + std::to_string(i)));
  // Every one failed twice and is parked, none dropped.
  ASSERT_TRUE(env.WaitUntil([&] { return p.Journal()->Parked(env.clock().Now()).total == kMessages; }, 60000));
  EXPECT_FALSE(env.root().LogContains("RETRYFAIL"));
  // Thirty seconds of outage in all (six retry pauses), then the cloud is back.
  ASSERT_TRUE(env.WaitUntil([&] { return env.clock().Now() - outageStart >= 30; }, 60000));
  env.cloud().ClearFaults();

  ASSERT_TRUE(env.WaitUntil([&] { return SentTexts(env, "outage text ").size() == kMessages; }, 90000))
      << SentTexts(env, "outage text ").size();
  size_t total = 0;
  SentTexts(env, "outage text ", &total);
  EXPECT_EQ(total, static_cast<size_t>(kMessages));  // no duplicates without an end
  EXPECT_TRUE(env.root().LogContains("parked (round 1, cloud not reachable), back in TXT2ONDEKO in 60 sec"));
  EXPECT_TRUE(env.root().LogContains("WorkJournal parked "));
  EXPECT_EQ(env.ProcessEndRequests(), 0);
  EXPECT_FALSE(env.root().LogContains("return TRUE, exit"));
  ASSERT_TRUE(env.WaitUntil([&] { return p.Journal()->Size() == 0; }));
  ReportJournalSize(env, "after the cloud outage");
}

TEST(JournalBridge, ImServerOutageWhileCloudMessagesAreCreatedLosesNothing) {
  constexpr int kMessages = 20;
  BridgeTestEnv env(Paced());
  ASSERT_TRUE(env.WaitForStart());
  CNuv4OndekoProcessor& p = env.processor();
  // The IM server goes away and refuses the application until it is back.
  sim::ImSimServer::Faults down;
  down.refuseRegister = true;
  env.im().SetFaults(down);
  env.im().DropConnections();
  ASSERT_TRUE(env.WaitUntil([&] { return p.GetStatus() != CNuv4OndekoProcessor::START; }));
  const int64_t outageStart = env.clock().Now();
  std::vector<std::string> texts;
  for (int i = 0; i < kMessages; ++i) {
    texts.push_back("while the IM is away " + std::to_string(i));
    sim::SimCloudMessage m;
    m.cur_userid = "zhang";
    m.chatid = "{0A1B2C3D-0000-0000-0000-123456789ABC}";
    m.to_userid_list = {"li"};
    m.content = texts.back();
    env.CreateCloudMessage(m);
  }
  ASSERT_TRUE(env.WaitUntil([&] { return env.clock().Now() - outageStart >= 30; }, 60000));
  EXPECT_EQ(DeliveredToIm(env, texts), 0u);
  env.im().SetFaults(sim::ImSimServer::Faults());

  ASSERT_TRUE(env.WaitUntil([&] { return DeliveredToIm(env, texts) == texts.size(); }, 90000))
      << DeliveredToIm(env, texts);
  EXPECT_EQ(env.ProcessEndRequests(), 0);
  ASSERT_TRUE(env.WaitUntil([&] { return p.Journal()->Size() == 0; }));
  ReportJournalSize(env, "after the IM server outage");
}

TEST(JournalBridge, ImMessagesStayUnacknowledgedWhileTheJournalCannotWrite) {
  const std::string guid = "{1BDD00D1-0874-42D5-B372-C451ABF49C5C}";
  BridgeTestEnv env(Paced());
  ASSERT_TRUE(env.WaitForStart());
  WorkJournal& journal = *env.processor().Journal();
  // The disk is full and the cloud away: the message lives in memory only.
  journal.SetMaxPageCount(1);
  env.cloud().InjectFault("send_msg", Outage());
  ASSERT_TRUE(TypeIm(env, "held " + std::string(20000, 'x')));
  ASSERT_TRUE(env.WaitUntil([&] { return env.root().LogContains("RETRYONCE WQUEUE_NUV2ONDEKOMSG"); }));
  EXPECT_TRUE(env.root().LogContains("IM messages stay unacknowledged with the IM server until it can"));
  EXPECT_FALSE(journal.Durable());
  EXPECT_EQ(env.im().Unacked(guid).size(), 1u);

  // Room again: once the journal has it on disk the IM server is told.
  journal.SetMaxPageCount(0);
  ASSERT_TRUE(env.WaitUntil([&] { return env.im().Unacked(guid).empty(); }));
  EXPECT_TRUE(journal.Durable());
  EXPECT_TRUE(env.root().LogContains("the IM messages held are acknowledged"));
  env.cloud().ClearFaults();
  ASSERT_TRUE(env.WaitUntil([&] { return SentTexts(env, "held ").size() == 1; }, 60000));
}

// The pace of a burst of IM texts to the cloud with the journal as wired
// (every acceptance and removal committed, flushed to the device) and
// without it; printed for comparison, both must deliver everything.
void Burst(bool journal, bool syncToDevice = true) {
  constexpr int kMessages = 300;
  BridgeTestEnv::Options o = Paced();
  if (!journal) o.extraServiceIni = "[journal]\nenabled = false\n";
  if (!syncToDevice) o.extraServiceIni = "[journal]\nsync_to_device = false\n";
  BridgeTestEnv env(o);
  ASSERT_TRUE(env.WaitForStart());
  EXPECT_EQ(env.processor().Journal() != nullptr, journal);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(TypeIm(env, "burst " + std::to_string(i)));
  const auto typed = std::chrono::steady_clock::now();
  ASSERT_TRUE(env.WaitUntil([&] { return SentTexts(env, "burst ").size() == kMessages; }, 120000));
  const auto done = std::chrono::steady_clock::now();
  const double typeMs = std::chrono::duration<double, std::milli>(typed - t0).count();
  const double allMs = std::chrono::duration<double, std::milli>(done - t0).count();
  std::cout << "[journal] burst of " << kMessages << " IM texts, journal "
            << (journal ? (syncToDevice ? "on" : "on without device flush") : "off")
            << ": accepted in " << typeMs << " ms (" << (typeMs / kMessages) << " ms each), all at the cloud after "
            << allMs << " ms\n";
  if (journal) ReportJournalSize(env, "after the burst");
}

TEST(JournalBridge, BurstWithTheJournal) { Burst(true); }
TEST(JournalBridge, BurstWithoutTheJournal) { Burst(false); }
TEST(JournalBridge, BurstWithTheJournalWithoutDeviceFlush) { Burst(true, false); }

}  // namespace
}  // namespace nuv
