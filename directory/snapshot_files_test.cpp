// Snapshot files and change detection against a real SQLite directory
// database read through ODBC; the pure formatting and comparison functions.
#include <gtest/gtest.h>

#include <algorithm>

#include "directory/db_processor.h"
#include "common/text_conv.h"
#include "directory/directory_test_support.h"
#include "directory/snapshot_format.h"

namespace nuv {
namespace {

using test::DirectoryEnv;
using test::ReadWholeFile;

const std::string kDeptHeader = std::string(kDeptCsvHeader) + "\r\n";
const std::string kUserHeader = std::string(kUserCsvHeader) + "\r\n";

struct Saved {
  int dept;
  int user;
};

Saved SaveBoth(const std::string& dir) {
  CDBProcessor p;
  p.OpenDB(p.GetDBPath());
  Saved s;
  s.dept = p.SaveDeptFile(dir);
  s.user = p.SaveUserFile(dir);
  return s;
}

void Populate(DirectoryEnv& env, int users) {
  ASSERT_TRUE(env.db().AddDept(1, 0, "总部", 1));
  ASSERT_TRUE(env.db().AddDept(2, 1, "研发部", 2));
  for (int i = 1; i <= users; ++i) {
    env.AddUser(i, "u" + std::to_string(i), "用户" + std::to_string(i), i % 3);
    ASSERT_TRUE(env.db().AddMembership(1 + i % 2, i, i));
  }
}

TEST(SnapshotHeaders, AreTheGbkBytesOfTheChineseHeaders) {
  EXPECT_EQ(WideToCodepage(L"部门名称,部门ID,父部门ID,排序", "GBK"), kDeptCsvHeader);
  EXPECT_EQ(WideToCodepage(L"姓名,帐号,手机号,邮箱,所在部门,职位,性别", "GBK"), kUserCsvHeader);
}

TEST(SnapshotFiles, FirstRunThenUnchangedThenRenamedDepartment) {
  DirectoryEnv env;
  Populate(env, 3);
  const std::string dir = env.syncDir();
  Saved s = SaveBoth(dir);
  EXPECT_EQ(0, s.dept);
  EXPECT_EQ(0, s.user);
  const std::string dept1 = ReadWholeFile(dir + "deptFramework.csv");
  const std::string user1 = ReadWholeFile(dir + "userFramework.csv");
  EXPECT_EQ(kDeptHeader + WideToCodepage(L"总部,2,1,1\r\n研发部,3,2,2\r\n", "GBK"), dept1);
  EXPECT_EQ(kUserHeader + WideToCodepage(L"用户1,u1,13800001,u1@example.com,3,,女\r\n"
                                         L"用户2,u2,13800002,u2@example.com,2,,女\r\n"
                                         L"用户3,u3,13800003,u3@example.com,3,,男\r\n",
                                         "GBK"),
            user1);

  s = SaveBoth(dir);
  EXPECT_EQ(1, s.dept);
  EXPECT_EQ(1, s.user);
  EXPECT_EQ(dept1, ReadWholeFile(dir + "deptFramework.csv"));
  EXPECT_EQ(user1, ReadWholeFile(dir + "userFramework.csv"));
  EXPECT_FALSE(test::FileExists(dir + "deptFramework.csv.new"));

  ASSERT_TRUE(env.db().RenameDept(2, "研发中心"));
  s = SaveBoth(dir);
  EXPECT_EQ(0, s.dept);
  EXPECT_EQ(1, s.user);
  EXPECT_NE(std::string::npos,
            ReadWholeFile(dir + "deptFramework.csv").find(WideToCodepage(L"研发中心,3,2,2", "GBK")));
}

TEST(SnapshotFiles, EmptyTablesGiveHeaderOnlyFilesInGbkWhateverTheCodePage) {
  DirectoryEnv env("[text]\nansi_codepage=UTF-8\n");
  Saved s = SaveBoth("");  // the sync configuration directory
  EXPECT_EQ(0, s.dept);
  EXPECT_EQ(0, s.user);
  EXPECT_EQ(kDeptHeader, ReadWholeFile(env.syncDir() + "deptFramework.csv"));
  EXPECT_EQ(kUserHeader, ReadWholeFile(env.syncDir() + "userFramework.csv"));
}

TEST(SnapshotFiles, NoConnectionOrAFailedReadKeepsThePreviousSnapshot) {
  DirectoryEnv env;
  Populate(env, 2);
  const std::string dir = env.syncDir();
  CDBProcessor closed;
  EXPECT_EQ(-1, closed.SaveDeptFile(dir));
  EXPECT_EQ(-1, closed.SaveUserFile(dir));
  EXPECT_FALSE(test::FileExists(dir + "deptFramework.csv"));
  EXPECT_FALSE(test::FileExists(dir + "userFramework.csv"));

  SaveBoth(dir);
  const std::string user1 = ReadWholeFile(dir + "userFramework.csv");
  ASSERT_TRUE(env.db().Exec("ALTER TABLE SYS_User RENAME TO SYS_User_gone"));
  Saved s = SaveBoth(dir);
  EXPECT_EQ(1, s.dept);
  EXPECT_EQ(-1, s.user);
  EXPECT_EQ(user1, ReadWholeFile(dir + "userFramework.csv"));
  EXPECT_TRUE(env.root().LogContains("SaveUserFile reading the IM database failed"));
}

TEST(SnapshotFiles, MassRemovalKeepsThePreviousSnapshotUntilAccepted) {
  DirectoryEnv env;
  Populate(env, 50);
  const std::string dir = env.syncDir();
  SaveBoth(dir);
  const std::string before = ReadWholeFile(dir + "userFramework.csv");
  // 9 removed (18%): below both limits, written.
  for (int i = 1; i <= 9; ++i) ASSERT_TRUE(env.db().RemoveUser(i));
  EXPECT_EQ(0, SaveBoth(dir).user);
  // 11 more of the remaining 41 (27%): kept back.
  for (int i = 10; i <= 20; ++i) ASSERT_TRUE(env.db().RemoveUser(i));
  const std::string kept = ReadWholeFile(dir + "userFramework.csv");
  EXPECT_NE(before, kept);
  EXPECT_EQ(-1, SaveBoth(dir).user);
  EXPECT_EQ(kept, ReadWholeFile(dir + "userFramework.csv"));
  EXPECT_TRUE(env.root().LogContains(
      "SaveUserFile kept the previous snapshot: 11 of 41 users would be removed (more than 20%)"));
  EXPECT_TRUE(env.root().LogContains("max_removed_percent"));

  env.root().WriteServiceIni("[im]\ninstall_dir=" + env.imDir() +
                             "\n[directory]\nmax_removed_percent=30\n");
  EXPECT_EQ(0, SaveBoth(dir).user);
  const std::string now = ReadWholeFile(dir + "userFramework.csv");
  EXPECT_EQ(31, std::count(now.begin(), now.end(), '\n'));  // header + 30 users
}

TEST(SnapshotFiles, CommaInANameIsWrittenAsItIsWithAWarning) {
  DirectoryEnv env;
  ASSERT_TRUE(env.db().AddDept(4, 0, "Sales, East", 1));
  env.AddUser(7, "acc", "Doe, John");
  ASSERT_TRUE(env.db().AddMembership(4, 7, 1));
  Saved s = SaveBoth(env.syncDir());
  EXPECT_EQ(0, s.dept);
  EXPECT_EQ(kDeptHeader + "Sales, East,5,1,1\r\n", ReadWholeFile(env.syncDir() + "deptFramework.csv"));
  EXPECT_TRUE(env.root().LogContains("department 4 'Sales, East' has a comma or line break"));
  EXPECT_TRUE(env.root().LogContains("user 7 'acc' (Doe, John) has a comma or line break"));
}

TEST(SnapshotCompare, CountsRemovalsByKeyAndIgnoresExtraCommas) {
  const std::string h = kDeptHeader;
  RemovalCount c = CountRemovedDepts(h + "A,2,1,0\r\nB, x,3,1,0\r\nC,4,1,0\r\n",
                                     h + "A renamed,2,1,0\r\nB, x,3,1,0\r\n");
  EXPECT_EQ(3u, c.previous);
  EXPECT_EQ(1u, c.removed);
  const std::string u = kUserHeader;
  c = CountRemovedUsers(u + "N,a,,,2,,m\r\nDoe, J,b,,,2,,m\r\nZ,c,,,2,,m\r\n",
                        u + "N2,a,,,3,,m\r\nDoe, J,b,,,2,,m\r\n");
  EXPECT_EQ(3u, c.previous);
  EXPECT_EQ(1u, c.removed);
  EXPECT_FALSE(RemovalBlocked({100, 9}, 0));    // fewer than 10
  EXPECT_FALSE(RemovalBlocked({50, 10}, 20));   // exactly 20%
  EXPECT_TRUE(RemovalBlocked({50, 11}, 20));
  EXPECT_FALSE(RemovalBlocked({50, 50}, 100));  // guard off
}

TEST(SnapshotFiles, Md5AndPresenceListFiles) {
  test::TempInstallRoot root;
  const std::string f = root.root() + "/abc";
  std::wstring md5;
  EXPECT_EQ(-1, CDBProcessor::GetFileMd5(f, md5));
  test::WriteWholeFile(f, "abc");
  ASSERT_EQ(0, CDBProcessor::GetFileMd5(f, md5));
  EXPECT_EQ(L"900150983cd24fb0d6963f7d28e17f72", md5);
  test::WriteWholeFile(f, std::string(1000000, 'a'));  // read in several pieces
  ASSERT_EQ(0, CDBProcessor::GetFileMd5(f, md5));
  EXPECT_EQ(L"7707d6ae4e027c70eea2a935c2296f21", md5);
  test::WriteWholeFile(f, "");
  EXPECT_EQ(-1, CDBProcessor::GetFileMd5(f, md5));

  CDBProcessor p;
  const std::string list = root.root() + "/online.txt";
  std::string text;
  EXPECT_EQ(-1, p.ReadUserListFromFile(list, text));
  EXPECT_TRUE(root.LogContains("DeptHandler::ReadUserListFromFile strFilePath："));
  EXPECT_EQ(-2, p.WriteUserListToFile(list, ""));
  EXPECT_TRUE(test::FileExists(list));
  EXPECT_TRUE(root.LogContains("fwrite return 0 and userlist.size(0)"));
  EXPECT_EQ(-2, p.ReadUserListFromFile(list, text));
  EXPECT_TRUE(root.LogContains("DeptHandler::ReadUserListFromFile filelength is null"));
  EXPECT_EQ(0, p.WriteUserListToFile(list, "a;b;"));
  EXPECT_EQ(0, p.ReadUserListFromFile(list, text));
  EXPECT_EQ("a;b;", text);
  EXPECT_EQ(-1, p.WriteUserListToFile(root.root() + "/no/such/dir/x.txt", "a;"));
}

}  // namespace
}  // namespace nuv
