// The push server inside the cloud simulator: a message created on the cloud
// side reaches a connected push client, and the push routes answer on the
// cloud simulator's control port.

#include "sim/push/cloud_push_link.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <vector>

#include "common/clock.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "push/gap_hub_logic.h"
#include "sim/cloud/sim_cloud.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace sim {
namespace {

std::mutex g_mu;
std::vector<OndekoMsgItem> g_items;

void OnNotify(uint64_t, OndekoMsgItem* item) {
  std::lock_guard<std::mutex> g(g_mu);
  g_items.push_back(*item);
}
int OnToken(uint64_t) { return 0; }

TEST(CloudPushLinkTest, CreatedCloudMessageArrivesByPush) {
  test::TempInstallRoot root;
  VirtualClock clock(VirtualClock::Mode::kAuto);
  SetClockForTest(&clock);
  PushServer push;
  ASSERT_TRUE(push.Start());
  SimCloudOptions o;
  AddPushControlRoutes(o, push);
  {
    SimCloud cloud(o);
    AnnounceCloudMessages(cloud, push);
    ASSERT_TRUE(cloud.Start()) << cloud.LastError();
    root.WriteServiceIni("[push]\nhost=127.0.0.1\nport=" + std::to_string(push.port()) + "\n");
    GapHubLogic hub(root.config(), &OnNotify, &OnToken);
    ASSERT_EQ(0, hub.Init());
    ASSERT_EQ(0, hub.Start());
    ASSERT_TRUE(push.WaitUntil([](const PushServerStats& s) { return s.established == 1; }));

    SimCloudMessage m;
    m.cur_userid = "zhang";
    m.to_userid_list = {"li"};
    m.content = "你好";
    const uint64_t id = cloud.CreateMessage(m);
    ASSERT_TRUE(push.WaitUntil([](const PushServerStats& s) { return s.acks.size() == 1; }));
    {
      std::lock_guard<std::mutex> g(g_mu);
      ASSERT_EQ(1u, g_items.size());
      EXPECT_EQ(id, g_items[0].msg_id);
      EXPECT_EQ("你好", g_items[0].content);
      EXPECT_EQ(std::vector<std::string>{"li"}, g_items[0].to_userid_list);
    }
    httplib::Client c("127.0.0.1", cloud.ControlPort());
    auto r = c.Get("/control/push/status");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_NE(std::string::npos, r->body.find("\"established\" : 1"));
    hub.Stop();
  }
  push.Stop();
  SetClockForTest(nullptr);
}

}  // namespace
}  // namespace sim
}  // namespace nuv
