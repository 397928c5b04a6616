#include <gtest/gtest.h>

#include "common/service_ini.h"
#include "common/test_support.h"

namespace nuv {
namespace {

TEST(ServiceIni, DefaultsMalformedLinesAndTypes) {
  test::TempInstallRoot root;
  EXPECT_EQ(ServiceIni::Get().GetString("im", "install_dir", "def"), "def");
  root.WriteServiceIni("[cloud]\napi_host = 127.0.0.1:8443\nthis line is garbage\nverify_tls = false\n"
                       "[push]\nport = 9090\nbad=\n"
                       "[directory]\nmax_removed_percent = 010\nother = 08006\n");
  const ServiceIni& ini = ServiceIni::Get();
  EXPECT_EQ(ini.GetString("cloud", "api_host", ""), "127.0.0.1:8443");
  EXPECT_FALSE(ini.GetBool("cloud", "verify_tls", true));
  EXPECT_EQ(ini.GetInt("push", "port", 8080), 9090);
  EXPECT_EQ(ini.GetInt("push", "bad", 7), 7);
  EXPECT_EQ(ini.GetInt("push", "missing", 8080), 8080);
  // Leading zeros are decimal, as an administrator means them.
  EXPECT_EQ(ini.GetInt("directory", "max_removed_percent", 20), 10);
  EXPECT_EQ(ini.GetInt("directory", "other", 1), 8006);
  EXPECT_TRUE(root.LogContains("service.ini' line 3 malformed, ignored"));
}

}  // namespace
}  // namespace nuv
