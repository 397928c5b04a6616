// The push server's control routes driven over HTTP while a real push
// client is connected: announcing, injecting faults, reading the status.

#include "sim/push/push_control.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "push/gap_hub_logic.h"
#include "sim/cloud/http_serve.h"
#include "sim/push/notify_recorder_for_test.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace sim {
namespace {

using test_recorder::OnNotify;
using test_recorder::OnToken;

Json::Value Parse(const std::string& s) {
  Json::Value v;
  Json::Reader().parse(s, v);
  return v;
}

class PushControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClockForTest(&clock_);
    ASSERT_TRUE(push_.Start());
    RegisterPushControlRoutes(http_, push_);
    port_ = http_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    serve_ = ServeInBackground(http_);
    root_.WriteServiceIni("[push]\nhost=127.0.0.1\nport=" + std::to_string(push_.port()) + "\n");
    hub_ = std::make_unique<GapHubLogic>(root_.config(), &OnNotify, &OnToken);
    ASSERT_EQ(0, hub_->Init());
    ASSERT_EQ(0, hub_->Start());
  }
  void TearDown() override {
    hub_.reset();
    StopServing(http_, serve_);
    push_.Stop();
    SetClockForTest(nullptr);
    test_recorder::Clear();
  }
  httplib::Result Post(const std::string& path, const std::string& body) {
    httplib::Client c("127.0.0.1", port_);
    return c.Post(path.c_str(), body, "application/json");
  }
  bool Established() {
    return push_.WaitUntil([](const PushServerStats& s) { return s.established == 1; });
  }

  test::TempInstallRoot root_;
  VirtualClock clock_{VirtualClock::Mode::kAuto};
  PushServer push_;
  httplib::Server http_;
  int port_ = 0;
  std::thread serve_;
  std::unique_ptr<GapHubLogic> hub_;
};

TEST_F(PushControlTest, AnnounceNotifyAndStatus) {
  ASSERT_TRUE(Established());
  auto r = Post("/control/push/announce",
                R"({"msg_id": 31, "cur_userid": "u", "content": "你好", "to_userid_list": ["a", "b"]})");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  EXPECT_EQ(1u, Parse(r->body)["sequence"].asUInt());

  r = Post("/control/push/faults", R"({"split_writes": 5})");
  ASSERT_TRUE(r);
  EXPECT_EQ(5, Parse(r->body)["split_writes"].asInt());
  r = Post("/control/push/notify",
           R"({"one_write": true, "frames": [[{"msg_id": 40, "sequence": 40, "message": {"content": "x"}}],
                                            [{"msg_id": 41, "sequence": 41, "payload_hex": "000b0200000001"}]]})");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  ASSERT_TRUE(push_.WaitUntil([](const PushServerStats& s) { return s.acks.size() == 3; }));

  httplib::Client c("127.0.0.1", port_);
  auto st = c.Get("/control/push/status");
  ASSERT_TRUE(st);
  Json::Value v = Parse(st->body);
  EXPECT_EQ(1, v["established"].asInt());
  EXPECT_EQ(41u, v["acks"][2].asUInt());
  EXPECT_EQ(0u, v["pending"].asUInt());
  std::lock_guard<std::mutex> g(test_recorder::Mu());
  ASSERT_EQ(3u, test_recorder::Items().size());
  EXPECT_EQ("你好", test_recorder::Items()[0].content);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), test_recorder::Items()[0].to_userid_list);
  EXPECT_EQ(40u, test_recorder::Items()[1].msg_id);
  EXPECT_EQ(1u, test_recorder::Items()[2].msg_type);
}

TEST_F(PushControlTest, FaultRoutesAndErrors) {
  ASSERT_TRUE(Established());
  EXPECT_EQ(200, Post("/control/push/bad-frame", R"({"kind": "checksum"})")->status);
  EXPECT_EQ(400, Post("/control/push/bad-frame", R"({"kind": "nonsense"})")->status);
  EXPECT_EQ(400, Post("/control/push/notify", "[1, 2]")->status);
  EXPECT_EQ(200, Post("/control/push/heartbeat", "{}")->status);
  ASSERT_TRUE(push_.WaitUntil([](const PushServerStats& s) { return s.heartbeatReplies == 1; }));
  // Refuse the next connect; the client comes back and is accepted after.
  Post("/control/push/faults", R"({"reject_connects": 1, "reject_result": 3})");
  EXPECT_EQ(200, Post("/control/push/close", "{}")->status);
  ASSERT_TRUE(push_.WaitUntil(
      [](const PushServerStats& s) { return s.connects.size() == 3 && s.established == 1; }));
  Post("/control/push/faults", R"({"reset": true})");
  EXPECT_EQ(0, push_.faults().rejectConnects);
  // Without a client, sends are refused with 409.
  hub_.reset();
  ASSERT_TRUE(push_.WaitUntil([](const PushServerStats& s) { return s.open == 0; }));
  EXPECT_EQ(409, Post("/control/push/heartbeat", "{}")->status);
}

}  // namespace
}  // namespace sim
}  // namespace nuv
