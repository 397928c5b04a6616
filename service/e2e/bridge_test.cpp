// The whole bridge with the real programs: texts both ways, a broadcast,
// files and images both ways with their exact bytes, the too-large notice,
// the echo of a delivered file dropped, every message arriving exactly once;
// and a gap before a notified message fetched over the API.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>

#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

Json::Value Strings(std::initializer_list<const char*> l) {
  Json::Value a(Json::arrayValue);
  for (const char* s : l) a.append(s);
  return a;
}

Json::Value FileEntry(const std::string& name, const std::string& data, bool image) {
  Json::Value f;
  f["name"] = name;
  f["data"] = Base64Encode(data);
  f["image"] = image;
  return f;
}

// Limits: files up to 1 MiB, images up to 512 KiB (keeps the payloads small).
const char kSmallLimits[] = "0;0;1048576;524288;99;0;0;0;";

TEST(BridgeE2E, MessagesFilesAndBroadcastCrossBothWaysExactlyOnce) {
  RigOptions o;
  o.generalconf = kSmallLimits;
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;

  // IM -> cloud: one user's text to two receivers leaves as one message.
  const std::string t1 = "hello bob and carol 你好";
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob", "carol"}, t1).empty());
  Json::Value sent = rig.WaitCloudSent(BridgeRig::SentWithContent(t1), 15);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["cur_userid"].asString(), "alice");
  EXPECT_EQ(sent[0]["to_userid_list"], Strings({"bob", "carol"}));

  // cloud -> IM: a text, then a broadcast as system messages.
  const std::string t2 = "hi alice, from the cloud";
  ASSERT_NE(rig.CloudUserSends("zhang", {"alice"}, t2), 0u);
  Json::Value got = rig.WaitImMessages(BridgeRig::ImWithText(t2), 15);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["sender"].asString(), "zhang");
  EXPECT_EQ(got[0]["receivers"].asString(), "alice");

  const std::string t3 = "office closed on friday";
  Json::Value bc;
  bc["msg_type"] = 1;
  bc["chatname"] = "行政通知";
  ASSERT_NE(rig.CloudUserSends("admin", {"alice", "bob"}, t3, bc), 0u);
  auto isT3 = [&](const Json::Value& m) { return m["content"].asString() == t3; };
  ASSERT_TRUE(WaitUntil([&] { return rig.ImSysMessages(isT3).size() >= 2; }, 15));

  // cloud -> IM: a file and an image in one message, bytes exact.
  const std::string planBytes = RandomBytes(200 * 1024 + 7, 1);
  const std::string picBytes = RandomBytes(60 * 1024 + 3, 2);
  Json::Value withFiles;
  withFiles["file_id_list"].append(rig.CloudPutMedia("plan.bin", planBytes, false));
  withFiles["image_id_list"].append(rig.CloudPutMedia("pic.png", picBytes, true));
  ASSERT_NE(rig.CloudUserSends("zhang", {"alice"}, "", withFiles), 0u);
  Json::Value files;
  ASSERT_TRUE(WaitUntil([&] { return (files = rig.ImSentFiles([](const Json::Value&) { return true; })).size() >= 2; }, 20))
      << rig.Im("/sentfiles").body;
  std::map<std::string, Json::Value> byName;
  for (const auto& f : files) byName[f["name"].asString()] = f;
  ASSERT_EQ(byName.count("plan.bin"), 1u);
  ASSERT_EQ(byName.count("pic.png"), 1u);
  EXPECT_EQ(Base64Decode(byName["plan.bin"]["data"].asString()), planBytes);
  EXPECT_EQ(Base64Decode(byName["pic.png"]["data"].asString()), picBytes);
  EXPECT_EQ(byName["plan.bin"]["isFile"].asString(), "1");
  EXPECT_EQ(byName["pic.png"]["isFile"].asString(), "0");
  EXPECT_EQ(byName["plan.bin"]["receiver"].asString(), "alice");

  // IM -> cloud: a file and an image, bytes exact on the cloud.
  const std::string reportBytes = RandomBytes(300 * 1024 + 11, 3);
  const std::string photoBytes = RandomBytes(40 * 1024 + 5, 4);
  Json::Value up(Json::arrayValue);
  up.append(FileEntry("report.bin", reportBytes, false));
  up.append(FileEntry("photo.png", photoBytes, true));
  const std::string t4 = "the report and a photo";
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, t4, up).empty());
  sent = rig.WaitCloudSent(BridgeRig::SentWithContent(t4), 20);
  ASSERT_EQ(sent.size(), 1u) << rig.Cloud("/sent").body;
  ASSERT_EQ(sent[0]["file_id_list"].size(), 1u);
  ASSERT_EQ(sent[0]["image_id_list"].size(), 1u);
  EXPECT_EQ(rig.Cloud("/uploads/data?media_id=" + sent[0]["file_id_list"][0].asString()).body, reportBytes);
  EXPECT_EQ(rig.Cloud("/uploads/data?media_id=" + sent[0]["image_id_list"][0].asString()).body, photoBytes);

  // IM -> cloud: a file over maxfilesize becomes the too-large notice.
  Json::Value big(Json::arrayValue);
  big.append(FileEntry("huge.bin", RandomBytes(1048577, 5), false));
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, "", big).empty());
  sent = rig.WaitCloudSent(BridgeRig::SentWithContent("NUV文件太大：huge.bin"), 20);
  ASSERT_EQ(sent.size(), 1u) << rig.Cloud("/sent").body;
  EXPECT_EQ(sent[0]["content"].asString(), "NUV文件太大：huge.bin  ，未能同步文件到OndekoPallen");
  EXPECT_EQ(sent[0]["to_userid_list"], Strings({"bob"}));

  // A last round trip: whatever was in flight before it has arrived, so the
  // counts below are final. The IM's echoes of plan.bin and pic.png went
  // through the same file queue before t4 and must not have reached the cloud.
  BridgeRig::RoundTrip rt = rig.BothWays("final barrier");
  ASSERT_TRUE(rt.ok);
  std::set<std::string> uploaded;
  for (const auto& u : rig.Cloud("/uploads").json) uploaded.insert(u["file_name"].asString());
  EXPECT_EQ(uploaded, (std::set<std::string>{"report.bin", "photo.png"}));
  EXPECT_EQ(rig.CloudSent(BridgeRig::SentWithContent(t1)).size(), 1u);
  EXPECT_EQ(rig.CloudSent(BridgeRig::SentWithContent(t4)).size(), 1u);
  EXPECT_EQ(rig.CloudSent(BridgeRig::SentWithContent("NUV文件太大")).size(), 1u);
  EXPECT_EQ(rig.ImMessages(BridgeRig::ImWithText(t2)).size(), 1u);
  EXPECT_EQ(rig.ImSysMessages(isT3).size(), 2u);
  EXPECT_EQ(rig.Im("/sentfiles").json.size(), 2u);
  // Every send_msg the cloud accepted is one of ours: nothing else leaked
  // out (no echo, no duplicate).
  EXPECT_EQ(rig.Cloud("/sent").json.size(), 4u) << rig.Cloud("/sent").body;
  std::printf("[e2e] text IM->cloud %.2f s, cloud->IM %.2f s\n", rt.toCloud, rt.toIm);
}

TEST(BridgeE2E, NotifyAfterAGapFetchesExactlyTheGap) {
  BridgeRig rig;
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;
  const uint64_t first = rig.CloudUserSends("zhang", {"alice"}, "gap: first");
  ASSERT_EQ(rig.WaitImMessages(BridgeRig::ImWithText("gap: first"), 15).size(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return rig.SavedMaxMsgId() == first; }, 5));

  // Two messages the push server never announces, then one it does.
  const uint64_t a = rig.CloudUserSends("zhang", {"alice"}, "gap: missed one", Json::Value(), false);
  const uint64_t b = rig.CloudUserSends("zhang", {"bob"}, "gap: missed two", Json::Value(), false);
  const uint64_t c = rig.CloudUserSends("zhang", {"alice"}, "gap: announced");
  ASSERT_EQ(a, first + 1);
  ASSERT_EQ(b, first + 2);
  ASSERT_EQ(c, first + 3);
  for (const char* t : {"gap: missed one", "gap: missed two", "gap: announced"}) {
    EXPECT_EQ(rig.WaitImMessages(BridgeRig::ImWithText(t), 15).size(), 1u) << t;
  }
  Json::Value fetches = rig.Cloud("/requests?endpoint=fetch_msg").json;
  ASSERT_EQ(fetches.size(), 1u) << rig.Cloud("/requests?endpoint=fetch_msg").body;
  Json::Value body;
  Json::CharReaderBuilder rb;
  std::unique_ptr<Json::CharReader> r(rb.newCharReader());
  const std::string text = fetches[0]["body"].asString();
  ASSERT_TRUE(r->parse(text.data(), text.data() + text.size(), &body, nullptr)) << text;
  EXPECT_EQ(body["beg_msg_id"].asUInt64(), a);
  EXPECT_EQ(body["end_msg_id"].asUInt64(), b);
  // Saved after the burst's items were queued: it may follow the arrival.
  EXPECT_TRUE(WaitUntil([&] { return rig.SavedMaxMsgId() == c; }, 5)) << rig.SavedMaxMsgId();
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
