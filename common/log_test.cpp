#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"

namespace nuv {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // 2026-12-09 10:11:12 local time.
    std::tm t{};
    t.tm_year = 126; t.tm_mon = 11; t.tm_mday = 9; t.tm_hour = 10; t.tm_min = 11; t.tm_sec = 12;
    t.tm_isdst = -1;
    clock_ = std::make_unique<VirtualClock>(VirtualClock::Mode::kManual,
                                            static_cast<int64_t>(mktime(&t)) * 1000);
    SetClockForTest(clock_.get());
  }
  void TearDown() override { SetClockForTest(nullptr); }
  std::string LogFile() { return root_.logs() + "2026-12.log"; }

  test::TempInstallRoot root_;
  std::unique_ptr<VirtualClock> clock_;
};

TEST_F(LogTest, MonthlyFileWithBomOnceAndCrLfLines) {
  WriteLog(L"");
  EXPECT_FALSE(test::FileExists(LogFile()));
  WriteLog(L"first 中文");
  WriteLog(L"second");
  std::string data = test::ReadWholeFile(LogFile());
  ASSERT_EQ(data.compare(0, 3, "\xEF\xBB\xBF"), 0);
  EXPECT_EQ(data.find("\xEF\xBB\xBF", 3), std::string::npos);
  std::string line1 = data.substr(3, data.find("\r\n") + 2 - 3);
  EXPECT_EQ(line1.substr(0, 20), "2026-12-09 10:11:12 ");
  EXPECT_NE(line1.find("] first 中文\r\n"), std::string::npos);
  // A new month starts a new file with its own mark.
  clock_->Advance(int64_t(31) * 86400 * 1000);
  WriteLog(L"january");
  EXPECT_EQ(test::ReadWholeFile(root_.logs() + "2027-01.log").compare(0, 3, "\xEF\xBB\xBF"), 0);
}

TEST_F(LogTest, LineFormatPadsThreadId) {
  std::tm t{};
  t.tm_year = 126; t.tm_mon = 11; t.tm_mday = 9; t.tm_hour = 10; t.tm_min = 11; t.tm_sec = 12;
  EXPECT_EQ(FormatLogLine(t, 1234, L"text"), "2026-12-09 10:11:12 [01234] text\r\n");
  EXPECT_EQ(FormatLogLine(t, 123456, L"x"), "2026-12-09 10:11:12 [123456] x\r\n");
}

TEST_F(LogTest, LevelsAndDebugPrefix) {
  WriteLog(L"abc", 99);
  WriteLog(L"lvl2", 2);
  EXPECT_TRUE(root_.LogContains("] DEBUG:abc"));
  EXPECT_FALSE(root_.LogContains("lvl2"));
  test::WriteWholeFile(root_.logs() + "config.ini", "[General]\nLevel=2\n");
  RereadLogLevel();
  WriteLog(L"lvl2", 2);
  EXPECT_TRUE(root_.LogContains("lvl2"));
  // The level is read once per process: a later change is not seen.
  test::WriteWholeFile(root_.logs() + "config.ini", "[General]\nLevel=0\n");
  WriteLog(L"still2", 2);
  EXPECT_TRUE(root_.LogContains("still2"));
}

TEST_F(LogTest, UnwritableLogDirectoryDropsLine) {
  SetInstallRoot("/proc/nonexistent");
  WriteLog(L"lost");  // must not crash or throw
  SetInstallRoot(root_.root());
  WriteLog(L"kept");
  EXPECT_TRUE(root_.LogContains("kept"));
}

TEST_F(LogTest, LogDirectoryRemovedWhileRunningIsMadeAgain) {
  WriteLog(L"before");
  ASSERT_TRUE(test::FileExists(LogFile()));
  ASSERT_EQ(std::remove(LogFile().c_str()), 0);
  ASSERT_EQ(::rmdir(root_.logs().c_str()), 0);
  WriteLog(L"after");
  const std::string data = test::ReadWholeFile(LogFile());
  EXPECT_EQ(data.compare(0, 3, "\xEF\xBB\xBF"), 0);
  EXPECT_NE(data.find("] after\r\n"), std::string::npos);
  EXPECT_EQ(data.find("before"), std::string::npos);
}

TEST_F(LogTest, TwoProcessesInterleaveWholeLines) {
  constexpr int kLines = 2000;
  SetClockForTest(nullptr);
  pid_t child = fork();
  if (child == 0) {
    for (int i = 0; i < kLines; ++i) WriteLogF("child line %d %s", i, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
    _exit(0);
  }
  for (int i = 0; i < kLines; ++i) WriteLogF("parent line %d %s", i, "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy");
  int status = 0;
  waitpid(child, &status, 0);
  auto lines = root_.LogLines();
  int parent = 0, fromChild = 0;
  for (auto& l : lines) {
    if (l.find("] parent line ") != std::string::npos && l.size() > 60 && l.back() == 'y') ++parent;
    else if (l.find("] child line ") != std::string::npos && l.size() > 60 && l.back() == 'x') ++fromChild;
    else ADD_FAILURE() << "torn line: " << l;
  }
  EXPECT_EQ(parent, kLines);
  EXPECT_EQ(fromChild, kLines);
}

}  // namespace
}  // namespace nuv
