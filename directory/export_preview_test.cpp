// The administrator's dry run: writes into its own directory, compares with
// the service's snapshots, and leaves those alone.
#include "directory/export_preview.h"

#include <gtest/gtest.h>

#include <sstream>

#include "directory/db_processor.h"
#include "directory/directory_test_support.h"

namespace nuv {
namespace {

TEST(ExportPreview, WritesItsOwnFilesAndReportsWhatTheGuardWouldSay) {
  test::DirectoryEnv env;
  ASSERT_TRUE(env.db().AddDept(1, 0, "A,B", 1));
  for (int i = 1; i <= 20; ++i) {
    env.AddUser(i, "u" + std::to_string(i), "n");
    ASSERT_TRUE(env.db().AddMembership(1, i, 1));
  }
  const std::string out = env.root().root() + "/preview";
  std::ostringstream text;
  ASSERT_EQ(0, RunExportPreview(out, text));
  EXPECT_NE(std::string::npos, text.str().find("departments: 1 -> "));
  EXPECT_NE(std::string::npos, text.str().find("users: 20 -> "));
  EXPECT_NE(std::string::npos, text.str().find("department 1 'A,B' has a comma"));
  EXPECT_NE(std::string::npos, text.str().find("would be a first run"));
  EXPECT_FALSE(test::FileExists(env.syncDir() + "userFramework.csv"));

  // The service's own export, then 12 users go: the dry run names the guard.
  {
    CDBProcessor p;
    p.OpenDB(p.GetDBPath());
    ASSERT_EQ(0, p.SaveUserFile(env.syncDir()));
  }
  const std::string serviceCopy = test::ReadWholeFile(env.syncDir() + "userFramework.csv");
  for (int i = 1; i <= 12; ++i) ASSERT_TRUE(env.db().RemoveUser(i));
  std::ostringstream text2;
  ASSERT_EQ(0, RunExportPreview(out, text2));
  EXPECT_NE(std::string::npos, text2.str().find("12 of 20 users would be removed"));
  EXPECT_NE(std::string::npos, text2.str().find("GUARD: more than 20%"));
  EXPECT_EQ(serviceCopy, test::ReadWholeFile(env.syncDir() + "userFramework.csv"));
  const std::string written = test::ReadWholeFile(out + "/userFramework.csv");
  EXPECT_EQ(9, std::count(written.begin(), written.end(), '\n'));
}

TEST(ExportPreview, RefusesTheServicesOwnSnapshotDirectory) {
  test::DirectoryEnv env;
  ASSERT_TRUE(env.db().AddDept(1, 0, "A", 1));
  test::WriteWholeFile(env.syncDir() + "deptFramework.csv", "previous");
  std::ostringstream text;
  // Named with a trailing "/." so that only the resolved path matches.
  EXPECT_EQ(4, RunExportPreview(env.syncDir() + ".", text));
  EXPECT_NE(std::string::npos, text.str().find("the service's own snapshot directory"));
  EXPECT_EQ("previous", test::ReadWholeFile(env.syncDir() + "deptFramework.csv"));
  EXPECT_FALSE(test::FileExists(env.syncDir() + "userFramework.csv"));
}

TEST(ExportPreview, WithoutADatabaseWritesNothing) {
  test::TempInstallRoot root;
  root.WriteServiceIni("[im]\ninstall_dir=" + root.root() + "/absent\n");
  std::ostringstream text;
  EXPECT_EQ(2, RunExportPreview(root.root() + "/out", text));
  EXPECT_FALSE(test::FileExists(root.root() + "/out/deptFramework.csv"));
}

}  // namespace
}  // namespace nuv
