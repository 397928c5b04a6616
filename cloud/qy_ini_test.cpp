#include "cloud/qy_ini.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cloud/ondeko_api.h"
#include "common/test_support.h"

namespace nuv {
namespace {

TEST(QyIniTest, LineRules) {
  // Any order, extra lines, CR LF, a key text after other characters.
  Credentials c =
      ParseQyIni("# provisioned\r\nrefresh_token:RT1\r\nxx vid: 42abc\r\nskey:SK1\r\nnoise\r\n");
  EXPECT_EQ(c.skey, "SK1");
  EXPECT_EQ(c.refresh_token, "RT1");
  EXPECT_EQ(c.vid, 42u);

  // A vid line wins over skey/refresh_token text on the same line; later lines win.
  c = ParseQyIni("skey:A\nskey:B\nvid:7 skey:zzz\nrefresh_token:\n");
  EXPECT_EQ(c.skey, "B");
  EXPECT_EQ(c.vid, 7u);
  EXPECT_EQ(c.refresh_token, "");

  EXPECT_EQ(ParseQyIni("vid:abc").vid, 0u);
  EXPECT_EQ(ParseQyIni("vid:   -1").vid, UINT64_MAX);  // signed parse, stored unsigned
  EXPECT_EQ(ParseQyIni("vid:18446744073709551615").vid, static_cast<uint64_t>(INT64_MAX));
  EXPECT_EQ(ParseQyIni("").vid, 0u);
}

TEST(QyIniTest, SaveCredentialsWritesThreeLinesInOrderAndAdopts) {
  test::TempInstallRoot root;
  std::string dir = root.root() + "/";
  test::WriteWholeFile(dir + "qy.ini", "vid:1\nrefresh_token:old\nskey:old\nextra\n");
  COndekoApi api(dir, CloudSettings{});
  EXPECT_EQ(api.GetVid(), 1u);
  EXPECT_EQ(api.SaveCredentials("S", "R", 99), 0);
  EXPECT_EQ(test::ReadWholeFile(dir + "qy.ini"), "skey:S\nrefresh_token:R\nvid:99\n");
  EXPECT_EQ(api.GetSkey(), "S");
  EXPECT_EQ(api.GetRefreshToken(), "R");
  EXPECT_EQ(api.GetVid(), 99u);
  EXPECT_FALSE(test::FileExists(dir + "qy.ini.tmp"));
}

TEST(QyIniTest, UnwritableFileChangesNothing) {
  test::TempInstallRoot root;
  std::string dir = root.root() + "/";
  test::WriteWholeFile(dir + "qy.ini", "skey:S\nrefresh_token:R\nvid:5\n");
  ASSERT_EQ(mkdir((dir + "qy.ini.tmp").c_str(), 0755), 0);  // the temporary file cannot be made
  COndekoApi api(dir, CloudSettings{});
  EXPECT_EQ(api.SaveCredentials("X", "Y", 6), -1);
  EXPECT_EQ(api.GetSkey(), "S");
  EXPECT_EQ(api.GetVid(), 5u);
  EXPECT_EQ(test::ReadWholeFile(dir + "qy.ini"), "skey:S\nrefresh_token:R\nvid:5\n");
}

TEST(QyIniTest, MissingFileGivesEmptyCredentials) {
  test::TempInstallRoot root;
  COndekoApi api(root.root() + "/nowhere/", CloudSettings{});
  EXPECT_EQ(api.GetVid(), 0u);
  EXPECT_EQ(api.GetSkey(), "");
  EXPECT_EQ(api.GetRefreshToken(), "");
}

// Readers never see a half-written file while other threads rewrite it.
TEST(QyIniTest, ConcurrentReadersSeeWholeFiles) {
  test::TempInstallRoot root;
  std::string path = root.root() + "/qy.ini";
  ASSERT_EQ(SaveQyIni(path, Credentials{"skey-0", "rt-0", 0}), 0);
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&, w] {
      for (int i = 1; i <= 40; ++i) {
        std::string n = std::to_string(w * 1000 + i);
        SaveQyIni(path, Credentials{"skey-" + n, "rt-" + n, static_cast<uint64_t>(w * 1000 + i)});
      }
    });
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        Credentials c;
        if (!LoadQyIni(path, c)) {
          torn = true;
          continue;
        }
        std::string n = std::to_string(c.vid);
        if (c.skey != "skey-" + n || c.refresh_token != "rt-" + n) torn = true;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn);
}


// A settled file's parse is kept; every later change of it (replaced with a
// file of the same size and time, rewritten in place, removed, saved) is
// seen by the next load.
TEST(QyIniTest, KeptParseNeverHidesAChange) {
  test::TempInstallRoot root;
  const std::string path = root.root() + "/qy.ini";
  auto setMtime = [&](time_t secondsAgo) {
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = ::time(nullptr) - secondsAgo;
    times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  Credentials c;
  test::WriteWholeFile(path, "skey:AAAA\nrefresh_token:r\nvid:1\n");
  setMtime(3600);
  ASSERT_TRUE(LoadQyIni(path, c));
  EXPECT_EQ(c.skey, "AAAA");
  ASSERT_TRUE(LoadQyIni(path, c));
  EXPECT_EQ(c.skey, "AAAA");

  // Replaced (new file, same size, same time).
  test::WriteWholeFile(path + ".new", "skey:BBBB\nrefresh_token:r\nvid:2\n");
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
  setMtime(3600);
  ASSERT_TRUE(LoadQyIni(path, c));
  EXPECT_EQ(c.skey, "BBBB");
  EXPECT_EQ(c.vid, 2u);

  // Rewritten in place, same size.
  {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "CCCC", 4, 5), 4);
    ::close(fd);
  }
  setMtime(7200);
  ASSERT_TRUE(LoadQyIni(path, c));
  EXPECT_EQ(c.skey, "CCCC");

  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(LoadQyIni(path, c));
  EXPECT_EQ(c.skey, "");

  ASSERT_EQ(SaveQyIni(path, Credentials{"DDDD", "r", 4}), 0);
  ASSERT_TRUE(LoadQyIni(path, c));
  EXPECT_EQ(c.skey, "DDDD");
  EXPECT_EQ(c.vid, 4u);
}

}  // namespace
}  // namespace nuv
