// Cloud to IM through the whole bridge in one process: messages created on
// the cloud simulator are announced by its push server, taken in by the
// intake callbacks and delivered by CAppManager at the IM simulator -- texts,
// broadcasts, images and files, a gap filled by fetch_msg -- and the push
// token is bound and kept. Each case runs in its own process (ctest).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "common/test_support.h"
#include "common/text_conv.h"
#include "im/im_test_env.h"
#include "im/msg_body.h"
#include "im/sdk.h"
#include "processor/combine_queue.h"
#include "processor/processor.h"
#include "processor/work_queue.h"
#include "service/bridge_test_env.h"
#include "service/test_log_count.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace {

using test::BridgeTestEnv;
using test::CountLogLines;
using test::DirEntries;

// A cloud conversation key long enough to be kept as it is.
const char kChatKey[] = "{6F9619FF-8B86-D011-B42D-00C04FC964FF}";
const char kChatKeyTail[] = "00C04FC964FF";

// What a delivered text carries, read back the way the IM reads it.
struct Delivered : test::SentContent {
  std::string from, receivers, type1, type2, number;  // the message's own fields
};

Delivered ReadDelivered(const WireFields& m) {
  Delivered d;
  static_cast<test::SentContent&>(d) = test::ReadSentContent(m);  // raises when not well-formed
  d.from = m.Get("sender");
  d.receivers = m.Get("receivers");
  d.type1 = m.Get("type1");
  d.type2 = m.Get("type2");
  d.number = m.Get("number");
  return d;
}

std::wstring TextOf(const WireFields& m) { return ReadDelivered(m).text; }

sim::SimCloudMessage Text(const std::string& content, std::vector<std::string> to = {"li", "wang"}) {
  sim::SimCloudMessage m;
  m.cur_userid = "zhang";
  m.chatid = kChatKey;
  m.to_userid_list = std::move(to);
  m.content = content;
  return m;
}

// Bytes that survive nothing but an exact copy: every byte value, NULs and
// CR LF included, in a pattern that does not repeat on a short period.
std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

// generalconf.ini holds "token;maxmsgid;...": field i as a number.
uint64_t GeneralConfField(BridgeTestEnv& env, int i) {
  const std::string text = test::ReadWholeFile(env.root().config() + "generalconf.ini");
  size_t pos = 0;
  for (int k = 0; k < i; ++k) {
    pos = text.find(';', pos);
    if (pos == std::string::npos) return 0;
    ++pos;
  }
  return std::strtoull(text.c_str() + pos, nullptr, 10);
}

// maxmsgid as generalconf.ini holds it. The file is saved once per burst,
// after the burst's items went to their queues, so an arrival can come
// first: wait (bounded) for the expected value, and give what was seen.
uint64_t SavedMaxmsgid(BridgeTestEnv& env, uint64_t expected) {
  uint64_t seen = 0;
  env.WaitUntil([&] { return (seen = GeneralConfField(env, 1)) == expected; });
  return seen;
}

// Log lines are written after the action they report: wait for them.
bool WaitForLogLines(BridgeTestEnv& env, const std::string& needle, int n = 1) {
  return env.WaitUntil([&] { return CountLogLines(env.root(), needle) >= n; });
}

bool QueuesEmpty() {
  for (int qid : {WQUEUE_QID_TXT2NUV, WQUEUE_QID_FILE2NUV, WQUEUE_QID_TXT2ONDEKO, WQUEUE_QID_FILE2ONDEKO})
    if (GetWorkQueue(qid)->Size() != 0) return false;
  return GetCombineQueue().Size() == 0;
}

// True once cond held, polled every 50 us; false after maxRealMs.
bool PollFine(const std::function<bool()>& cond, int maxRealMs = BridgeTestEnv::kWaitMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxRealMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

// The texts the IM simulator received, in arrival order.
std::vector<std::wstring> DeliveredTexts(BridgeTestEnv& env) {
  std::vector<std::wstring> got;
  for (const WireFields& m : env.im().Messages()) got.push_back(TextOf(m));
  return got;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

TEST(BridgeCloudToIm, TextArrivesOnceWithSenderReceiversKeyAndData) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  // Ten texts one after another; each is timed from its creation on the
  // cloud to its SendMessage at the IM server (real and virtual time).
  const int kCount = 10;
  std::vector<uint64_t> ids;
  std::vector<double> realMs, virtualMs;
  for (int i = 0; i < kCount; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const int64_t v0 = env.clock().NowMs();
    ids.push_back(env.CreateCloudMessage(Text("你好, bridge #" + std::to_string(i))));
    // Polled finer than WaitUntil's 2 ms, for the measurement.
    ASSERT_TRUE(PollFine([&] { return env.im().Messages().size() > static_cast<size_t>(i); })) << i;
    realMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    virtualMs.push_back(static_cast<double>(env.clock().NowMs() - v0));
  }
  std::printf("[ latency  ] CreateCloudMessage -> SendMessage seen, %d texts: real ms", kCount);
  for (double ms : realMs) std::printf(" %.1f", ms);
  std::printf(" (median %.1f); virtual ms", Median(realMs));
  for (double ms : virtualMs) std::printf(" %.0f", ms);
  std::printf("\n");
  ::testing::Test::RecordProperty("latency_median_real_ms", std::to_string(Median(realMs)));

  // A retry comes only after more than 5 s: move past it, then one more
  // message shows that nothing else was on its way.
  env.Advance(6000);
  ids.push_back(env.CreateCloudMessage(Text("last")));
  ASSERT_EQ(env.WaitForImMessages(kCount + 1).size(), static_cast<size_t>(kCount + 1));
  EXPECT_TRUE(env.WaitUntil(QueuesEmpty));

  const std::vector<WireFields> sent = env.im().Messages();
  ASSERT_EQ(sent.size(), static_cast<size_t>(kCount + 1));
  std::vector<std::wstring> imMessageIds;
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    const Delivered d = ReadDelivered(sent[i]);
    EXPECT_EQ(d.from, "zhang");
    EXPECT_EQ(d.receivers, "li;wang");
    EXPECT_EQ(d.type1, "Morvane.NUV.IM");
    EXPECT_EQ(d.type2, "Morvane.NUV.IM");
    EXPECT_EQ(d.number, "0");
    EXPECT_EQ(d.key, Utf8ToWide(kChatKey));
    EXPECT_EQ(d.mode, L"0");
    EXPECT_EQ(d.sender, L"zhang");
    EXPECT_EQ(d.title, L"zhang");
    EXPECT_EQ(d.initiator, L"zhang");
    EXPECT_EQ(d.imMessageId.size(), 32u);
    imMessageIds.push_back(d.imMessageId);
    ASSERT_TRUE(d.bodyParsed);
    EXPECT_EQ(d.text, i < kCount ? L"你好, bridge #" + std::to_wstring(i) : std::wstring(L"last"));
  }
  std::sort(imMessageIds.begin(), imMessageIds.end());
  EXPECT_EQ(std::unique(imMessageIds.begin(), imMessageIds.end()), imMessageIds.end());

  // Taken in through the push notify, acknowledged, not fetched, and
  // nothing went to the cloud.
  EXPECT_EQ(env.WaitForNotifyCallbacks(ids.size()), ids);
  EXPECT_TRUE(env.WaitUntil([&] { return env.push().PendingCount() == 0; }));
  EXPECT_EQ(env.cloud().CountRequests("fetch_msg"), 0u);
  EXPECT_EQ(env.cloud().CountRequests("send_msg"), 0u);
  EXPECT_TRUE(env.im().SysMessages().empty());
  EXPECT_EQ(SavedMaxmsgid(env, ids.back()), ids.back());  // maxmsgid
  EXPECT_EQ(CountLogLines(env.root(), "SendTxtMsg2Nuv dkmsgid " + std::to_string(ids[0]) +
                                          " 'zhang' to 'li;wang' '你好, bridge #0' key " + kChatKeyTail + "  OK"),
            1);
  EXPECT_TRUE(WaitForLogLines(env, "SendTxtMsg2Nuv dkmsgid", kCount + 1));
  EXPECT_EQ(CountLogLines(env.root(), "SendTxtMsg2Nuv dkmsgid"), kCount + 1);
}

TEST(BridgeCloudToIm, TextWithReservedXmlCharactersArrivesUnchanged) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  const std::string text = "a < b && c > d, \"quoted\" and 'single' <Txt>not a tag</Txt> &amp; ]]> end";
  env.CreateCloudMessage(Text(text, {"li"}));
  const std::vector<WireFields> sent = env.WaitForImMessages(1);
  ASSERT_EQ(sent.size(), 1u);
  Delivered d;
  ASSERT_NO_THROW(d = ReadDelivered(sent[0])) << sent[0].Get("content");
  ASSERT_TRUE(d.bodyParsed) << sent[0].Get("content");
  EXPECT_EQ(WideToUtf8(d.text), text);
  EXPECT_EQ(d.receivers, "li");
  EXPECT_EQ(d.key, Utf8ToWide(kChatKey));
}

TEST(BridgeCloudToIm, BroadcastToTwoUsersArrivesAsTwoSystemMessages) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  sim::SimCloudMessage m;
  m.msg_type = 1;
  m.cur_userid = "admin";
  m.chatid = kChatKey;  // a broadcast has its own key; the chat's is not used
  m.chatname = "放假通知";
  m.to_userid_list = {"li", "wang"};
  m.content = "明天放假 <全天> & 后天照常";
  const uint64_t id = env.CreateCloudMessage(m);

  const std::vector<WireFields> sys = env.WaitForImSysMessages(2);
  ASSERT_EQ(sys.size(), 2u);
  EXPECT_EQ(sys[0].Get("receiver"), "li");
  EXPECT_EQ(sys[1].Get("receiver"), "wang");
  for (const WireFields& s : sys) {
    EXPECT_EQ(s.Get("title"), "放假通知");
    EXPECT_EQ(s.Get("kind"), "100");
    EXPECT_EQ(s.Get("content"), m.content);
  }
  const std::string done = "SendSysMsg2Nuv dkmsgid " + std::to_string(id) + " BCAST to 2 users '" + m.content +
                           "' key BROADCASTMSG 2 OK 0 Fail";
  ASSERT_TRUE(env.WaitUntil([&] { return env.root().LogContains(done); }));
  // Past any retry: still two, and no IM message besides.
  env.Advance(6000);
  env.CreateCloudMessage(Text("after the broadcast", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(1).size(), 1u);
  EXPECT_EQ(env.im().SysMessages().size(), 2u);
  EXPECT_EQ(env.im().Messages().size(), 1u);
  EXPECT_EQ(CountLogLines(env.root(), "SendSysMsg2Nuv dkmsgid"), 1);
}

TEST(BridgeCloudToIm, ImageAndFileArriveWithTheirBytesAndTheEchoGoesNowhere) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  const std::string image = Bytes(3000, 1);
  const std::string file = Bytes(300 * 1024 + 7, 2);
  sim::SimCloudMessage m = Text("", {"li"});
  m.image_id_list = {env.PutCloudMedia("photo.png", image, "image")};
  m.file_id_list = {env.PutCloudMedia("季度报告.pdf", file, "file")};
  const uint64_t id = env.CreateCloudMessage(m);

  const std::vector<sim::ImSimServer::SentFile> files = env.WaitForImFiles(2);
  ASSERT_EQ(files.size(), 2u);
  // The image first, then the file, each with the cloud's name and bytes.
  EXPECT_EQ(files[0].fields.Get("name"), "photo.png");
  EXPECT_EQ(files[0].fields.Get("isFile"), "0");
  EXPECT_EQ(files[1].fields.Get("name"), "季度报告.pdf");
  EXPECT_EQ(files[1].fields.Get("isFile"), "1");
  EXPECT_TRUE(files[0].data == image) << files[0].data.size() << " bytes";
  EXPECT_TRUE(files[1].data == file) << files[1].data.size() << " bytes";
  for (const auto& f : files) {
    EXPECT_EQ(f.fields.Get("sender"), "zhang");
    EXPECT_EQ(f.fields.Get("receiver"), "li");
    EXPECT_EQ(f.fields.Get("key"), kChatKey);
    EXPECT_EQ(f.fields.Get("extra"), "");
  }

  // The echo of each file is on the application connection before the
  // SendFile reply, so once the handler finished both echoes are in. A
  // user's message raised after them shows the echoes were handled: it is
  // the only thing that reaches the cloud.
  const std::string finished = "SendFileMsg2Nuv dkmsgid " + std::to_string(id) + " 'zhang' to 'li' filecount 2 key " +
                               kChatKeyTail + " finished";
  ASSERT_TRUE(env.WaitUntil([&] { return env.root().LogContains(finished); }));
  sim::ImSimServer::UserMessage after;
  after.from = "li";
  after.to = {"zhang"};
  after.text = "thanks, got them";
  std::string key;
  ASSERT_TRUE(env.RaiseImMessage(after, &key)) << key;
  const std::vector<sim::SimSentMessage> toCloud = env.WaitForSentMessages(1);
  ASSERT_EQ(toCloud.size(), 1u);
  EXPECT_EQ(toCloud[0].content, "thanks, got them");
  EXPECT_TRUE(toCloud[0].image_id_list.empty());
  EXPECT_TRUE(toCloud[0].file_id_list.empty());
  EXPECT_TRUE(env.WaitUntil(QueuesEmpty));
  EXPECT_EQ(env.cloud().CountRequests("send_msg"), 1u);
  EXPECT_EQ(env.cloud().CountRequests("media_upload"), 0u);
  EXPECT_EQ(env.cloud().CountRequests("get_upload_file_url"), 0u);
  EXPECT_EQ(CountLogLines(env.root(), "OnRecvMessage climsgid"), 1);
  EXPECT_EQ(env.im().SentFiles().size(), 2u);
  EXPECT_TRUE(env.im().Messages().empty());
  // Nothing of the delivery is left in the download directory.
  EXPECT_EQ(DirEntries(env.root().root() + "/Download"), std::vector<std::string>{});
}

TEST(BridgeCloudToIm, GapBeforeANotifyIsFetchedExactlyAndArrives) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  const uint64_t first = env.CreateCloudMessage(Text("first", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(1).size(), 1u);

  // Two messages the push server never announces, one with a file, then
  // an announced one: the bridge sees the gap only by the ids.
  const std::string data = Bytes(5000, 3);
  const uint64_t second = env.CreateCloudMessageUnannounced(Text("second", {"li"}));
  sim::SimCloudMessage withFile = Text("", {"li"});
  withFile.file_id_list = {env.PutCloudMedia("gap.bin", data)};
  const uint64_t third = env.CreateCloudMessageUnannounced(withFile);
  const uint64_t fourth = env.CreateCloudMessage(Text("fourth", {"li"}));
  ASSERT_EQ(first, 1u);
  ASSERT_EQ(fourth, 4u);

  const std::vector<sim::SimRequest> fetches = env.WaitForCloudRequests("fetch_msg", 1);
  ASSERT_EQ(fetches.size(), 1u);
  Json::Value body;
  ASSERT_TRUE(Json::Reader().parse(fetches[0].body, body)) << fetches[0].body;
  EXPECT_EQ(body["beg_msg_id"].asUInt64(), second);
  EXPECT_EQ(body["end_msg_id"].asUInt64(), third);

  const std::vector<WireFields> texts = env.WaitForImMessages(3);
  ASSERT_EQ(texts.size(), 3u);
  const std::vector<sim::ImSimServer::SentFile> files = env.WaitForImFiles(1);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].fields.Get("name"), "gap.bin");
  EXPECT_TRUE(files[0].data == data);

  // Each exactly once: past any retry, one more message, then count.
  env.Advance(6000);
  env.CreateCloudMessage(Text("fifth", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(4).size(), 4u);
  EXPECT_TRUE(env.WaitUntil(QueuesEmpty));
  std::vector<std::wstring> got;
  for (const WireFields& m : env.im().Messages()) got.push_back(TextOf(m));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::wstring>{L"fifth", L"first", L"fourth", L"second"}));
  EXPECT_EQ(env.im().SentFiles().size(), 1u);
  EXPECT_EQ(env.cloud().CountRequests("fetch_msg"), 1u);
  // Only the announced ones came by the push notify.
  EXPECT_EQ(env.WaitForNotifyCallbacks(3), (std::vector<uint64_t>{first, fourth, 5}));
  EXPECT_TRUE(env.root().LogContains("OndekoOnNotifyCallback msgid 4 Need Fetch [2, 3] msg, enqueue"));
  EXPECT_TRUE(WaitForLogLines(env, "FetchOndekoMsg dkmsgid 2 'zhang' to 'li' 'second', key '" +
                                       std::string(kChatKeyTail) + "' , enqueue"));
  EXPECT_EQ(SavedMaxmsgid(env, 5u), 5u);  // maxmsgid
}

TEST(BridgeCloudToIm, FailedFetchIsTriedOnceMoreAndItsMessagesArriveOnce) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  env.CreateCloudMessageUnannounced(Text("missed one", {"li"}));
  env.CreateCloudMessageUnannounced(Text("missed two", {"li"}));
  sim::SimFault refused;
  refused.kind = sim::SimFault::Kind::ErrCode;
  refused.errCode = 50001;
  env.cloud().InjectFault("fetch_msg", refused);
  env.CreateCloudMessage(Text("announced", {"li"}));

  ASSERT_EQ(env.WaitForImMessages(1).size(), 1u);
  ASSERT_TRUE(WaitForLogLines(env, "FetchOndekoMsg (1, 2) iRet = "));
  // The retry comes after more than 5 s and fetches the same range.
  env.Advance(6000);
  const std::vector<sim::SimRequest> fetches = env.WaitForCloudRequests("fetch_msg", 2);
  ASSERT_EQ(fetches.size(), 2u);
  EXPECT_EQ(fetches[1].body, fetches[0].body);
  ASSERT_EQ(env.WaitForImMessages(3).size(), 3u);

  env.Advance(6000);
  env.CreateCloudMessage(Text("sentinel", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(4).size(), 4u);
  EXPECT_TRUE(env.WaitUntil(QueuesEmpty));
  std::vector<std::wstring> got;
  for (const WireFields& m : env.im().Messages()) got.push_back(TextOf(m));
  EXPECT_EQ(got, (std::vector<std::wstring>{L"announced", L"missed one", L"missed two", L"sentinel"}));
  EXPECT_EQ(env.cloud().CountRequests("fetch_msg"), 2u);
}

TEST(BridgeCloudToIm, FailedDownloadIsTriedOnceMoreAndEachFileArrivesOnce) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  const std::string a = Bytes(4000, 4), b = Bytes(6000, 5);
  sim::SimCloudMessage m = Text("", {"li"});
  m.file_id_list = {env.PutCloudMedia("a.doc", a), env.PutCloudMedia("b.doc", b)};
  // The first download goes through, the second fails once.
  sim::SimFault broken;
  broken.kind = sim::SimFault::Kind::HttpStatus;
  broken.httpStatus = 500;
  broken.skip = 1;
  env.cloud().InjectFault("media_download", broken);
  const uint64_t id = env.CreateCloudMessage(m);

  ASSERT_TRUE(WaitForLogLines(env, "SendFileMsg2Nuv dkmsgid " + std::to_string(id) +
                                       " 从Ondeko下载文件有失败，稍后重试 ok 1 err 1 size 2"));
  EXPECT_TRUE(env.im().SentFiles().empty());  // nothing before the whole message is there
  env.Advance(6000);
  const std::vector<sim::ImSimServer::SentFile> files = env.WaitForImFiles(2);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].fields.Get("name"), "a.doc");
  EXPECT_TRUE(files[0].data == a);
  EXPECT_EQ(files[1].fields.Get("name"), "b.doc");
  EXPECT_TRUE(files[1].data == b);
  ASSERT_TRUE(WaitForLogLines(env, "SendFileMsg2Nuv dkmsgid " + std::to_string(id) + " 'zhang' to 'li' filecount 2"));
  // The retry fetched only the one that had failed.
  EXPECT_EQ(env.cloud().CountRequests("media_download"), 3u);
  EXPECT_TRUE(env.root().LogContains("GetOndekoFile mediaid '" + m.file_id_list[0] + "' file has downloaded"));

  env.Advance(6000);
  env.CreateCloudMessage(Text("sentinel", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(1).size(), 1u);
  EXPECT_EQ(env.im().SentFiles().size(), 2u);
  EXPECT_EQ(DirEntries(env.root().root() + "/Download"), std::vector<std::string>{});
}

TEST(BridgeCloudToIm, AnnouncedAgainAMessageIsNotDeliveredTwice) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  const uint64_t id = env.CreateCloudMessage(Text("only once", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(1).size(), 1u);
  // The push server sends the same message again (as after a connection
  // lost before its acknowledgement), then a new one.
  OndekoMsgItem again;
  again.msg_id = id;
  again.cur_userid = "zhang";
  again.chatid = kChatKey;
  again.to_userid_list = {"li"};
  again.content = "only once";
  env.push().AnnounceMessage(again);
  ASSERT_EQ(env.WaitForNotifyCallbacks(2).size(), 2u);
  env.CreateCloudMessage(Text("next", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(2).size(), 2u);

  env.Advance(6000);
  env.CreateCloudMessage(Text("sentinel", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(3).size(), 3u);
  EXPECT_EQ(DeliveredTexts(env), (std::vector<std::wstring>{L"only once", L"next", L"sentinel"}));
  EXPECT_TRUE(env.root().LogContains("OndekoOnNotifyCallback msgid 1 <= maxmsgid 1, Need skip this msg"));
  EXPECT_EQ(env.cloud().CountRequests("fetch_msg"), 0u);
}

// One forged (or corrupt) id announced by the push server must not mute the
// messages after it; what the cloud really holds above maxmsgid is fetched,
// a page (here one message) at a time.
TEST(BridgeCloudToIm, ForgedIdFarAheadDoesNotMuteLaterMessages) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  env.CreateCloudMessage(Text("first", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(1).size(), 1u);
  env.cloud().SetFetchLimit(1);
  env.CreateCloudMessageUnannounced(Text("missed one", {"li"}));
  env.CreateCloudMessageUnannounced(Text("missed two", {"li"}));

  OndekoMsgItem forged;
  forged.msg_id = 1000000000000ull;
  forged.to_userid_list = {"li"};
  forged.content = "forged";
  env.push().AnnounceMessage(forged);
  ASSERT_TRUE(WaitForLogLines(env, "FetchOndekoMsg (4, 1000000000000) OK, but no MsgItem return"));
  EXPECT_EQ(env.cloud().CountRequests("fetch_msg"), 3u);

  env.CreateCloudMessage(Text("after", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(4).size(), 4u);
  env.Advance(6000);
  env.CreateCloudMessage(Text("sentinel", {"li"}));
  ASSERT_EQ(env.WaitForImMessages(5).size(), 5u);
  EXPECT_EQ(DeliveredTexts(env),
            (std::vector<std::wstring>{L"first", L"missed one", L"missed two", L"after", L"sentinel"}));
  EXPECT_EQ(SavedMaxmsgid(env, 5u), 5u);  // maxmsgid
}

TEST(BridgeCloudToIm, HostileCloudFileNameStaysInTheDownloadDirectory) {
  BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  // A name that leads to the service's own configuration: delivered under
  // its base name from the download directory, the configuration untouched.
  const std::string data = Bytes(1000, 6);
  sim::SimCloudMessage m = Text("", {"li"});
  m.file_id_list = {env.PutCloudMedia("../Config/generalconf.ini", data)};
  const uint64_t id = env.CreateCloudMessage(m);

  const std::vector<sim::ImSimServer::SentFile> files = env.WaitForImFiles(1);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].fields.Get("name"), "generalconf.ini");
  EXPECT_TRUE(files[0].data == data);
  ASSERT_TRUE(WaitForLogLines(env, "filecount 1 key"));
  ASSERT_TRUE(test::FileExists(env.root().config() + "generalconf.ini"));
  EXPECT_EQ(SavedMaxmsgid(env, id), id);  // maxmsgid, as saved
  EXPECT_TRUE(env.root().LogContains("unsafe file name '../Config/generalconf.ini', deliver it as 'generalconf.ini'"));
  EXPECT_EQ(DirEntries(env.root().root() + "/Download"), std::vector<std::string>{});
}

TEST(BridgeCloudToIm, PushTokenIsSavedBoundAndPresentedAgain) {
  const uint64_t kToken = 0x0102030405060708ULL;
  BridgeTestEnv::Options options;
  options.start = false;
  BridgeTestEnv env(options);
  env.push().SetNewClientToken(kToken, 1765274400);
  env.Start();
  ASSERT_TRUE(env.WaitForStart());

  // Bound on the cloud and kept by the configuration center.
  const std::vector<uint64_t> bound = env.WaitForBoundTokens(1);
  ASSERT_EQ(bound, std::vector<uint64_t>{kToken});
  EXPECT_EQ(env.WaitForCloudRequests("bind_token", 1).size(), 1u);
  EXPECT_EQ(GeneralConfField(env, 0), kToken);
  // The log shows the token's tail only.
  const std::string full = std::to_string(kToken);
  const std::string tokenText = "..." + full.substr(full.size() - 4);
  EXPECT_TRUE(WaitForLogLines(env, "BindToken " + tokenText + " iRet = 0 errcode 0"));

  // The next connection presents the saved token and binds it again
  // without saving it again.
  env.push().CloseConnections();
  ASSERT_TRUE(env.WaitUntil([&] { return env.push().Stats().connects.size() >= 2; }));
  EXPECT_EQ(env.push().Stats().connects[1].token, kToken);
  EXPECT_EQ(env.WaitForBoundTokens(2), (std::vector<uint64_t>{kToken, kToken}));
  EXPECT_EQ(CountLogLines(env.root(), "OndekoOnTokenCallback old token 0 save new token:" + tokenText), 1);
  EXPECT_EQ(CountLogLines(env.root(), "save new token"), 1);
  EXPECT_EQ(CountLogLines(env.root(), full), 0);
  EXPECT_EQ(GeneralConfField(env, 0), kToken);
}

}  // namespace
}  // namespace nuv
