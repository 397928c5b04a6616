// The simulator's control interface and its own rules, driven the way the
// demo drives it: plain HTTP+JSON on the control port, HTTPS on the API port.

#include "sim/cloud/sim_cloud.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/test_support.h"
#include "sim/cloud/sim_cloud_state.h"
#include "sim/monotonic.h"

namespace nuv {
namespace sim {
namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  std::string errs;
  r->parse(text.data(), text.data() + text.size(), &v, &errs);
  return v;
}

class SimCloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
    control_ = std::make_unique<httplib::Client>("127.0.0.1", cloud_.ControlPort());
    api_ = std::make_unique<httplib::SSLClient>("127.0.0.1", cloud_.ApiPort());
    api_->set_ca_cert_path(cloud_.CaFile().c_str());
    api_->enable_server_certificate_verification(true);
    api_->set_keep_alive(false);
  }
  void TearDown() override { cloud_.Stop(); }

  // One API call with the current credentials; returns the reply's JSON.
  Json::Value Call(const std::string& endpoint, const std::string& body) {
    SimCredentials c = cloud_.Credentials();
    httplib::Headers h{{"vid", std::to_string(c.vid)}, {"skey", c.skey}};
    auto res = api_->Post(("/cgi-bin/" + endpoint).c_str(), h, body, "application/json");
    if (!res) return Json::Value("transport error");
    return ParseJson(res->body);
  }

  SimCloud cloud_;
  std::unique_ptr<httplib::Client> control_;
  std::unique_ptr<httplib::SSLClient> api_;
};

TEST_F(SimCloudTest, ControlCreatesMessagesAndTheHookSeesThem) {
  std::atomic<uint64_t> announced{0};
  cloud_.SetMessageCreatedHook([&](const SimCloudMessage& m) { announced = m.msg_id; });
  auto media =
      control_->Post("/media?name=a.png&type=image", "PNGDATA", "application/octet-stream");
  ASSERT_TRUE(media);
  std::string mediaId = ParseJson(media->body)["media_id"].asString();
  ASSERT_FALSE(mediaId.empty());
  auto res =
      control_->Post("/messages",
                     "{\"cur_userid\":\"zhang\",\"to_userid_list\":[\"li\"],\"content\":\"hi\","
                     "\"image_id_list\":[\"" +
                         mediaId + "\"],\"msg_type\":1}",
                     "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  uint64_t id = ParseJson(res->body)["msg_id"].asUInt64();
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(announced.load(), id);

  Json::Value fetched = Call("fetch_msg", "{\"beg_msg_id\":1,\"end_msg_id\":9}");
  ASSERT_EQ(fetched["result"]["errCode"].asInt(), 0);
  ASSERT_EQ(fetched["data"]["msglist"].size(), 1u);
  EXPECT_EQ(fetched["data"]["msglist"][0]["image_id_list"][0].asString(), mediaId);
  EXPECT_EQ(fetched["data"]["msglist"][0]["msg_type"].asInt(), 1);
  Json::Value empty = Call("fetch_msg", "{\"beg_msg_id\":2,\"end_msg_id\":9}");
  EXPECT_EQ(empty["data"]["msglist"].size(), 0u);

  auto list = control_->Get("/messages");
  ASSERT_TRUE(list);
  EXPECT_EQ(ParseJson(list->body)[0]["cur_userid"].asString(), "zhang");
  EXPECT_EQ(control_->Post("/messages", "[1]", "application/json")->status, 400);
}

// What the benchmark reads: repeated messages with their own contents and
// ordered stamps, announced one by one; send_msg stamped at its arrival;
// /sent from an offset; the counts.
TEST_F(SimCloudTest, RepeatedMessagesStampsAndCountsForTheBenchmark) {
  std::vector<std::pair<uint64_t, int64_t>> announced;  // written on this thread only
  cloud_.SetMessageCreatedHook([&](const SimCloudMessage& m) { announced.emplace_back(m.msg_id, m.createdUs); });
  auto res = control_->Post("/messages", "{\"cur_userid\":\"zhang\",\"content\":\"burst\",\"repeat\":3}",
                            "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  Json::Value a = ParseJson(res->body);
  EXPECT_EQ(a["msg_id"].asUInt64(), 1u);
  ASSERT_EQ(announced.size(), 3u);
  EXPECT_EQ(a["created_us"].asInt64(), announced[0].second);
  EXPECT_EQ(a["last_created_us"].asInt64(), announced[2].second);
  EXPECT_LE(announced[0].second, announced[2].second);
  std::vector<SimCloudMessage> all = cloud_.CloudMessages();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].content, "burst #2");
  EXPECT_EQ(control_->Post("/messages", "{\"repeat\":0}", "application/json")->status, 400);

  for (const char* text : {"one", "two"}) {
    const int64_t before = MonotonicMicros();
    Json::Value r = Call("send_msg", std::string("{\"msgitem\":{\"cur_userid\":\"a\",\"content\":\"") + text +
                                         "\",\"to_userid_list\":[\"b\"]}}");
    ASSERT_EQ(r["result"]["errCode"].asInt(), 0);
    const int64_t got = cloud_.SentMessages().back().receivedUs;
    EXPECT_GE(got, before);
    EXPECT_LE(got, MonotonicMicros());
  }
  Json::Value tail = ParseJson(control_->Get("/sent?from=1")->body);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0]["content"].asString(), "two");
  EXPECT_EQ(tail[0]["received_us"].asInt64(), cloud_.SentMessages()[1].receivedUs);
  Json::Value counts = ParseJson(control_->Get("/counts")->body);
  EXPECT_EQ(counts["sent"].asUInt64(), 2u);
  EXPECT_EQ(counts["messages"].asUInt64(), 3u);
}

TEST_F(SimCloudTest, CredentialsAndFaultsThroughTheControlPort) {
  EXPECT_EQ(Call("check_authorization", "")["result"]["errCode"].asInt(), 0);
  ASSERT_TRUE(control_->Post("/skey/expire", "", "text/plain"));
  EXPECT_EQ(Call("check_authorization", "")["result"]["errCode"].asInt(), -2);

  // Refresh with the refresh token gives a working key again.
  SimCredentials c = cloud_.Credentials();
  Json::Value r = Call("refresh_skey", "{\"vid\":" + std::to_string(c.vid) +
                                           ",\"refresh_token\":\"" + c.refresh_token + "\"}");
  ASSERT_EQ(r["result"]["errCode"].asInt(), 0);
  EXPECT_EQ(r["data"]["skey"].asString(), cloud_.Credentials().skey);
  EXPECT_EQ(Call("check_authorization", "")["result"]["errCode"].asInt(), 0);

  auto f = control_->Post(
      "/faults", "{\"endpoint\":\"cli_report\",\"kind\":\"errcode\",\"errCode\":45,\"count\":2}",
      "application/json");
  ASSERT_TRUE(f);
  ASSERT_EQ(f->status, 200);
  EXPECT_EQ(Call("cli_report", "{\"report_content\":\"a\"}")["result"]["errCode"].asInt(), 45);
  EXPECT_EQ(Call("cli_report", "{\"report_content\":\"b\"}")["result"]["errCode"].asInt(), 45);
  EXPECT_EQ(Call("cli_report", "{\"report_content\":\"c\"}")["result"]["errCode"].asInt(), 0);
  EXPECT_EQ(cloud_.Reports(), std::vector<std::string>{"c"});

  control_->Post("/faults", "{\"endpoint\":\"send_msg\",\"kind\":\"status\",\"httpStatus\":503}",
                 "application/json");
  SimCredentials k = cloud_.Credentials();
  auto res = api_->Post("/cgi-bin/send_msg", {{"vid", std::to_string(k.vid)}, {"skey", k.skey}},
                        "{}", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_EQ(control_->Post("/faults", "{\"endpoint\":\"x\",\"kind\":\"odd\"}", "application/json")
                ->status,
            400);
  EXPECT_EQ(cloud_.CountRequests("cli_report"), 3u);
  // Faulted calls count as calls (the backlog benchmark waits on them).
  Json::Value calls = ParseJson(control_->Get("/counts")->body)["calls"];
  EXPECT_EQ(calls["cli_report"].asUInt64(), 3u);
  EXPECT_EQ(calls["send_msg"].asUInt64(), 1u);
  auto reqs = control_->Get("/requests?endpoint=cli_report");
  ASSERT_TRUE(reqs);
  EXPECT_EQ(ParseJson(reqs->body).size(), 3u);
}

// An outage: "*" fails every endpoint without a fault of its own, until the
// fault's moment has passed.
TEST_F(SimCloudTest, OutageFaultCoversEveryEndpointUntilItsEnd) {
  auto f = control_->Post("/faults", "{\"endpoint\":\"*\",\"kind\":\"status\",\"httpStatus\":503,\"seconds\":600}",
                          "application/json");
  ASSERT_TRUE(f);
  ASSERT_EQ(f->status, 200);
  SimCredentials k = cloud_.Credentials();
  for (const char* path : {"/cgi-bin/send_msg", "/cgi-bin/cli_report", "/cgi-bin/fetch_msg"}) {
    for (int i = 0; i < 3; ++i) {
      auto res = api_->Post(path, {{"vid", std::to_string(k.vid)}, {"skey", k.skey}}, "{}", "application/json");
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 503) << path;
    }
  }
  EXPECT_EQ(control_->Post("/faults", "{\"endpoint\":\"*\",\"seconds\":-1}", "application/json")->status, 400);

  SimFault over;
  over.kind = SimFault::Kind::HttpStatus;
  over.httpStatus = 503;
  over.count = 1000;
  over.until = std::chrono::steady_clock::now() - std::chrono::milliseconds(1);
  cloud_.InjectFault("*", over);
  EXPECT_EQ(Call("check_authorization", "")["result"]["errCode"].asInt(), 0);
  EXPECT_EQ(Call("check_authorization", "")["result"]["errCode"].asInt(), 0);
}

TEST_F(SimCloudTest, StopEndsAStalledRequestPromptly) {
  SimFault f;
  f.kind = SimFault::Kind::Stall;
  f.stallMs = 60000;
  cloud_.InjectFault("check_authorization", f);
  std::thread caller([this] { Call("check_authorization", ""); });
  for (int i = 0; i < 200 && cloud_.CountRequests("check_authorization") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto start = std::chrono::steady_clock::now();
  cloud_.Stop();
  caller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// A stop right after a start (a test that fails early, a demo stopped at
// once) must not hang on a server whose loop has not begun yet.
TEST_F(SimCloudTest, StopRightAfterStartReturns) {
  for (int i = 0; i < 20; ++i) {
    cloud_.Stop();
    ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
  }
  cloud_.Stop();
  ASSERT_TRUE(cloud_.Start()) << cloud_.LastError();
  httplib::Client again("127.0.0.1", cloud_.ControlPort());
  auto res = again.Get("/state");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST(SimCloudStateTest, GbkCsvRowsAndPresenceOfImportedUsers) {
  auto rows =
      ParseGbkCsv("\xd0\xd5\xc3\xfb,\xd5\xca\xba\xc5\r\n\xd5\xc5\xc8\xfd,zhang\r\n\r\nli,\r\n");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], "\xe5\xa7\x93\xe5\x90\x8d");  // 姓名
  EXPECT_EQ(rows[1][0], "\xe5\xbc\xa0\xe4\xb8\x89");  // 张三
  EXPECT_EQ(rows[2], (std::vector<std::string>{"li", ""}));

  SimCloudOptions o;
  SimCloudState state(o);
  SimCredentials c = state.Credentials();
  auto call = [&](const std::string& endpoint, const std::string& body,
                  const std::map<std::string, std::string>& params = {}) {
    SimRequest r;
    r.endpoint = endpoint;
    r.vid = std::to_string(c.vid);
    r.skey = c.skey;
    r.hasSkey = true;
    r.body = body;
    r.fileName = body.empty() ? "" : "f.csv";
    return ParseJson(state.Handle(r, params).body);
  };
  EXPECT_EQ(call("sync_member_contacts", "{\"kf_file_key\":\"1001\"}")["result"]["errCode"].asInt(),
            40007);
  EXPECT_EQ(call("upload_kf", "n,a\r\n\xd5\xc5\xc8\xfd,\xd5\xc5\r\n",
                 {{"type", "2"}})["result"]["errCode"]
                .asInt(),
            0);
  Json::Value job = call("sync_member_contacts", "{\"kf_file_key\":\"1001\"}");
  ASSERT_EQ(job["result"]["errCode"].asInt(), 0);
  state.SetImportProgress({50, 100});
  std::string q = "{\"job_id\":\"" + job["data"]["job_id"].asString() + "\",\"op\":2}";
  EXPECT_EQ(call("check_contacts_job", q)["data"]["percentage"].asInt(), 50);
  EXPECT_EQ(call("check_contacts_job", q)["data"]["percentage"].asInt(), 100);
  EXPECT_EQ(call("check_contacts_job", q)["data"]["percentage"].asInt(), 100);
  // The GBK account from the imported file is known; others are invalid.
  Json::Value mute = call("set_mute",
                          "{\"status_list\":[{\"username\":\"\xd5\xc5\",\"mute_status\":1},"
                          "{\"username\":\"nobody\",\"mute_status\":0}]}");
  ASSERT_EQ(mute["data"]["invalid_users"].size(), 1u);
  EXPECT_EQ(mute["data"]["invalid_users"][0].asString(), "nobody");
  EXPECT_EQ(state.MuteStatus(), (std::vector<std::pair<std::string, int>>{{"\xd5\xc5", 1}}));
}

TEST_F(SimCloudTest, LargeBodyWithFormContentTypeIsAccepted) {
  // The client posts JSON under the default form content type; a big presence
  // batch or message must not be refused for its size.
  SimCredentials c = cloud_.Credentials();
  std::string content(20000, 'x');
  std::string body = "{\"msgitem\":{\"cur_userid\":\"a\",\"chatid\":\"k\",\"content\":\"" +
                     content + "\",\"msg_type\":1,\"to_userid_list\":[\"b\"]}}";
  auto res = api_->Post("/cgi-bin/send_msg", {{"vid", std::to_string(c.vid)}, {"skey", c.skey}},
                        body, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  auto sent = cloud_.SentMessages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].content.size(), content.size());

  // A media file posted to the control port as "curl --data-binary" sends
  // it: the form content type, every byte value, well over 8 KiB.
  std::string file(40000, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 7);
  auto media = control_->Post("/media?name=big.bin", file, "application/x-www-form-urlencoded");
  ASSERT_TRUE(media);
  ASSERT_EQ(media->status, 200) << media->body;
  SimMedia stored;
  ASSERT_TRUE(cloud_.GetMedia(ParseJson(media->body)["media_id"].asString(), stored));
  EXPECT_TRUE(stored.data == file);
  EXPECT_EQ(stored.fileName, "big.bin");
}

}  // namespace
}  // namespace sim
}  // namespace nuv

namespace nuv {
namespace sim {
namespace {

// ondeko_sim --dir names a directory that need not exist yet.
TEST(SimCloudDataDirTest, MissingDirectoryAndParentsAreCreated) {
  test::TempInstallRoot tmp;
  SimCloudOptions o;
  o.control = false;
  o.dataDir = tmp.root() + "/new/deeper/sim";
  SimCloud cloud(o);
  ASSERT_TRUE(cloud.Start()) << cloud.LastError();
  EXPECT_EQ(o.dataDir + "/ca.pem", cloud.CaFile());
  EXPECT_NE("", test::ReadWholeFile(o.dataDir + "/ca.pem"));
  EXPECT_NE("", test::ReadWholeFile(o.dataDir + "/key.pem"));
  cloud.Stop();
}

TEST(SimCloudDataDirTest, DirectoryThatCannotExistIsNamedInTheError) {
  test::TempInstallRoot tmp;
  test::WriteWholeFile(tmp.root() + "/plain", "a file, not a directory");
  SimCloudOptions o;
  o.control = false;
  o.dataDir = tmp.root() + "/plain/sim";
  SimCloud below(o);
  EXPECT_FALSE(below.Start());
  EXPECT_EQ("cannot create the data directory " + o.dataDir + ": Not a directory", below.LastError());

  o.dataDir = tmp.root() + "/plain";
  SimCloud itself(o);
  EXPECT_FALSE(itself.Start());
  EXPECT_EQ("cannot use " + o.dataDir + " as the data directory: it is not a directory",
            itself.LastError());
}

}  // namespace
}  // namespace sim
}  // namespace nuv
