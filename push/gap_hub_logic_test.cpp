// The push connection against the simulator's push server on loopback: the
// whole conversation, token persistence, notify ordering and acknowledgement,
// heartbeats both ways, and recovery from every fault the server can inject.
// Timers run on a virtual clock (auto mode: the connect step's pauses pass
// at once; idle and silence limits are reached with Advance). The client's
// socket wait ends at its next deadline of that clock, so after a step of
// virtual time the test waits until the client has settled (back in its
// wait, no deadline passed): whatever the step made it do is then done.

#include "push/gap_hub_logic.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/paths.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "sim/push/push_server.h"
#include "sim/push/server_frames.h"

namespace nuv {
namespace {

using sim::NotifyEntry;
using sim::PushServer;
using sim::PushServerStats;

// What the hub handed to its callbacks (plain function pointers, hence a
// file-wide recorder).
struct Recorder {
  std::mutex mu;
  std::vector<std::pair<uint64_t, OndekoMsgItem>> notifies;
  std::vector<uint64_t> tokens;
  std::vector<std::string> events;  // "begin", "n<id>", "end acks <acks the server had>"
};
Recorder* g_rec = nullptr;
PushServer* g_server = nullptr;

void RecordNotify(uint64_t msgId, OndekoMsgItem* item) {
  std::lock_guard<std::mutex> g(g_rec->mu);
  g_rec->notifies.emplace_back(msgId, *item);
  g_rec->events.push_back("n" + std::to_string(msgId));
}
void RecordBurst(bool begin) {
  const std::string ev = begin ? "begin" : "end acks " + std::to_string(g_server->Stats().acks.size());
  std::lock_guard<std::mutex> g(g_rec->mu);
  g_rec->events.push_back(ev);
}

// True once thread tid of this process is blocked (state S or D in /proc),
// as the destroying thread is while it waits for the hub's thread.
bool ThreadBlocked(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         (stat[close + 2] == 'S' || stat[close + 2] == 'D');
}

// A notify callback that is still busy when the owner destroys the hub: it
// returns only once the destroying thread (g_destroyerTid) is blocked waiting
// for the hub's thread, or after 5 s.
std::atomic<bool> g_slowEntered{false};
std::atomic<long> g_destroyerTid{0};
void SlowNotify(uint64_t, OndekoMsgItem*) {
  g_slowEntered = true;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until &&
         !(g_destroyerTid.load() != 0 && ThreadBlocked(g_destroyerTid.load())))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
int RecordToken(uint64_t token) {
  std::lock_guard<std::mutex> g(g_rec->mu);
  g_rec->tokens.push_back(token);
  return 0;
}

bool PollUntil(const std::function<bool()>& pred, int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

NotifyEntry Entry(uint64_t msgId, uint32_t seq) {
  OndekoMsgItem item;
  item.msg_id = msgId;
  item.content = "m" + std::to_string(msgId);
  NotifyEntry e;
  e.msgId = msgId;
  e.sequence = seq;
  e.payload = sim::EncodeNotifyPayload(item);
  return e;
}

class HubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_rec = &rec_;
    SetClockForTest(&clock_);
    ASSERT_TRUE(server_.Start());
    root_.WriteServiceIni("[push]\nhost=127.0.0.1\nport=" + std::to_string(server_.port()) + "\n");
  }
  void TearDown() override {
    hub_.reset();
    server_.Stop();
    SetClockForTest(nullptr);
    g_rec = nullptr;
  }

  void StartHub(OndekoBurstCallbackFn burst = nullptr) {
    g_server = &server_;
    hub_ = std::make_unique<GapHubLogic>(root_.config(), &RecordNotify, &RecordToken);
    hub_->SetBurstCallback(burst);
    ASSERT_EQ(0, hub_->Init());
    ASSERT_EQ(0, hub_->Start());
  }
  // Stops and destroys the hub (joins its thread).
  void EndHub() {
    if (hub_) hub_->Stop();
    hub_.reset();
  }
  bool WaitStats(const std::function<bool(const PushServerStats&)>& pred, int ms = 5000) {
    return server_.WaitUntil(pred, ms);
  }
  // Established on both sides: the server sent its ConnectRsp and the
  // client handled it (its token callback ran).
  bool WaitEstablished(int connects = 1) {
    return WaitStats([&](const PushServerStats& s) {
             return s.established == 1 && static_cast<int>(s.connects.size()) >= connects;
           }) &&
           PollUntil([&] { return static_cast<int>(Tokens().size()) >= connects - rejected_; });
  }
  size_t NotifyCount() {
    std::lock_guard<std::mutex> g(rec_.mu);
    return rec_.notifies.size();
  }
  std::vector<uint64_t> NotifiedIds() {
    std::lock_guard<std::mutex> g(rec_.mu);
    std::vector<uint64_t> ids;
    for (auto& n : rec_.notifies) ids.push_back(n.first);
    return ids;
  }
  std::vector<uint64_t> Tokens() {
    std::lock_guard<std::mutex> g(rec_.mu);
    return rec_.tokens;
  }
  // Lets virtual time pass in one jump and waits until the client has
  // looked at it.
  void AdvanceSeconds(int s) {
    clock_.Advance(int64_t{s} * 1000);
    Settle();
  }
  // The client's thread (the only sleeper) waits with no deadline passed.
  void Settle() { ASSERT_TRUE(clock_.WaitUntilSettled(1)); }

  Recorder rec_;
  test::TempInstallRoot root_;
  VirtualClock clock_{VirtualClock::Mode::kAuto};
  PushServer server_;
  std::unique_ptr<GapHubLogic> hub_;
  int rejected_ = 0;  // connects the server refuses (no token callback)
};

TEST_F(HubTest, FirstRunGetsTokenAndNextRunPresentsIt) {
  server_.SetNewClientToken(0x1122334455667788ULL, 1700000000u);
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(PollUntil([&] { return !Tokens().empty(); }));
  PushServerStats st = server_.Stats();
  EXPECT_EQ(1, st.keyRequests);
  EXPECT_TRUE(st.lastKeyWasInitial);
  EXPECT_EQ(0u, st.connects[0].token);
  EXPECT_EQ(0u, st.connects[0].createtime);
  EXPECT_EQ(0u, st.connects[0].lastSeq);
  EXPECT_EQ(std::vector<uint64_t>{0x1122334455667788ULL}, Tokens());
  EndHub();

  const std::string rec = test::ReadWholeFile(root_.config() + "token.ini");
  ASSERT_EQ(16u, rec.size());
  EXPECT_EQ(std::string("\x88\x77\x66\x55\x44\x33\x22\x11\x00\xf1\x53\x65\0\0\0\0", 16), rec);

  StartHub();
  ASSERT_TRUE(WaitEstablished(2));
  st = server_.Stats();
  EXPECT_EQ(0x1122334455667788ULL, st.connects[1].token);
  EXPECT_EQ(1700000000u, st.connects[1].createtime);
  EXPECT_TRUE(root_.LogContains("LoadToken ...8552, 1700000000"));
}

TEST_F(HubTest, UnwritableTokenFileStillUsesTheToken) {
  // A directory where token.ini should be: it reads as no record and
  // cannot be replaced.
  ASSERT_TRUE(MakeDirs(root_.config() + "token.ini"));
  server_.SetNewClientToken(4321, 9);
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  EXPECT_EQ(std::vector<uint64_t>{4321}, Tokens());
  EXPECT_TRUE(root_.LogContains("WriteToken fwrite fail ret 0"));
  // The next connect on this process presents it.
  server_.CloseConnections();
  ASSERT_TRUE(WaitEstablished(2));
  EXPECT_EQ(4321u, server_.Stats().connects[1].token);
}

TEST_F(HubTest, TornTokenFileCountsAsNoToken) {
  test::WriteWholeFile(root_.config() + "token.ini", std::string("\x05\x00\x00", 3));
  server_.SetNewClientToken(777, 1);
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  EXPECT_EQ(0u, server_.Stats().connects[0].token);
  EXPECT_TRUE(root_.LogContains("holds 3 bytes, not a token record"));
  EndHub();
  EXPECT_EQ(16u, test::ReadWholeFile(root_.config() + "token.ini").size());
}

TEST_F(HubTest, DifferingServerTokenChangesNothingStored) {
  server_.SetNewClientToken(77, 5);
  StartHub();
  ASSERT_TRUE(PollUntil([&] { return Tokens().size() == 1; }));
  server_.SetReplyTokenOverride(99);
  server_.CloseConnections();
  ASSERT_TRUE(PollUntil([&] { return Tokens().size() == 2; }));
  EXPECT_EQ((std::vector<uint64_t>{77, 77}), Tokens());
  EndHub();
  GapHubLogic again(root_.config(), &RecordNotify, &RecordToken);
  EXPECT_EQ(77u, again.token());
  EXPECT_EQ(5u, again.createtime());
  EXPECT_TRUE(root_.LogContains("CMD_CONNECT_RSP, ...99, createtime 5"));
}

TEST_F(HubTest, NotifiesDeliveredInSequenceOrderAndAcknowledged) {
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(server_.Announce({Entry(105, 5), Entry(109, 9), Entry(107, 7)}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 1; }));
  EXPECT_EQ((std::vector<uint64_t>{105, 107, 109}), NotifiedIds());
  EXPECT_EQ(std::vector<uint32_t>{9}, server_.Stats().acks);
  {
    std::lock_guard<std::mutex> g(rec_.mu);
    EXPECT_EQ("m107", rec_.notifies[1].second.content);
    EXPECT_EQ(107u, rec_.notifies[1].second.msg_id);
  }

  ASSERT_TRUE(server_.Announce({Entry(103, 3), Entry(104, 4)}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 2; }));
  EXPECT_EQ((std::vector<uint32_t>{9, 9}), server_.Stats().acks);
  EXPECT_EQ(5u, NotifyCount());

  // An empty notify is acknowledged the same way.
  ASSERT_TRUE(server_.Announce({}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 3; }));
  EXPECT_EQ(9u, server_.Stats().acks.back());

  // The last sequence survives a reconnect: the next ConnectReq carries it.
  server_.CloseConnections();
  ASSERT_TRUE(WaitEstablished(2));
  EXPECT_EQ(9u, server_.Stats().connects[1].lastSeq);
}

TEST_F(HubTest, UndecodablePayloadIsSkippedButAcknowledged) {
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  NotifyEntry bad = Entry(201, 21);
  bad.payload = std::string("\x00\x07\x03\x00\x00\x00\x09", 7);  // string runs past the end
  ASSERT_TRUE(server_.Announce({Entry(200, 20), bad}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 1; }));
  EXPECT_EQ(21u, server_.Stats().acks[0]);
  EXPECT_EQ(std::vector<uint64_t>{200}, NotifiedIds());
  EXPECT_TRUE(root_.LogContains("HandleMsg ParseFromBuffer fail"));
}

TEST_F(HubTest, AnnouncedMessageArrivesWhole) {
  OndekoMsgItem item;
  item.msg_id = 4242;
  item.cur_userid = "alice";
  item.chatid = "{0F8C1A2B-0000-4000-8000-1234567890AB}";
  item.chatname = "广播通知";
  item.to_userid_list = {"bob", "carol"};
  item.content = "你好, world";
  item.image_id_list = {"img-1"};
  item.file_id_list = {"file-1", "file-2"};
  item.create_time = 1765274400;
  item.msg_type = 1;
  // Announced before the client is there: delivered once it establishes.
  server_.AnnounceMessage(item);
  StartHub();
  ASSERT_TRUE(PollUntil([&] { return NotifyCount() == 1; }));
  std::lock_guard<std::mutex> g(rec_.mu);
  const OndekoMsgItem& got = rec_.notifies[0].second;
  EXPECT_EQ(4242u, rec_.notifies[0].first);
  EXPECT_EQ(item.cur_userid, got.cur_userid);
  EXPECT_EQ(item.chatid, got.chatid);
  EXPECT_EQ(item.chatname, got.chatname);
  EXPECT_EQ(item.to_userid_list, got.to_userid_list);
  EXPECT_EQ(item.content, got.content);
  EXPECT_EQ(item.image_id_list, got.image_id_list);
  EXPECT_EQ(item.file_id_list, got.file_id_list);
  EXPECT_EQ(item.create_time, got.create_time);
  EXPECT_EQ(1u, got.msg_type);
  EXPECT_TRUE(server_.WaitUntil([](const PushServerStats& s) { return !s.acks.empty(); }));
  EXPECT_EQ(0u, server_.PendingCount());
}

TEST_F(HubTest, OneHeartbeatAfterNineHundredIdleSeconds) {
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  Settle();
  AdvanceSeconds(899);
  EXPECT_EQ(0, server_.Stats().heartbeatRequests);
  // Traffic postpones it: a notify exchange at 899 s restarts the count.
  ASSERT_TRUE(server_.Announce({Entry(1, 1)}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 1; }));
  // The client notes the send's time just after the ack left.
  Settle();
  AdvanceSeconds(800);
  EXPECT_EQ(0, server_.Stats().heartbeatRequests);
  AdvanceSeconds(100);
  EXPECT_EQ(0, server_.Stats().heartbeatRequests);
  AdvanceSeconds(1);  // 901 s after the ack
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.heartbeatRequests == 1; }));
  // Its reply ends the silence: the next heartbeat only after another 900 s.
  ASSERT_TRUE(PollUntil([&] { return root_.LogContains("RecevieCallBack HeartBeatRsp rece"); }));
  Settle();
  AdvanceSeconds(899);
  EXPECT_EQ(1, server_.Stats().heartbeatRequests);
  EXPECT_EQ(1, server_.Stats().accepted);
}

TEST_F(HubTest, ServerHeartbeatIsAnsweredWithoutOtherChange) {
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(server_.SendHeartbeat());
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.heartbeatReplies == 1; }));
  PushServerStats st = server_.Stats();
  EXPECT_EQ(1, st.accepted);
  EXPECT_EQ(1u, st.connects.size());
  EXPECT_TRUE(st.acks.empty());
  EXPECT_EQ(0, st.heartbeatRequests);
}

TEST_F(HubTest, SilentHeartbeatPeerIsDroppedAfterSixtySeconds) {
  sim::PushFaults f;
  f.answerHeartbeats = false;
  server_.SetFaults(f);
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  Settle();
  AdvanceSeconds(901);
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.heartbeatRequests == 1; }));
  Settle();
  AdvanceSeconds(59);
  EXPECT_EQ(1, server_.Stats().accepted);
  EXPECT_FALSE(root_.LogContains("no heartbeat reply within 60 s"));
  AdvanceSeconds(2);
  ASSERT_TRUE(WaitEstablished(2));
  EXPECT_EQ(2, server_.Stats().accepted);
  EXPECT_TRUE(root_.LogContains("no heartbeat reply within 60 s"));
}


TEST_F(HubTest, BadFramesAreDroppedAndTheConnectionStays) {
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(server_.SendUndecryptableFrame());
  ASSERT_TRUE(server_.SendBadChecksumFrame());
  ASSERT_TRUE(server_.Announce({Entry(300, 30)}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 1; }));
  EXPECT_EQ(30u, server_.Stats().acks[0]);
  EXPECT_EQ(std::vector<uint64_t>{300}, NotifiedIds());
  EXPECT_EQ(1, server_.Stats().accepted);
  EXPECT_TRUE(root_.LogContains("RecevieCallBack m_tSerialization read fail -5 "));
  EXPECT_TRUE(root_.LogContains("checksum fail bodylen"));
  EXPECT_TRUE(root_.LogContains("Serialization read deserialize cmd 5 ret -1"));
}

TEST_F(HubTest, FramesSplitOverWritesAndSharingOneWriteAreDelivered) {
  sim::PushFaults f;
  f.splitWrites = 7;  // the handshake frames too
  server_.SetFaults(f);
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(server_.Announce({Entry(1, 1), Entry(2, 2)}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 1; }));
  server_.SetFaults(sim::PushFaults());
  ASSERT_TRUE(server_.AnnounceFrames({{Entry(3, 3)}, {Entry(4, 4)}, {Entry(5, 5)}}, true));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 4; }));
  EXPECT_EQ((std::vector<uint32_t>{2, 3, 4, 5}), server_.Stats().acks);
  EXPECT_EQ((std::vector<uint64_t>{1, 2, 3, 4, 5}), NotifiedIds());
  EXPECT_EQ(1, server_.Stats().accepted);
}

// The notifies of one read are one burst, closed before any of them is
// acknowledged; a frame in a later read opens the next.
TEST_F(HubTest, NotifiesOfOneReadFormOneBurstClosedBeforeTheirAcks) {
  StartHub(&RecordBurst);
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(server_.AnnounceFrames({{Entry(3, 3)}, {Entry(4, 4), Entry(5, 5)}, {Entry(6, 6)}}, true));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 3; }));
  ASSERT_TRUE(server_.Announce({Entry(7, 7)}));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.acks.size() == 4; }));
  ASSERT_TRUE(PollUntil([&] {
    std::lock_guard<std::mutex> g(rec_.mu);
    return rec_.events.size() == 9;
  }));
  std::lock_guard<std::mutex> g(rec_.mu);
  EXPECT_EQ((std::vector<std::string>{"begin", "n3", "n4", "n5", "n6", "end acks 0", "begin", "n7", "end acks 3"}),
            rec_.events);
}

TEST_F(HubTest, ClosedConnectionIsRebuiltWithTheWholeConversation) {
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  for (int i = 2; i <= 4; ++i) {
    server_.CloseConnections();
    ASSERT_TRUE(WaitEstablished(i)) << i;
  }
  PushServerStats st = server_.Stats();
  EXPECT_EQ(4, st.accepted);
  EXPECT_EQ(4, st.keyRequests);
  EXPECT_TRUE(st.lastKeyWasInitial);
  EXPECT_EQ(4u, Tokens().size());
  EXPECT_TRUE(root_.LogContains("recv fail 0"));
}

TEST_F(HubTest, DelayedRepliesStillEstablish) {
  sim::PushFaults f;
  f.keyReplyDelayMs = 150;
  f.connectReplyDelayMs = 150;
  server_.SetFaults(f);
  StartHub();
  ASSERT_TRUE(WaitEstablished());
  EXPECT_EQ(1, server_.Stats().accepted);
}

// A withheld reply leaves the client waiting; 60 s later it starts over.
class WithheldReplyTest : public HubTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WithheldReplyTest, SilentServerIsLeftAfterSixtySeconds) {
  const bool keyReply = GetParam();
  sim::PushFaults f;
  (keyReply ? f.withholdKeyReply : f.withholdConnectReply) = true;
  server_.SetFaults(f);
  StartHub();
  if (keyReply) {
    ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.keyRequests == 1; }));
  } else {
    ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.connects.size() == 1; }));
  }
  server_.SetFaults(sim::PushFaults());
  Settle();
  AdvanceSeconds(59);
  EXPECT_EQ(1, server_.Stats().accepted);
  EXPECT_EQ(0, server_.Stats().established);
  AdvanceSeconds(2);
  ASSERT_TRUE(WaitEstablished());
  EXPECT_EQ(2, server_.Stats().accepted);
  EXPECT_TRUE(root_.LogContains(keyReply ? "no key reply within 60 s"
                                         : "no connect reply within 60 s"));
}

INSTANTIATE_TEST_SUITE_P(KeyAndConnect, WithheldReplyTest, ::testing::Bool());

TEST_F(HubTest, KeyReplyWithWrongChecksumInstallsNoKey) {
  sim::PushFaults f;
  f.badKeyChecksums = 1;
  server_.SetFaults(f);
  StartHub();
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.keyRequests == 1; }));
  ASSERT_TRUE(PollUntil([&] { return root_.LogContains("RecevieCallBack m_tSerialization read fail -1 "); }));
  EXPECT_TRUE(root_.LogContains("Serialization read deserialize cmd 32768 ret -1"));
  EXPECT_FALSE(root_.LogContains("gapkey "));
  EXPECT_TRUE(server_.Stats().connects.empty());
  AdvanceSeconds(61);
  ASSERT_TRUE(WaitEstablished());
  EXPECT_EQ(2, server_.Stats().accepted);
}

TEST_F(HubTest, RefusedConnectIsRetriedWithGrowingPauses) {
  sim::PushFaults f;
  f.rejectConnects = 2;
  f.rejectResult = 7;
  server_.SetFaults(f);
  rejected_ = 2;
  StartHub();
  ASSERT_TRUE(WaitEstablished(3));
  EXPECT_EQ(3, server_.Stats().accepted);
  EXPECT_TRUE(root_.LogContains("RecevieCallBack ConnectRsp getResult 7 != 0"));
  EXPECT_TRUE(root_.LogContains("connect refused, reconnect after 1 s"));
  EXPECT_TRUE(root_.LogContains("connect refused, reconnect after 2 s"));
  // Only the accepted connect hands over (and stores) a token.
  EXPECT_EQ(1u, Tokens().size());
}

TEST_F(HubTest, StopEndsTheThreadPromptlyWhileAwaitingAReply) {
  sim::PushFaults f;
  f.withholdKeyReply = true;
  server_.SetFaults(f);
  StartHub();
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.keyRequests == 1; }));
  auto t0 = std::chrono::steady_clock::now();
  EndHub();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.open == 0; }));
}

// The hub is destroyed while its thread is inside a notify callback; the
// acknowledgement that follows the callback must still find its client.
TEST_F(HubTest, DestroyedDuringANotifyCallback) {
  g_slowEntered = false;
  g_destroyerTid = 0;
  hub_ = std::make_unique<GapHubLogic>(root_.config(), &SlowNotify, &RecordToken);
  ASSERT_EQ(0, hub_->Init());
  ASSERT_EQ(0, hub_->Start());
  ASSERT_TRUE(WaitEstablished());
  ASSERT_TRUE(server_.Announce({Entry(300, 1)}));
  ASSERT_TRUE(PollUntil([] { return g_slowEntered.load(); }));
  std::thread destroyer([this] {
    g_destroyerTid = static_cast<long>(syscall(SYS_gettid));
    hub_.reset();
  });
  destroyer.join();
  ASSERT_TRUE(WaitStats([](const PushServerStats& s) { return s.open == 0; }));
}

}  // namespace
}  // namespace nuv
