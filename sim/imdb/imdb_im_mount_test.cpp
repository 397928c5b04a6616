// The directory routes on the IM simulator's own control port.
#include "sim/imdb/imdb_im_mount.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include "common/test_support.h"
#include "sim/im/im_sim_control.h"
#include "sim/im/im_sim_server.h"
#include "sim/imdb/im_directory_db.h"

namespace nuv {
namespace sim {
namespace {

TEST(ImDbOnImSim, DirectoryRoutesShareTheControlPort) {
  test::TempInstallRoot root;
  std::string error;
  auto db = ImDirectoryDb::Create(root.root() + "/im", error);
  ASSERT_TRUE(db) << error;
  ImSimServer server;
  ASSERT_TRUE(server.Start(&error)) << error;
  ImSimControl ctl(server);
  MountImDbOnImSim(ctl, *db);
  ASSERT_TRUE(ctl.Start("127.0.0.1", 0, &error)) << error;
  httplib::Client cli("127.0.0.1", ctl.port());
  auto r = cli.Post("/control/imdb/dept/add", R"({"id":2,"parent":0,"name":"A"})",
                    "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
  r = cli.Post("/control/imdb/dept/rename", R"({"id":3,"name":"B"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(409, r->status);
  EXPECT_EQ(1, db->Counts().depts);
  ctl.Stop();
  server.Stop();
}

TEST(ImDbOnImSim, AddedUserBecomesKnownToPresence) {
  test::TempInstallRoot root;
  std::string error;
  auto db = ImDirectoryDb::Create(root.root() + "/im", error);
  ASSERT_TRUE(db) << error;
  ImSimServer server;
  ASSERT_TRUE(server.Start(&error)) << error;
  server.SetPresence("lisi", "online");
  ImSimControl ctl(server);
  MountImDbOnImSim(ctl, *db, "/control/imdb", &server);
  ASSERT_TRUE(ctl.Start("127.0.0.1", 0, &error)) << error;
  httplib::Client cli("127.0.0.1", ctl.port());
  for (const char* body : {R"({"id":7,"account":"zhangsan","name":"张三"})",
                           R"({"id":8,"account":"lisi","name":"李四"})"}) {
    auto r = cli.Post("/control/imdb/user/add", body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
  }
  auto presence = server.Presence();
  EXPECT_EQ(presence["zhangsan"], "offline");
  EXPECT_EQ(presence["lisi"], "online");  // a known user keeps its state
  EXPECT_EQ(2, db->Counts().users);
  ctl.Stop();
  server.Stop();
}

}  // namespace
}  // namespace sim
}  // namespace nuv
