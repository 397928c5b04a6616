#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>

#include "common/clock.h"
#include "common/file_util.h"
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

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = FormatLogText(fmt, ap);
  va_end(ap);
  return s;
}

// A text from outside cannot start a line of its own, and a long one is cut;
// the service's own format and its numbers come out as printf makes them.
TEST_F(LogTest, ValuesFromOutsideCannotForgeLinesAndAreCut) {
  const std::string forged = "hi\r\n2026-12-09 10:11:12 [00001] CServiceModule forged\x1b[2J";
  WriteLogF("SendTxtMsg2Nuv '%s' to '%s' %d", forged.c_str(), "bob", 7);
  WriteLog(L"direct\nline");
  auto lines = root_.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] SendTxtMsg2Nuv 'hi\\r\\n2026-12-09 10:11:12 [00001] CServiceModule forged\\x1B[2J' "
                          "to 'bob' 7"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("] direct\\nline"), std::string::npos);

  const std::string longText(kMaxLogValueBytes + 100, 'x');
  EXPECT_EQ(Format("[%s]", longText.c_str()),
            "[" + std::string(kMaxLogValueBytes, 'x') + "...(+100 bytes)]");
  std::string chinese;  // three bytes a character: the cut keeps whole ones
  while (chinese.size() < kMaxLogValueBytes + 2) chinese += "中";
  const std::string cut = Format("%s", chinese.c_str());
  EXPECT_EQ(cut.substr(0, kMaxLogValueBytes - kMaxLogValueBytes % 3), chinese.substr(0, kMaxLogValueBytes - kMaxLogValueBytes % 3));
  EXPECT_EQ(cut.substr(kMaxLogValueBytes - kMaxLogValueBytes % 3, 5), "...(+");

  EXPECT_EQ(Format("%llu %d %5.1f %-4s| %.*s %*d %zu %08x %% %c", 18446744073709551615ull, -3, 2.25, "ab", 2,
                   "xyz", 4, 9, static_cast<size_t>(12), 0xbeefu, 'q'),
            "18446744073709551615 -3   2.2 ab  | xy    9 12 0000beef % q");
  // The format's own line break stays (one of the system's own texts ends in one).
  EXPECT_EQ(Format("to config\n"), "to config\n");
  EXPECT_EQ(SecretTail("0123456789ABCDEF"), "...CDEF");
  EXPECT_EQ(SecretTail(1234605616436508552ull), "...8552");
  EXPECT_EQ(SecretTail(0ull), "0");
}

// With a tiny limit the month's file is renamed to numbered parts (the
// oldest beyond the kept count goes); months before the kept ones go too.
TEST_F(LogTest, FilesRotateAtTheSizeLimitAndOldMonthsGo) {
  ASSERT_TRUE(MakeDirs(root_.logs()));
  test::WriteWholeFile(root_.logs() + "config.ini", "[General]\nMaxFileMB=1\nRotatedFiles=2\nKeepMonths=2\n");
  test::WriteWholeFile(root_.logs() + "notes.txt", "operator's");
  RereadLogLevel();
  const std::string chunk(4000, 'r');
  for (int i = 0; i < 1000; ++i) WriteLogF("line %04d %s", i, chunk.c_str());  // about 4 MB
  const std::string base = root_.logs() + "2026-12";
  uint64_t size = 0;
  ASSERT_EQ(GetFileLength(base + ".log", size), 0);
  EXPECT_LE(size, 1u << 20);
  for (const char* part : {".1.log", ".2.log"}) {
    ASSERT_EQ(GetFileLength(base + part, size), 0) << part;
    EXPECT_LE(size, 1u << 20) << part;
    EXPECT_GT(size, (1u << 20) - 5000) << part;
  }
  EXPECT_FALSE(test::FileExists(base + ".3.log"));
  // Every part starts a file of its own and holds whole lines.
  EXPECT_EQ(test::ReadWholeFile(base + ".1.log").compare(0, 3, "\xEF\xBB\xBF"), 0);
  EXPECT_NE(test::ReadWholeFile(base + ".log").find("line 0999 "), std::string::npos);

  clock_->Advance(int64_t(31) * 86400 * 1000);  // January: December is kept
  WriteLog(L"january");
  EXPECT_TRUE(test::FileExists(base + ".log"));
  clock_->Advance(int64_t(31) * 86400 * 1000);  // February: December goes
  WriteLog(L"february");
  EXPECT_FALSE(test::FileExists(base + ".log"));
  EXPECT_FALSE(test::FileExists(base + ".1.log"));
  EXPECT_TRUE(test::FileExists(root_.logs() + "2027-01.log"));
  EXPECT_TRUE(test::FileExists(root_.logs() + "2027-02.log"));
  EXPECT_TRUE(test::FileExists(root_.logs() + "notes.txt"));
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
