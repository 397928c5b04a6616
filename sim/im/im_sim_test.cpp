// The simulator's own behaviour seen from the wire and from its control
// interface: base64, calls without a started application, upload
// announcements and the program's argument handling.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

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

// Message events of an application that acknowledges: what a connection was
// handed and never acknowledged goes again, oldest first and before anything
// new, to the next connection that starts the application; what was
// acknowledged never does. Messages keep coming during the second Start.
TEST(ImSimServer, UnacknowledgedMessagesGoAgainInOrderToTheNextStart) {
  ImSimServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  struct Seen {
    std::mutex mu;
    std::vector<std::pair<uint64_t, std::string>> events;  // seq, text in the content
    size_t Size() {
      std::lock_guard<std::mutex> g(mu);
      return events.size();
    }
  };
  auto textOf = [](const WireFrame& f) {
    const std::string c = f.fields.Get("content");
    const size_t at = c.find("ack-");
    return at == std::string::npos ? std::string() : c.substr(at, c.find_first_of("<&", at) - at);
  };
  auto waitFor = [](const std::function<bool()>& pred) {
    for (int i = 0; i < 5000 && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
  };
  auto send = [&](const std::string& text) {
    ImSimServer::UserMessage m;
    m.from = "alice";
    m.to = {"zhang"};
    m.text = text;
    std::string key;
    return server.UserSend(m, &key, nullptr);
  };

  // The first connection acknowledges ack-0 and ack-1, then dies with
  // ack-2 and ack-3 in its hands.
  Seen first;
  auto a = std::make_unique<ImConnection>("app");
  a->SetEndpoint("127.0.0.1", server.appPort());
  a->SetHandlers([&](WireFrame& f) {
    std::lock_guard<std::mutex> g(first.mu);
    const uint64_t seq = static_cast<uint64_t>(f.fields.GetInt("seq", 0));
    first.events.emplace_back(seq, textOf(f));
    if (first.events.size() <= 2) a->Notify("Ack", WireFields{{"guid", "{G}"}, {"seq", std::to_string(seq)}});
  }, nullptr);
  a->Call("Register", WireFields{{"guid", "{G}"}});
  a->Call("Start", WireFields{{"guid", "{G}"}, {"acks", "1"}});
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(send("ack-" + std::to_string(i)));
  ASSERT_TRUE(waitFor([&] { return first.Size() == 4 && server.Unacked("{G}").size() == 2; }));
  EXPECT_EQ((std::vector<uint64_t>{3, 4}), server.Unacked("{G}"));
  {
    std::lock_guard<std::mutex> g(first.mu);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(static_cast<uint64_t>(i + 1), first.events[i].first);
      EXPECT_EQ("ack-" + std::to_string(i), first.events[i].second);
    }
  }
  a.reset();
  ASSERT_TRUE(waitFor([&] { return !server.State().started; }));
  EXPECT_FALSE(send("refused")) << "nobody started";

  // The second connection starts while a user keeps sending; it acknowledges
  // everything.
  Seen second;
  ImConnection b("app");
  b.SetEndpoint("127.0.0.1", server.appPort());
  b.SetHandlers([&](WireFrame& f) {
    const uint64_t seq = static_cast<uint64_t>(f.fields.GetInt("seq", 0));
    {
      std::lock_guard<std::mutex> g(second.mu);
      second.events.emplace_back(seq, textOf(f));
    }
    b.Notify("Ack", WireFields{{"guid", "{G}"}, {"seq", std::to_string(seq)}});
  }, nullptr);
  std::atomic<bool> go{true};
  std::atomic<int> sent{0}, attempts{0};
  std::thread user([&] {
    for (int i = 4; go && i < 400; ++i) {
      ++attempts;
      if (send("ack-" + std::to_string(i))) {
        ++sent;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --i;  // not started yet: the user tries again
      }
    }
  });
  ASSERT_TRUE(waitFor([&] { return attempts > 3; }));
  b.Call("Start", WireFields{{"guid", "{G}"}, {"acks", "1"}});
  ASSERT_TRUE(waitFor([&] { return sent >= 20; }));
  go = false;
  user.join();
  const size_t total = 2 + static_cast<size_t>(sent.load());
  ASSERT_TRUE(waitFor([&] { return second.Size() == total && server.Unacked("{G}").empty(); }))
      << second.Size() << " of " << total;
  {
    std::lock_guard<std::mutex> g(second.mu);
    for (size_t i = 0; i < total; ++i) {
      EXPECT_EQ(i + 3, second.events[i].first) << i;
      EXPECT_EQ("ack-" + std::to_string(i + 2), second.events[i].second) << i;
    }
  }
  EXPECT_GE(server.RecordCounts().acks, total + 2);

  // Everything was acknowledged: a third Start gets nothing again.
  b.Disconnect();
  ASSERT_TRUE(waitFor([&] { return !server.State().started; }));
  Seen third;
  ImConnection c("app");
  c.SetEndpoint("127.0.0.1", server.appPort());
  c.SetHandlers([&](WireFrame& f) {
    std::lock_guard<std::mutex> g(third.mu);
    third.events.emplace_back(0, textOf(f));
  }, nullptr);
  c.Call("Start", WireFields{{"guid", "{G}"}, {"acks", "1"}});
  ASSERT_TRUE(send("ack-last"));
  c.Call("Stop", WireFields{{"guid", "{G}"}});  // a round trip: the event came before its reply
  std::atomic<bool> handled{false};
  c.Post([&] { handled = true; });
  ASSERT_TRUE(waitFor([&] { return handled.load(); }));
  std::lock_guard<std::mutex> g(third.mu);
  ASSERT_EQ(1u, third.events.size());
  EXPECT_EQ("ack-last", third.events[0].second);
}

// A client that never acknowledges (no "acks" at Start) gets events without
// a sequence, and nothing again when it starts once more.
TEST(ImSimServer, ClientWithoutAcknowledgementsGetsNothingAgain) {
  ImSimServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  std::mutex mu;
  std::vector<WireFields> got;
  ImConnection app("app");
  app.SetEndpoint("127.0.0.1", server.appPort());
  app.SetHandlers([&](WireFrame& f) {
    std::lock_guard<std::mutex> g(mu);
    got.push_back(f.fields);
  }, nullptr);
  app.Call("Register", WireFields{{"guid", "{G}"}});
  // Kept while it acknowledged, dropped by a Start without.
  app.Call("Start", WireFields{{"guid", "{G}"}, {"acks", "1"}});
  ImSimServer::UserMessage m;
  m.from = "alice";
  m.to = {"zhang", "li"};
  std::string key;
  ASSERT_TRUE(server.UserSend(m, &key, nullptr));
  for (int i = 0; i < 5000 && server.Unacked("{G}").size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(2u, server.Unacked("{G}").size());
  app.Call("Start", WireFields{{"guid", "{G}"}});
  EXPECT_TRUE(server.Unacked("{G}").empty());
  ASSERT_TRUE(server.UserSend(m, &key, nullptr));
  app.Call("Start", WireFields{{"guid", "{G}"}});
  app.Call("Stop", WireFields{{"guid", "{G}"}});
  std::atomic<bool> handled{false};
  app.Post([&] { handled = true; });  // after every event that came before the Stop reply
  for (int i = 0; i < 5000 && !handled; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::lock_guard<std::mutex> g(mu);
  ASSERT_EQ(4u, got.size());  // two copies, twice; nothing again
  EXPECT_TRUE(got[0].Has("seq"));
  EXPECT_FALSE(got[2].Has("seq"));
  EXPECT_FALSE(got[3].Has("seq"));
  EXPECT_EQ(0u, server.RecordCounts().acks);
}

}  // namespace
}  // namespace sim
}  // namespace nuv
