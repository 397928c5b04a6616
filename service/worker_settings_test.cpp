// The worker's settings check: each problem of service.ini or qy.ini is one
// log line that names the file and the key; good files give none.
#include "service/worker_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/paths.h"
#include "common/test_support.h"
#include "service/test_log_count.h"

namespace nuv {
namespace {

const char kGoodServiceIni[] =
    "[im]\ninstall_dir = /tmp\nserver_ip = 127.0.0.1\napp_port = 8006\n\n"
    "[cloud]\napi_host = 127.0.0.1:4433\nupload_host = 127.0.0.1:4434 ; the proxy\nverify_tls = false\n"
    "stall_timeout = 2\n\n[push]\nhost = 127.0.0.1\nport = 8080\n";
const char kGoodQyIni[] = "skey:abc\r\nrefresh_token:rt-1\r\nvid:1001\r\n";

bool AnyContains(const std::vector<std::string>& lines, const std::string& a, const std::string& b = "") {
  for (const auto& l : lines)
    if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
  return false;
}

TEST(WorkerSettings, GoodFilesGiveNoLine) {
  std::string tls = kGoodServiceIni;
  tls.replace(tls.find("verify_tls = false"), 18, "verify_tls = true");
  EXPECT_TRUE(CheckServiceIniText("s.ini", tls).empty());
  EXPECT_TRUE(CheckQyIniText("qy.ini", kGoodQyIni).empty());
  // Switching TLS checks off is a warning at every start, naming the hosts.
  auto lines = CheckServiceIniText("s.ini", kGoodServiceIni);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(AnyContains(lines, "[cloud] verify_tls = false: the certificates of 127.0.0.1:4433 and 127.0.0.1:4434 "
                                 "are not checked"));
}

TEST(WorkerSettings, EachServiceIniProblemNamesFileAndKey) {
  const std::string text =
      "[im]\napp_port = 80a6\nfilemonitor_port = 70000\nserver_ip = im.local\n"
      "[cloud]\napi_host =\nupload_host = x:1\nverify_tls = maybe\nstall_timeout = -3\n"
      "connect_timeout 10\nca_file = /nonexistent/ca.pem\n[push\nport = eighty\n";
  std::vector<std::string> p = CheckServiceIniText("/r/Config/service.ini", text);
  for (const auto& l : p) EXPECT_EQ(l.rfind("'/r/Config/service.ini' ", 0), 0u) << l;
  EXPECT_TRUE(AnyContains(p, "[im] app_port = '80a6'", "8006 is used"));
  EXPECT_TRUE(AnyContains(p, "[im] filemonitor_port = '70000'", "8003 is used"));
  EXPECT_TRUE(AnyContains(p, "[im] server_ip = 'im.local'"));
  EXPECT_TRUE(AnyContains(p, "[im] install_dir has no value"));
  EXPECT_TRUE(AnyContains(p, "[cloud] api_host has no value"));
  EXPECT_TRUE(AnyContains(p, "[cloud] verify_tls = 'maybe'"));
  EXPECT_TRUE(AnyContains(p, "[cloud] stall_timeout = '-3'", "60 is used"));
  EXPECT_TRUE(AnyContains(p, "line 10 in [cloud]: 'connect_timeout 10' is not key = value"));
  EXPECT_TRUE(AnyContains(p, "[cloud] ca_file = '/nonexistent/ca.pem' cannot be read"));
  EXPECT_TRUE(AnyContains(p, "line 12 '[push' has no closing ']'"));
  // Without its closing bracket "[push" does not open a section: port
  // belongs to [cloud] and the push port keeps its default unchecked.
  EXPECT_FALSE(AnyContains(p, "[push] port"));
  EXPECT_EQ(p.size(), 10u);
}

TEST(WorkerSettings, EachQyIniProblemNamesFileAndKey) {
  EXPECT_TRUE(AnyContains(CheckQyIniText("q", "skey:a\nrefresh_token:b\n"), "'q' has no vid line"));
  EXPECT_TRUE(AnyContains(CheckQyIniText("q", "skey:a\nrefresh_token:b\nvid:10x1\n"), "vid:'10x1'"));
  EXPECT_TRUE(AnyContains(CheckQyIniText("q", "vid:7\n"), "skey and refresh_token have no value"));
  EXPECT_TRUE(AnyContains(CheckQyIniText("q", "skey:a\nvid:7\n"), "refresh_token has no value"));
  EXPECT_TRUE(AnyContains(CheckQyIniText("q", "refresh_token:b\nvid:7\n"), "skey has no value"));
  EXPECT_EQ(CheckQyIniText("q", "garbage\n\x01\x02\n").size(), 2u);
}

TEST(WorkerSettings, MissingOrUnreadableFilesAreOneLogLineEach) {
  test::TempInstallRoot root;
  // Both missing.
  std::vector<std::string> p = CheckWorkerSettings(root.config());
  ASSERT_EQ(p.size(), 2u);
  EXPECT_TRUE(AnyContains(p, root.config() + "service.ini' missing", "[cloud] api_host"));
  EXPECT_TRUE(AnyContains(p, root.config() + "qy.ini' missing", "vid, skey or refresh_token"));
  EXPECT_EQ(test::CountLogLines(root, "CheckWorkerSettings '" + root.config() + "service.ini' missing"), 1);
  EXPECT_EQ(test::CountLogLines(root, "CheckWorkerSettings '" + root.config() + "qy.ini' missing"), 1);

  // A directory where the file should be cannot be read.
  ASSERT_TRUE(MakeDirs(root.config() + "qy.ini"));
  std::string good = kGoodServiceIni;
  good.replace(good.find("verify_tls = false"), 18, "verify_tls = true");
  test::WriteWholeFile(root.config() + "service.ini", good);
  p = CheckWorkerSettings(root.config());
  ASSERT_EQ(p.size(), 1u);
  EXPECT_TRUE(AnyContains(p, "qy.ini' is a directory"));

  // Secrets that others can read are named, each in its own line.
  ::rmdir((root.config() + "qy.ini").c_str());
  for (const char* name : {"qy.ini", "token.ini"}) {
    test::WriteWholeFile(root.config() + name, kGoodQyIni);
    ::chmod((root.config() + name).c_str(), 0644);
  }
  p = CheckWorkerSettings(root.config());
  ASSERT_EQ(p.size(), 2u);
  EXPECT_TRUE(AnyContains(p, "qy.ini' can be read by group or others (mode 0644)", "chmod 600"));
  EXPECT_TRUE(AnyContains(p, "token.ini' can be read by group or others (mode 0644)"));
  ::chmod((root.config() + "qy.ini").c_str(), 0600);
  ::chmod((root.config() + "token.ini").c_str(), 0600);
  EXPECT_TRUE(CheckWorkerSettings(root.config()).empty());
}

}  // namespace
}  // namespace nuv
