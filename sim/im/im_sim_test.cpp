// The simulator's own behaviour seen from the wire and from its control
// interface: base64, calls without a started application, upload
// announcements and the program's argument handling.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <set>

#include "common/sdk_error.h"
#include "im/im_connection.h"
#include "sim/im/base64.h"
#include "sim/im/im_sim_control.h"
#include "sim/im/im_sim_server.h"
#include "sim/monotonic.h"

namespace nuv {
namespace sim {
namespace {

TEST(SimBase64, RoundTripAndRejects) {
  for (const std::string& s : {std::string(), std::string("a"), std::string("ab"), std::string("abc"),
                              std::string("\0\xff\x10xyz", 6)}) {
    std::string back;
    ASSERT_TRUE(Base64Decode(Base64Encode(s), &back));
    EXPECT_EQ(s, back);
  }
  EXPECT_EQ("YWJj", Base64Encode("abc"));
  EXPECT_EQ("YQ==", Base64Encode("a"));
  std::string out;
  EXPECT_FALSE(Base64Decode("YW*j", &out));
  EXPECT_FALSE(Base64Decode("YQ==YQ", &out));
}

TEST(ImSimServer, AnswersCallsAndAnnouncesUploads) {
  ImSimServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ImConnection app("app");
  app.SetEndpoint("127.0.0.1", server.appPort());
  // Start before Register is refused with an error code.
  try {
    app.Call("Start", WireFields{{"guid", "{G}"}});
    FAIL() << "Start of an unregistered application succeeded";
  } catch (const NuvSdkError& e) {
    EXPECT_EQ(0x80040154u, e.code());
  }
  EXPECT_EQ(1, app.Call("Register", WireFields{{"guid", "{G}"}}).fields.GetInt("result"));
  EXPECT_EQ(1, app.Call("Start", WireFields{{"guid", "{G}"}}).fields.GetInt("result"));
  EXPECT_THROW(app.Call("NoSuchOp", WireFields{}), NuvSdkError);

  ImConnection fm("fm");
  fm.SetEndpoint("127.0.0.1", server.fmPort());
  std::mutex mu;
  std::vector<std::string> infos;
  fm.SetHandlers([&](WireFrame& f) {
    std::lock_guard<std::mutex> g(mu);
    infos.push_back(f.fields.Get("info"));
  }, nullptr);
  fm.Call("FmStart", WireFields{});
  const std::string fid = server.UserUpload("a b.txt", "hi");
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard<std::mutex> g(mu);
      if (!infos.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::lock_guard<std::mutex> g(mu);
  ASSERT_EQ(1u, infos.size());
  EXPECT_NE(std::string::npos, infos[0].find(" FileID=\"" + fid + "\" "));
}

TEST(ImSimServer, SendNeedsAStartedApplication) {
  ImSimServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error));
  ImSimControl ctl(server);
  ctl.AddRoute("GET", "/extra", [](const ControlRequest& r) { return ControlReply{200, "{\"path\":\"" + r.path + "\"}"}; });
  ASSERT_TRUE(ctl.Start("127.0.0.1", 0, &error)) << error;
  httplib::Client cli("127.0.0.1", ctl.port());
  auto res = cli.Post("/send", R"({"from":"a","to":["b"],"text":"x"})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(409, res->status);
  EXPECT_EQ(400, cli.Post("/send", R"({"to":["b"]})", "application/json")->status);
  res = cli.Get("/extra");
  ASSERT_TRUE(res);
  EXPECT_EQ("{\"path\":\"/extra\"}", res->body);
}

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  r->parse(text.data(), text.data() + text.size(), &v, nullptr);
  return v;
}

// What the benchmark reads: a repeated send raises one event per message,
// each with its own text and key, stamped no later than the arrivals; a
// SendMessage call is stamped at its arrival; the counts follow.
TEST(ImSimServer, RepeatedSendAndStampsForTheBenchmark) {
  ImSimServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ImSimControl ctl(server);
  ASSERT_TRUE(ctl.Start("127.0.0.1", 0, &error)) << error;
  ImConnection app("app");
  app.SetEndpoint("127.0.0.1", server.appPort());
  std::mutex mu;
  std::vector<std::pair<std::string, int64_t>> events;  // content, arrival
  app.SetHandlers([&](WireFrame& f) {
    std::lock_guard<std::mutex> g(mu);
    events.emplace_back(f.fields.Get("content"), MonotonicMicros());
  }, nullptr);
  app.Call("Register", WireFields{{"guid", "{G}"}});
  app.Call("Start", WireFields{{"guid", "{G}"}});

  httplib::Client cli("127.0.0.1", ctl.port());
  EXPECT_EQ(400, cli.Post("/send", R"({"from":"a","to":["b"],"text":"x","key":"{K}","repeat":2})",
                          "application/json")->status);
  auto res = cli.Post("/send", R"({"from":"a","to":["b"],"text":"burst","gap_ms":0,"repeat":3})",
                      "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(200, res->status) << res->body;
  const Json::Value a = ParseJson(res->body);
  EXPECT_EQ(3, a["sent"].asInt());
  const int64_t raised = a["raised_us"].asInt64(), lastRaised = a["last_raised_us"].asInt64();
  EXPECT_GT(raised, 0);
  EXPECT_LE(raised, lastRaised);
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard<std::mutex> g(mu);
      if (events.size() >= 3) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard<std::mutex> g(mu);
    ASSERT_EQ(3u, events.size());
    std::set<std::string> keys;
    for (int i = 0; i < 3; ++i) {
      EXPECT_NE(std::string::npos, events[i].first.find("burst #" + std::to_string(i))) << events[i].first;
      const size_t k = events[i].first.find("Key");
      keys.insert(events[i].first.substr(k, 60));
    }
    EXPECT_EQ(3u, keys.size());
    EXPECT_LE(raised, events[0].second);
    EXPECT_LE(lastRaised, events[2].second);
  }

  const int64_t before = MonotonicMicros();
  app.Call("SendMessage", WireFields{{"guid", "{G}"}, {"sender", "z"}, {"receivers", "b"}, {"content", ""}});
  const int64_t after = MonotonicMicros();
  const Json::Value messages = ParseJson(cli.Get("/messages")->body);
  ASSERT_EQ(1u, messages.size());
  EXPECT_GE(messages[0]["recv_us"].asInt64(), before);
  EXPECT_LE(messages[0]["recv_us"].asInt64(), after);
  const Json::Value counts = ParseJson(cli.Get("/counts")->body);
  EXPECT_EQ(1u, counts["messages"].asUInt64());
  EXPECT_EQ(0u, counts["sentfiles"].asUInt64());
  EXPECT_GE(counts["calls"].asUInt64(), 3u);
}

}  // namespace
}  // namespace sim
}  // namespace nuv
