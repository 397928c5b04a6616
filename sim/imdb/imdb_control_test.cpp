// The simulated IM directory and its control routes, over real HTTP.
#include "sim/imdb/imdb_control.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "common/test_support.h"
#include "sim/imdb/im_directory_db.h"

namespace nuv {
namespace sim {
namespace {

TEST(ImDirectoryDb, LaysOutTheInstallationAndKeepsTheTablesInStep) {
  test::TempInstallRoot root;
  std::string error;
  auto db = ImDirectoryDb::Create(root.root() + "/im", error);
  ASSERT_TRUE(db) << error;
  const std::string xml = test::ReadWholeFile(root.root() + "/im/Config/nuvserver.xml");
  EXPECT_NE(std::string::npos, xml.find("<DBServer"));
  EXPECT_NE(std::string::npos, xml.find("DBConnstring=\"Driver=SQLite3;Database=../db/nuvdb.sqlite"));
  EXPECT_NE(std::string::npos, xml.find("</DBServer>"));

  ASSERT_TRUE(db->AddDept(1, 0, "A", 1));
  SimUser u;
  u.id = 5;
  u.account = "a";
  ASSERT_TRUE(db->AddUser(u));
  ASSERT_TRUE(db->AddMembership(1, 5, 1));
  ASSERT_TRUE(db->AddMembership(1, 5, 2));
  DirectoryCounts c = db->Counts();
  EXPECT_EQ(1, c.depts);
  EXPECT_EQ(1, c.users);
  EXPECT_EQ(2, c.members);
  EXPECT_TRUE(db->RemoveUser(5));
  EXPECT_EQ(0, db->Counts().members);
  EXPECT_FALSE(db->RemoveUser(5));
  EXPECT_FALSE(db->RenameDept(9, "x"));
  EXPECT_TRUE(db->RemoveDept(1));
  EXPECT_EQ(0, db->Counts().depts);
}

TEST(ImDbControl, RoutesChangeTheDatabaseAndRejectBadBodies) {
  test::TempInstallRoot root;
  std::string error;
  auto db = ImDirectoryDb::Create(root.root() + "/im", error);
  ASSERT_TRUE(db) << error;
  httplib::Server server;
  MountImDbRoutes(server, *db);
  int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread t([&] { server.listen_after_bind(); });
  httplib::Client cli("127.0.0.1", port);
  auto post = [&](const std::string& path, const std::string& body) {
    auto r = cli.Post(("/control/imdb" + path).c_str(), body, "application/json");
    return r ? r->status : -1;
  };
  EXPECT_EQ(200, post("/dept/add", R"({"id":1,"parent":0,"name":"研发","sort":2})"));
  EXPECT_EQ(200, post("/user/add", R"({"id":7,"account":"zs","name":"张三","gender":1})"));
  EXPECT_EQ(200, post("/member/add", R"({"dept":1,"user":7})"));
  EXPECT_EQ(200, post("/dept/rename", R"({"id":1,"name":"研发中心"})"));
  EXPECT_EQ(200, post("/user/rename", R"({"id":7,"name":"张三丰"})"));
  EXPECT_EQ(409, post("/user/rename", R"({"id":8,"name":"x"})"));
  EXPECT_EQ(400, post("/dept/add", R"({"id":"1","parent":0})"));
  EXPECT_EQ(400, post("/dept/add", "{not json"));
  EXPECT_EQ(400, post("/member/add", "[1,2]"));
  EXPECT_EQ(404, post("/nothing", "{}"));
  auto counts = cli.Get("/control/imdb/counts");
  ASSERT_TRUE(counts);
  EXPECT_EQ(R"({"depts":1,"members":1,"ok":true,"users":1})", counts->body);
  EXPECT_EQ(200, post("/member/remove", R"({"dept":1,"user":7})"));
  EXPECT_EQ(200, post("/user/remove", R"({"id":7})"));
  EXPECT_EQ(200, post("/dept/remove", R"({"id":1})"));
  server.stop();
  t.join();
  DirectoryCounts c = db->Counts();
  EXPECT_EQ(0, c.depts + c.users + c.members);
}

}  // namespace
}  // namespace sim
}  // namespace nuv
