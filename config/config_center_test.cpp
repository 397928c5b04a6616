#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "common/test_support.h"
#include "config/config_center.h"

namespace nuv {
namespace {

class ConfigCenterTest : public ::testing::Test {
 protected:
  std::string Load(const char* content) {
    if (content) test::WriteWholeFile(path_, content);
    CConfigCenter c(path_);
    c.Init();
    return c.Format();
  }
  test::TempInstallRoot root_;
  std::string path_ = root_.root() + "/generalconf.ini";
};

TEST_F(ConfigCenterTest, MissingFileGivesDefaults) {
  EXPECT_EQ(Load(nullptr), "0;0;10485760;2097152;95;1024;1800;60;");
  EXPECT_TRUE(root_.LogContains(
      "CConfigCenter::Init vItem.size() 0 token 0 maxmsgid 0 maxfilesize 10485760 maximgsize 2097152 "
      "maxcpu 95 maxmem 1024 enq-interval 1800 outq-interval 60"));
}

TEST_F(ConfigCenterTest, CorrectionRules) {
  EXPECT_EQ(Load("123;456;"), "123;456;10485760;2097152;95;1024;1800;60;");
  EXPECT_EQ(Load("0;0;1;2;100;1024;1800;300;"), "0;0;1;2;95;1024;1800;60;");
  EXPECT_EQ(Load("0;0;1;2;99;1023;1799;299;"), "0;0;1;2;99;1023;1799;299;");
  // Negative numbers count as very large; garbage reads as 0.
  EXPECT_EQ(Load("abc;-5;-1;x;-3;-4;-5;-6;"), "0;18446744073709551611;4294967295;2097152;95;1024;1800;60;");
  // Trailing line break and a ninth field without semicolon are ignored.
  EXPECT_EQ(Load("7;8;1;1;50;100;10;20;\r\n"), "7;8;1;1;50;100;10;20;");
  EXPECT_EQ(Load("7;8;1;1;50;100;10;20;99"), "7;8;1;1;50;100;10;20;");
  EXPECT_EQ(Load("7;;"), "7;0;10485760;2097152;95;1024;1800;60;");
  // Numbers beyond the int range saturate rather than wrap: 4294967301 would
  // otherwise wrap to 5 and become an accepted CPU limit of 5 %.
  EXPECT_EQ(Load("0;0;1;1;4294967301;4294967297;4294967306;4294967306;"),
            "0;0;1;1;95;1024;1800;60;");
  EXPECT_EQ(Load("0;0;1;1;-4294967246;50;10;10;"), "0;0;1;1;95;50;10;10;");
  // No semicolon at all: one field.
  EXPECT_EQ(Load("42"), "42;0;10485760;2097152;95;1024;1800;60;");
}

// A damaged file is read the usual way (leading digits, corrected limits),
// and each field holding anything but digits is reported once.
TEST_F(ConfigCenterTest, DamagedFieldsAreReadAsUsualAndEachReportedOnce) {
  const char garbage[] = "\x01\xff" "4x;12;\xfe\xfe;7;;abc9;5\x80 ;-3;\x9c\x07;";
  EXPECT_EQ(Load(garbage), "0;12;10485760;7;95;1024;5;60;");
  std::vector<std::string> warnings;
  for (const std::string& line : root_.LogLines())
    if (line.find("holds more than decimal digits") != std::string::npos) warnings.push_back(line);
  const std::string head = "CConfigCenter::Init " + path_ + " field ";
  const std::vector<std::string> expected = {
      head + "token holds more than decimal digits; value in use 0",
      head + "maxfilesize holds more than decimal digits; value in use 10485760",
      head + "maxmem holds more than decimal digits; value in use 1024",
      head + "enq-interval holds more than decimal digits; value in use 5",
      head + "outq-interval holds more than decimal digits; value in use 60"};
  ASSERT_EQ(expected.size(), warnings.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_NE(std::string::npos, warnings[i].find(expected[i])) << warnings[i];

  // A sound file says nothing of the kind.
  Load("1;2;3;4;5;6;7;8;\r\n");
  size_t after = 0;
  for (const std::string& line : root_.LogLines())
    if (line.find("holds more than decimal digits") != std::string::npos) ++after;
  EXPECT_EQ(expected.size(), after);
}

TEST_F(ConfigCenterTest, SaveWritesCorrectedRecordSafely) {
  test::WriteWholeFile(path_, "5;6;0;0;0;0;0;0;");
  CConfigCenter c(path_);
  c.Init();
  c.values().maxmsgid = 1000;
  ASSERT_EQ(c.Save(), 0);
  EXPECT_EQ(test::ReadWholeFile(path_), "5;1000;10485760;2097152;95;1024;1800;60;");
  EXPECT_FALSE(test::FileExists(path_ + ".tmp"));
}

// Something at the name that cannot be read (here a socket, which not even
// root can open) is not a first start: nothing is written over it, and
// maxmsgid is taken once from the first message announced.
TEST_F(ConfigCenterTest, UnreadableFileIsNeverOverwrittenAndItsCounterIsAdopted) {
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  CConfigCenter c(path_);
  c.Init();
  EXPECT_TRUE(c.CountersUnknown());
  EXPECT_EQ(c.Format(), "0;0;10485760;2097152;95;1024;1800;60;");
  c.values().maxmsgid = 9;
  EXPECT_EQ(c.Save(), CConfigCenter::kSaveRefused);
  EXPECT_EQ(c.Save(), CConfigCenter::kSaveRefused);
  struct stat st;
  ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_FALSE(test::FileExists(path_ + ".tmp"));
  int refused = 0;
  for (const std::string& line : root_.LogLines()) refused += line.find("is not overwritten") != std::string::npos;
  EXPECT_EQ(refused, 1);
  EXPECT_TRUE(c.AdoptMaxMsgIdFrom(50));
  EXPECT_EQ(c.values().maxmsgid.load(), 49u);
  EXPECT_FALSE(c.AdoptMaxMsgIdFrom(60));
  EXPECT_EQ(c.values().maxmsgid.load(), 49u);
  ::close(s);

  // A missing file is a first start: counters known, the file written private.
  ::unlink(path_.c_str());
  CConfigCenter fresh(path_);
  fresh.Init();
  EXPECT_FALSE(fresh.CountersUnknown());
  EXPECT_FALSE(fresh.AdoptMaxMsgIdFrom(50));
  ASSERT_EQ(fresh.Save(), 0);
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfigCenterTest, InstanceUsesConfigDirectory) {
  CConfigCenter& c = CConfigCenter::GetInstance();
  EXPECT_EQ(&c, &CConfigCenter::GetInstance());
  c.Save();
  EXPECT_EQ(test::ReadWholeFile(root_.config() + "generalconf.ini"), "0;0;10485760;2097152;95;1024;1800;60;");
}

}  // namespace
}  // namespace nuv
