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
#include "sim/push/notify_recorder_for_test.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace sim {
namespace {

using test_recorder::OnNotify;
using test_recorder::OnToken;

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
      std::lock_guard<std::mutex> g(test_recorder::Mu());
      ASSERT_EQ(1u, test_recorder::Items().size());
      EXPECT_EQ(id, test_recorder::Items()[0].msg_id);
      EXPECT_EQ("你好", test_recorder::Items()[0].content);
      EXPECT_EQ(std::vector<std::string>{"li"}, test_recorder::Items()[0].to_userid_list);
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
