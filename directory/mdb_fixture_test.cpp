// Reads a real Access file through unixODBC and the MDB Tools driver, under
// the driver name of the IM server's default connection text: the driver
// cannot ORDER BY, misreads negative small integers fetched as numbers and
// returns empty texts as NULL; the reader must absorb all three.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/paths.h"
#include "common/test_support.h"
#include "directory/db_processor.h"
#include "directory/snapshot_format.h"

// The MDB Tools driver leaks a few bytes (glib allocations) when it refuses
// a query it cannot parse; that is the driver's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }

namespace nuv {
namespace {

TEST(MdbFixture, DefaultConnectionTextReadsTheAccessDatabase) {
  test::TempInstallRoot root;
  const std::string im = root.root() + "/nuv";
  MakeDirs(im + "/Config");
  MakeDirs(im + "/db");
  // A configuration without DBConnstring: the default Access text is used.
  test::WriteWholeFile(im + "/Config/nuvserver.xml",
                       "<NuvServer><DBServer DBType=\"access\"></DBServer></NuvServer>");
  test::WriteWholeFile(im + "/db/nuvdb.mdb",
                       test::ReadWholeFile(std::string(NUV_SOURCE_DIR) + "/directory/testdata/nuvdb.mdb"));
  root.WriteServiceIni("[im]\ninstall_dir=" + im + "\n");

  CDBProcessor p;
  EXPECT_EQ(L"", p.GetDBPath());
  p.OpenDB(p.GetDBPath());
  ASSERT_TRUE(p.IsOpen());

  const auto& depts = p.GetDeptList();
  ASSERT_EQ(5u, depts.size());
  const int ids[] = {1, 2, 3, 5, 4};  // by PDeptID, row order among equals
  const int sorts[] = {1, 2, 3, -1, 0};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ids[i], depts[i].DeptID) << i;
    EXPECT_EQ(sorts[i], depts[i].SortID) << i;
  }
  EXPECT_EQ(L"总部", depts[0].DeptName);
  EXPECT_EQ(L"", depts[2].DeptName);
  EXPECT_EQ(L"Sales & 市场", depts[3].DeptName);

  const auto& users = p.GetUserList();
  ASSERT_EQ(3u, users.size());
  EXPECT_EQ(L"3;5", users[0].departments);
  EXPECT_EQ(L"张三", users[0].Name);
  EXPECT_EQ(L"工程师", users[0].Position);
  EXPECT_EQ(1, users[0].Gender);
  EXPECT_EQ(L"lisi", users[1].UserName);
  EXPECT_EQ(L"", users[1].Mobile);
  EXPECT_EQ(L"", users[1].Position);
  EXPECT_EQ(L"6", users[2].departments);
  EXPECT_EQ(L"", users[2].Email);
  EXPECT_EQ(0, users[2].Gender);

  const std::string csv = FormatUserCsv(users, nullptr);
  EXPECT_NE(std::string::npos,
            csv.find("\xcd\xf5\xce\xe5,wangwu,,,6,Manager,\xc4\xd0\r\n"));  // 王五 ... 男
  EXPECT_NE(std::string::npos, FormatDeptCsv(depts, nullptr).find(",6,2,-1\r\n"));
}

// What an administrator sees: the dry-run tool over the Access file keeps
// the terminal free of the driver's parser complaints and still orders the
// departments.
TEST(MdbFixture, ExportToolLeavesStderrFreeOfDriverNoise) {
  test::TempInstallRoot tool;  // the installation the tool is pointed at
  const std::string im = tool.root() + "/nuv";
  MakeDirs(im + "/Config");
  MakeDirs(im + "/db");
  test::WriteWholeFile(im + "/Config/nuvserver.xml",
                       "<NuvServer><DBServer DBType=\"access\"></DBServer></NuvServer>");
  test::WriteWholeFile(im + "/db/nuvdb.mdb",
                       test::ReadWholeFile(std::string(NUV_SOURCE_DIR) + "/directory/testdata/nuvdb.mdb"));
  tool.WriteServiceIni("[im]\ninstall_dir=" + im + "\n");

  const std::string out = tool.root() + "/out";
  const std::string cmd = std::string("'") + NUV_BINARY_DIR + "/directory/nuv_dir_export' '" + out +
                          "' --root '" + tool.root() + "' >'" + tool.root() + "/stdout' 2>'" +
                          tool.root() + "/stderr'";
  ASSERT_EQ(0, std::system(cmd.c_str()));

  const std::string err = test::ReadWholeFile(tool.root() + "/stderr");
  EXPECT_EQ("", err);
  EXPECT_EQ(std::string::npos, err.find("syntax error"));
  EXPECT_EQ(std::string::npos, err.find("Got no result"));
  EXPECT_NE(std::string::npos,
            test::ReadWholeFile(tool.root() + "/stdout").find("departments: 5 -> "));
  // Ordered by PDeptID here, row order among equals: 1, then 2 3 5, then 4.
  const std::string depts = test::ReadWholeFile(out + "/deptFramework.csv");
  size_t d2 = depts.find(",3,2,"), d3 = depts.find(",4,2,"), d5 = depts.find(",6,2,"),
         d4 = depts.find(",5,3,");
  ASSERT_NE(std::string::npos, d4) << depts;
  EXPECT_LT(d2, d3);
  EXPECT_LT(d3, d5);
  EXPECT_LT(d5, d4);
  EXPECT_TRUE(tool.LogContains("CDBProcessor::LoadDept the MDBTOOLS driver cannot order rows"));
}

TEST(MdbFixture, MissingAccessFileIsNoConnection) {
  test::TempInstallRoot root;
  root.WriteServiceIni("[im]\ninstall_dir=" + root.root() + "/nowhere\n");
  CDBProcessor p;
  p.OpenDB(L"");
  EXPECT_FALSE(p.IsOpen());
  EXPECT_EQ(-1, p.SaveDeptFile(root.config()));
  EXPECT_TRUE(root.LogContains("打开数据库失败"));
}

}  // namespace
}  // namespace nuv
