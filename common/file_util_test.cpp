#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_util.h"
#include "common/paths.h"
#include "common/sdk_error.h"
#include "common/test_support.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

TEST(Paths, DirectoriesHangOffModuleDir) {
  test::TempInstallRoot root;
  EXPECT_EQ(WideToPath(GetModuleDir()), root.bin());
  EXPECT_EQ(WideToPath(GetLogDir()), root.bin() + "../Logs");
  EXPECT_EQ(WideToPath(GetTmpFilesDir()), root.bin() + "TmpFiles");
  EXPECT_EQ(GetConfigDirA(), root.bin() + "../Config/");
  EXPECT_EQ(GetDownloadDirA(), root.bin() + "../Download/");
  // The sync configuration directory is the configuration directory.
  EXPECT_EQ(GetSyncConfigDirA(), GetConfigDirA());
  EXPECT_TRUE(test::FileExists(root.root() + "/Logs"));
  EXPECT_TRUE(test::FileExists(root.bin() + "TmpFiles"));
  // The service's own directories are for its user only.
  for (const std::string& d : {root.root() + "/Logs", root.root() + "/Config", root.root() + "/Download",
                               root.bin() + "TmpFiles"}) {
    struct stat st;
    ASSERT_EQ(::stat(d.c_str(), &st), 0) << d;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << d;
  }
  EXPECT_TRUE(GetNuvInstallDir().empty());
  root.WriteServiceIni("[im]\ninstall_dir=/opt/nuv\n");
  EXPECT_EQ(GetNuvInstallDir(), L"/opt/nuv");
}

// The packaged layout: the directories are links into a state directory.
// One emptied (or never made) is made again at the link's target, and the
// writable directories are named by their real paths.
TEST(Paths, LinkedDirectoriesAreMadeAtTheirTarget) {
  test::TempInstallRoot root;
  ASSERT_EQ(symlink("../state/TmpFiles", (root.bin() + "TmpFiles").c_str()), 0);
  rmdir((root.root() + "/Config").c_str());  // made when the settings were loaded
  ASSERT_EQ(symlink((root.root() + "/state").c_str(), (root.root() + "/Config").c_str()), 0);
  EXPECT_EQ(WideToPath(GetTmpFilesDir()), root.bin() + "TmpFiles");
  EXPECT_TRUE(test::FileExists(root.root() + "/state/TmpFiles"));
  ASSERT_TRUE(MakeDirs(GetConfigDirA() + "sub"));
  EXPECT_TRUE(test::FileExists(root.root() + "/state/sub"));
  char real[PATH_MAX];
  ASSERT_TRUE(realpath(root.root().c_str(), real));
  const std::string r = real;
  EXPECT_EQ(GetWritableDirs(),
            (std::vector<std::string>{r + "/state", r + "/Logs", r + "/Download", r + "/state/TmpFiles"}));
  // A link to itself is no directory, and no endless chase.
  ASSERT_EQ(symlink("loop", (root.root() + "/loop").c_str()), 0);
  EXPECT_FALSE(MakeDirs(root.root() + "/loop/x"));
}

TEST(FileUtil, ReadMissingFileLeavesBufferUntouched) {
  test::TempInstallRoot root;
  char buf[4] = {'x', 'y', 'z', 0};
  EXPECT_EQ(ReadFileData("Config/none.ini", buf, 3), 0u);
  EXPECT_STREQ(buf, "xyz");
}

TEST(FileUtil, SafeWriteReplacesAndLeavesNoTmp) {
  test::TempInstallRoot root;
  MakeDirs(root.config());
  ASSERT_EQ(WriteFileSafe("Config/a.ini", "old"), 0);
  ASSERT_EQ(WriteFileSafe("Config/a.ini", "new content"), 0);
  EXPECT_EQ(test::ReadWholeFile(root.config() + "a.ini"), "new content");
  EXPECT_FALSE(test::FileExists(root.config() + "a.ini.tmp"));
  char buf[64];
  EXPECT_EQ(ReadFileData(root.config() + "a.ini", buf, 3), 3u);  // absolute name, bounded
  uint64_t size = 0;
  EXPECT_EQ(GetFileLength(root.config() + "a.ini", size), 0);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(GetFileLength(root.config() + "none", size), -1);
}

TEST(FileUtil, SafeWriteIntoMissingDirectoryChangesNothing) {
  test::TempInstallRoot root;
  EXPECT_EQ(WriteFileSafe(root.root() + "/nodir/a.ini", "x"), -1);
  EXPECT_FALSE(test::FileExists(root.root() + "/nodir"));
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(FileUtil, SafeWriteKeepsTheModeAndNeverWritesThroughAPlantedName) {
  test::TempInstallRoot root;
  const std::string cfg = root.config(), target = cfg + "qy.ini", victim = root.root() + "/victim";
  MakeDirs(cfg);
  test::WriteWholeFile(victim, "precious");
  // A new secret is private whatever the umask; an operator's mode survives
  // every rewrite, both ways.
  const mode_t old = ::umask(0);
  ASSERT_EQ(WriteFileSafe(target, "a", kPrivateFileMode), 0);
  EXPECT_EQ(ModeOf(target), 0600u);
  ::chmod(target.c_str(), 0640);
  ASSERT_EQ(WriteFileSafe(target, "b", kPrivateFileMode), 0);
  EXPECT_EQ(ModeOf(target), 0640u);
  ::umask(old);
  // A link left at the temporary name is removed, not followed.
  ASSERT_EQ(::symlink(victim.c_str(), (target + ".tmp").c_str()), 0);
  ASSERT_EQ(WriteFileSafe(target, "c"), 0);
  EXPECT_EQ(test::ReadWholeFile(target), "c");
  EXPECT_EQ(test::ReadWholeFile(victim), "precious");
  EXPECT_FALSE(test::FileExists(target + ".tmp"));
  // What cannot be removed fails the write and keeps the old file (the way
  // tests make a write fail for root).
  ASSERT_TRUE(MakeDirs(target + ".tmp"));
  EXPECT_EQ(WriteFileSafe(target, "d"), -1);
  EXPECT_EQ(test::ReadWholeFile(target), "c");
  int fd = CreateFreshFile(target + ".tmp");
  EXPECT_LT(fd, 0);
}

TEST(FileUtil, CheckedReadTellsMissingFromUnreadable) {
  test::TempInstallRoot root;
  const std::string dir = root.root() + "/";
  std::string out;
  int err = 0;
  EXPECT_EQ(ReadFileChecked(dir + "none", out, 100, false, &err), kReadMissing);
  test::WriteWholeFile(dir + "f", "12345");
  EXPECT_EQ(ReadFileChecked(dir + "f", out, 100), kReadOk);
  EXPECT_EQ(out, "12345");
  EXPECT_EQ(ReadFileChecked(dir + "f", out, 4), kReadTooLarge);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(::symlink((dir + "f").c_str(), (dir + "link").c_str()), 0);
  EXPECT_EQ(ReadFileChecked(dir + "link", out, 100), kReadOk);
  EXPECT_EQ(ReadFileChecked(dir + "link", out, 100, true, &err), kReadFailed);
  EXPECT_EQ(err, ELOOP);
  MakeDirs(dir + "d");
  EXPECT_EQ(ReadFileChecked(dir + "d", out, 100, false, &err), kReadFailed);
  EXPECT_EQ(err, EISDIR);
}

TEST(SdkError, FormatsCodeAndTrimmedMeaning) {
  NuvSdkError e(0x80040154u, "Class not registered\r\n");
  EXPECT_EQ(WideToUtf8(FormatComError("app.cpp", 42, e)),
            "app.cpp:42 发生com异常:Code = 80040154 Code meaning = Class not registered");
}

}  // namespace
}  // namespace nuv
