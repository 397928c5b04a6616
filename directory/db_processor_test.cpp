// The directory reader against a real SQLite database through unixODBC.
#include "directory/db_processor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/log.h"
#include "directory/odbc_session.h"
#include "common/text_conv.h"
#include "directory/directory_test_support.h"

namespace nuv {
namespace {

using test::DirectoryEnv;

std::unique_ptr<CDBProcessor> OpenProcessor() {
  auto p = std::make_unique<CDBProcessor>();
  p->OpenDB(p->GetDBPath());
  return p;
}

TEST(DBLocation, FindsConnstringOnlyInsideTheDBServerElement) {
  EXPECT_EQ(L"X=1;Y=../a", FindDBConnstring(L"<a><DBServer t=\"1\" DBConnstring=\"X=1;Y=../a\" "
                                            L"q=\"2\"></DBServer></a>"));
  EXPECT_EQ(L"", FindDBConnstring(L"<DBServer t=\"1\"></DBServer>"));
  EXPECT_EQ(L"", FindDBConnstring(L"<DBServer DBConnstring=\"abc"));
  EXPECT_EQ(L"", FindDBConnstring(L"<Other DBConnstring=\"x\"/><DBServer></DBServer>"));
  EXPECT_EQ(L"", FindDBConnstring(L"</DBServer><DBServer DBConnstring=\"x\">"));
  EXPECT_EQ(L"", FindDBConnstring(L""));
}

TEST(DBLocation, ExpandsInstallDirAndRefusesToCreateSqliteFiles) {
  EXPECT_EQ("Driver={Microsoft access Driver (*.mdb)};DBQ=/opt/nuv/db/nuvdb.mdb",
            ExpandDBConnText(L"", L"/opt/nuv"));
  EXPECT_EQ("Driver=SQLite3;Database=/opt/nuv/db/x.sqlite;NoCreat=1;StepAPI=1",
            ExpandDBConnText(L"Driver=SQLite3;Database=../db/x.sqlite", L"/opt/nuv"));
  EXPECT_EQ("Driver=SQLite3;Database=/o/x;nocreat=0;stepapi=0",
            ExpandDBConnText(L"Driver=SQLite3;Database=../x;nocreat=0;stepapi=0", L"/o"));
}

TEST(DBLocation, GetDBPathReadsTheSimulatorsConfigurationThroughACopy) {
  DirectoryEnv env;
  CDBProcessor p;
  // Nothing is written into the IM server's tree: a link planted beside its
  // file is left alone, and its file is not read through a link.
  const std::string conf = env.imDir() + "/Config/", victim = env.root().root() + "/victim";
  test::WriteWholeFile(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), (conf + "nuvserver.tmp").c_str()), 0);
  EXPECT_EQ(Utf8ToWide(sim::ImDirectoryDb::ConnText()), p.GetDBPath());
  EXPECT_EQ(test::ReadWholeFile(victim), "precious");
  ASSERT_EQ(::rename((conf + "nuvserver.xml").c_str(), (conf + "real.xml").c_str()), 0);
  ASSERT_EQ(::symlink((conf + "real.xml").c_str(), (conf + "nuvserver.xml").c_str()), 0);
  EXPECT_EQ(L"", p.GetDBPath());
  EXPECT_TRUE(env.root().LogContains("nuvserver.xml' is a symbolic link and is not followed"));
  ::unlink((conf + "nuvserver.xml").c_str());
  test::WriteWholeFile(conf + "nuvserver.xml", "<NuvServer><DBServer DBType=\"x\"></DBServer></NuvServer>");
  EXPECT_EQ(L"", p.GetDBPath());
}

TEST(DBLocation, ConnectionTextMayNameOnlyAnInstalledDriver) {
  const std::vector<std::string> drivers = {"SQLite3", "Microsoft access Driver (*.mdb)"};
  EXPECT_EQ("", CheckDBConnText(kDefaultDBConnText, drivers));
  EXPECT_EQ("", CheckDBConnText("driver = {sqlite3} ; Database=/x;NoCreat=1", drivers));
  EXPECT_EQ("", CheckDBConnText("DSN=nuvdb", drivers));  // a source the administrator set up
  EXPECT_NE("", CheckDBConnText("Driver=/tmp/evil.so;Database=/x", drivers));
  EXPECT_NE("", CheckDBConnText("Driver={../../tmp/evil.so};DBQ=x", drivers));
  EXPECT_NE("", CheckDBConnText("Driver={Other};DBQ=x", drivers));
  EXPECT_NE("", CheckDBConnText("Driver=SQLite3;SAVEFILE=/etc/cron.d/x", drivers));
  EXPECT_NE("", CheckDBConnText("FILEDSN=/tmp/x.dsn", drivers));
  // The installed drivers as the driver manager lists them.
  bool sqlite = false;
  for (const std::string& d : InstalledOdbcDrivers()) sqlite = sqlite || d == "SQLite3";
  EXPECT_TRUE(sqlite);

  DirectoryEnv env;
  CDBProcessor p;
  EXPECT_EQ(1, p.OpenDB(L"Driver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so;Database=../db/nuvdb.sqlite"));
  EXPECT_FALSE(p.IsOpen());
  EXPECT_TRUE(env.root().LogContains("打开数据库失败，错误提示：the connection text gives the driver as a library path"));
}

TEST(DBLocation, MissingSqliteFileIsNoConnectionAndIsNotCreated) {
  DirectoryEnv env;
  CDBProcessor p;
  EXPECT_EQ(1, p.OpenDB(L"Driver=SQLite3;Database=../db/absent.sqlite"));
  EXPECT_FALSE(p.IsOpen());
  EXPECT_FALSE(test::FileExists(env.imDir() + "/db/absent.sqlite"));
  EXPECT_TRUE(env.root().LogContains("打开数据库失败，错误提示："));
  EXPECT_EQ(0, p.LoadDept());
  EXPECT_TRUE(p.GetUserList().empty());
}

TEST(DBReader, JoinsMembershipsDetailsAndSystemUsers) {
  DirectoryEnv env;
  auto& db = env.db();
  env.AddUser(10, "zhang", "张三", 1, "工程师");
  env.AddUser(11, "li", "李四", 0);
  env.AddUser(12, "wang", "王五");  // no membership: not exported
  ASSERT_TRUE(db.AddMembership(3, 10, 1));
  ASSERT_TRUE(db.AddMembership(5, 99, 1));  // no SYS_User row
  ASSERT_TRUE(db.AddMembership(7, 10, 2));
  ASSERT_TRUE(db.AddMembership(3, 11, 3));
  ASSERT_TRUE(db.AddMembership(3, 0, 3));   // filtered: UserID 0
  ASSERT_TRUE(db.AddMembership(3, -4, 3));  // filtered: negative
  // Duplicate IDs: the first row wins.
  ASSERT_TRUE(db.Exec("INSERT INTO SYS_User VALUES (11, 'li2', 'x', '', '', 1);"
                      "INSERT INTO NUV_UserDetail VALUES (11, 'first');"
                      "INSERT INTO NUV_UserDetail VALUES (11, 'second');"
                      "INSERT INTO SYS_User VALUES (0, 'zero', 'z', '', '', 0);"
                      "INSERT INTO NUV_UserDetail VALUES (-1, 'neg');"));

  auto p = OpenProcessor();
  ASSERT_TRUE(p->IsOpen());
  const auto& users = p->GetUserList();
  ASSERT_EQ(3u, users.size());
  EXPECT_EQ(10, users[0].ID);
  EXPECT_EQ(L"4;8", users[0].departments);
  EXPECT_EQ(L"zhang", users[0].UserName);
  EXPECT_EQ(L"张三", users[0].Name);
  EXPECT_EQ(L"工程师", users[0].Position);
  EXPECT_EQ(1, users[0].Gender);
  EXPECT_EQ(99, users[1].ID);
  EXPECT_EQ(L"6", users[1].departments);
  EXPECT_EQ(L"", users[1].UserName);
  EXPECT_EQ(L"", users[1].Name);
  EXPECT_EQ(L"", users[1].Mobile);
  EXPECT_EQ(L"", users[1].Email);
  EXPECT_EQ(0, users[1].Gender);
  EXPECT_EQ(11, users[2].ID);
  EXPECT_EQ(L"li", users[2].UserName);
  EXPECT_EQ(L"", users[2].Position);  // the first detail row of 11 has an empty position
  EXPECT_EQ(4u, p->deptUsers().size());
  // The row filters of the table loads (the join reads the same rows).
  ASSERT_EQ(1, p->LoadUsers());
  ASSERT_EQ(1, p->LoadUserDetail());
  EXPECT_EQ(4u, p->sysUsers().size());
  EXPECT_EQ(5u, p->userDetails().size());

  // Building twice gives the same list, not doubled texts.
  ASSERT_EQ(1, p->BuildUserList());
  EXPECT_EQ(3u, p->users().size());
  EXPECT_EQ(L"4;8", p->users()[0].departments);
}

TEST(DBReader, KeepsLongDepartmentListsWholeAndCutsNames) {
  DirectoryEnv env;
  auto& db = env.db();
  env.AddUser(1, std::string(40, 'a'), std::string(60, 'n'));
  std::wstring expected;
  for (int d = 100; d < 130; ++d) {
    ASSERT_TRUE(db.AddMembership(d, 1, d));
    if (!expected.empty()) expected += L';';
    expected += std::to_wstring(d + 1);
  }
  ASSERT_TRUE(db.AddDept(1, 0, std::string(60, 'x'), 1));
  ASSERT_TRUE(db.AddDept(2, 0, "名" + std::string(59, 'y'), 1));
  std::string longName;  // 1500 bytes: fetched in several parts
  for (int i = 0; i < 500; ++i) longName += "部";
  ASSERT_TRUE(db.AddDept(3, 0, longName, 1));
  auto p = OpenProcessor();
  const auto& users = p->GetUserList();
  ASSERT_EQ(1u, users.size());
  EXPECT_EQ(expected, users[0].departments);  // 119 characters, not cut
  EXPECT_EQ(34u, users[0].UserName.size());
  EXPECT_EQ(34u, users[0].Name.size());
  const auto& depts = p->GetDeptList();
  ASSERT_EQ(3u, depts.size());
  EXPECT_EQ(std::wstring(49, L'x'), depts[0].DeptName);
  EXPECT_EQ(L"名" + std::wstring(48, L'y'), depts[1].DeptName);
  EXPECT_EQ(std::wstring(49, L'部'), depts[2].DeptName);
}

TEST(OdbcSession, LongTextsArriveWholeAndNullIsTold) {
  DirectoryEnv env;
  std::string longName;
  for (int i = 0; i < 700; ++i) longName += "部" + std::to_string(i % 10);
  ASSERT_TRUE(env.db().AddDept(3, 0, longName, 1));
  ASSERT_TRUE(env.db().Exec("INSERT INTO NUV_Dept VALUES (4, 0, NULL, NULL)"));
  std::string error;
  auto session = OdbcSession::Open("Driver=SQLite3;NoCreat=1;Database=" + env.db().dbPath(), error);
  ASSERT_TRUE(session) << error;
  auto cursor = session->Query("SELECT DeptName, SortID FROM NUV_Dept ORDER BY DeptID", error);
  ASSERT_TRUE(cursor) << error;
  EXPECT_EQ(ColumnKind::kText, cursor->columns()[0].kind);
  EXPECT_EQ(ColumnKind::kInt16, cursor->columns()[1].kind);
  EXPECT_EQ(1, cursor->FindColumn("sortid"));
  std::string text;
  bool isNull = true;
  ASSERT_EQ(1, cursor->Fetch());
  ASSERT_TRUE(cursor->GetText(0, text, isNull));
  EXPECT_FALSE(isNull);
  EXPECT_EQ(longName, text);
  ASSERT_EQ(1, cursor->Fetch());
  ASSERT_TRUE(cursor->GetText(0, text, isNull));
  EXPECT_TRUE(isNull);
  EXPECT_FALSE(cursor->GetText(7, text, isNull));
  EXPECT_EQ(0, cursor->Fetch());
  EXPECT_FALSE(session->Query("SELECT * FROM NoSuchTable", error));
  EXPECT_FALSE(error.empty());
  long v = 0;
  EXPECT_TRUE(ParseIntText("-32768", -32768, 32767, v));
  EXPECT_EQ(-32768, v);
  EXPECT_FALSE(ParseIntText("32768", -32768, 32767, v));
  EXPECT_FALSE(ParseIntText("1.5", -10, 10, v));
  EXPECT_FALSE(ParseIntText("", -10, 10, v));
}

TEST(DBReader, TakesValuesOnlyFromColumnsOfTheExpectedType) {
  DirectoryEnv env;
  auto& db = env.db();
  // SortID as a 32-bit column, a NULL name, text in an integer column.
  ASSERT_TRUE(db.Exec("DROP TABLE NUV_Dept;"
                      "CREATE TABLE NUV_Dept (DeptID INTEGER, PDeptID INTEGER, "
                      "DeptName VARCHAR(50), SortID INTEGER);"
                      "INSERT INTO NUV_Dept VALUES (3, 1, NULL, 7);"
                      "INSERT INTO NUV_Dept VALUES (1, 0, 'Top', 9);"
                      "INSERT INTO NUV_Dept VALUES (2, 1, 'B', 8);"
                      "INSERT INTO SYS_User VALUES (5, 'u', 'U', NULL, NULL, NULL);"
                      "INSERT INTO NUV_DeptUser VALUES (2, 5, 1);"));
  auto p = OpenProcessor();
  const auto& depts = p->GetDeptList();
  ASSERT_EQ(3u, depts.size());
  // Ordered by PDeptID; equal parents keep the row order.
  EXPECT_EQ(1, depts[0].DeptID);
  EXPECT_EQ(3, depts[1].DeptID);
  EXPECT_EQ(L"", depts[1].DeptName);
  EXPECT_EQ(2, depts[2].DeptID);
  for (const auto& d : depts) EXPECT_EQ(0, d.SortID);
  const auto& users = p->GetUserList();
  ASSERT_EQ(1u, users.size());
  EXPECT_EQ(0, users[0].Gender);
  EXPECT_EQ(L"", users[0].Mobile);

  ASSERT_TRUE(db.Exec("DROP TABLE NUV_Dept;"
                      "CREATE TABLE NUV_Dept (DeptID VARCHAR(10), PDeptID INTEGER, "
                      "DeptName INTEGER, SortID SMALLINT);"
                      "INSERT INTO NUV_Dept VALUES ('4', 1, 12, -3);"));
  // A new connection: the driver caches column types per connection.
  p = OpenProcessor();
  const auto& odd = p->GetDeptList();
  ASSERT_EQ(1u, odd.size());
  EXPECT_EQ(0, odd[0].DeptID);
  EXPECT_EQ(L"", odd[0].DeptName);
  EXPECT_EQ(-3, odd[0].SortID);
}

TEST(DBReader, AFailedQueryIsReportedNotAnEmptyTable) {
  DirectoryEnv env;
  env.AddUser(1, "a", "A");
  ASSERT_TRUE(env.db().AddMembership(1, 1, 1));
  auto p = OpenProcessor();
  ASSERT_EQ(1u, p->GetUserList().size());
  // The system users are read last, into users that already hold their
  // departments and positions: a failure there still leaves no list.
  ASSERT_TRUE(env.db().Exec("ALTER TABLE SYS_User RENAME TO SYS_User_away;"));
  EXPECT_EQ(0, p->RefreshUsers());
  EXPECT_TRUE(p->users().empty());
  EXPECT_TRUE(env.root().LogContains("CDBProcessor::LoadUsers crash 2"));
  ASSERT_TRUE(env.db().Exec("ALTER TABLE SYS_User_away RENAME TO SYS_User;"));
  ASSERT_TRUE(env.db().Exec("DROP TABLE NUV_UserDetail; DROP TABLE NUV_Dept;"));
  EXPECT_EQ(0, p->RefreshUsers());
  EXPECT_TRUE(p->users().empty());
  EXPECT_EQ(0, p->RefreshDept());
  EXPECT_TRUE(env.root().LogContains("CDBProcessor::LoadUserDetail crash 2"));
  EXPECT_TRUE(env.root().LogContains("CDBProcessor::LoadDept crash 2"));
}

}  // namespace
}  // namespace nuv
