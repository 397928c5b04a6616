#include "service/registration.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "common/test_support.h"
#include "service/systemd_unit.h"

namespace nuv {
namespace {

TEST(RegistrationTest, WriteQueryRemove) {
  test::TempInstallRoot root;
  Registration reg;
  EXPECT_EQ(reg.path().substr(reg.path().size() - 24), "/Config/registration.ini");
  bool local = true;
  EXPECT_EQ(reg.QueryLocalService(local), 2);  // not registered at all
  EXPECT_FALSE(local);

  ASSERT_EQ(reg.Write(false), 0);
  EXPECT_EQ(reg.QueryLocalService(local), 0);
  EXPECT_FALSE(local);
  std::string text = test::ReadWholeFile(root.config() + "registration.ini");
  EXPECT_NE(text.find("[AppID\\{F8560B88-400D-4B30-85FC-11C65876C283}]\nDefault=Nuv4OndekoService"),
            std::string::npos);
  EXPECT_NE(text.find("[AppID\\Nuv4OndekoService.EXE]\nAppID={F8560B88-400D-4B30-85FC-11C65876C283}"),
            std::string::npos);
  EXPECT_EQ(text.find("LocalService"), std::string::npos);

  ASSERT_EQ(reg.Write(true), 0);
  EXPECT_EQ(reg.QueryLocalService(local), 0);
  EXPECT_TRUE(local);
  EXPECT_NE(test::ReadWholeFile(reg.path()).find("ServiceParameters=-Service"), std::string::npos);

  // Registering again without the service drops the service values.
  ASSERT_EQ(reg.Write(false), 0);
  EXPECT_EQ(reg.QueryLocalService(local), 0);
  EXPECT_FALSE(local);

  EXPECT_EQ(reg.Remove(), 0);
  EXPECT_EQ(reg.QueryLocalService(local), 2);
  EXPECT_EQ(reg.Remove(), 0);  // removing twice is fine
}

TEST(RegistrationTest, FileWithoutTheAppIdSectionIsNotFound) {
  test::TempInstallRoot root;
  Registration reg;
  test::WriteWholeFile(reg.path(), "[AppID\\Nuv4OndekoService.EXE]\nAppID=x\n[other]\nLocalService=y\n");
  bool local = true;
  EXPECT_EQ(reg.QueryLocalService(local), 2);
  EXPECT_FALSE(local);
  // Garbage around a well-formed section does not hide it.
  test::WriteWholeFile(reg.path(),
                       "\x01\x02 junk\n[AppID\\{F8560B88-400D-4B30-85FC-11C65876C283}]\n"
                       "LocalService=Nuv4OndekoService\n");
  EXPECT_EQ(reg.QueryLocalService(local), 0);
  EXPECT_TRUE(local);
}

TEST(SystemdUnitTest, UnitTextAndPathQuoting) {
  UnitOptions o{"/opt/nuv/bin/nuv4ondeko", "", {"/opt/nuv/Config", "/opt/my dir/Logs"}};
  std::string unit = BuildUnitText(o);
  for (const char* line :
       {"Type=notify\n", "ExecStart=/opt/nuv/bin/nuv4ondeko\n", "KillMode=mixed\n",
        "WantedBy=multi-user.target\n", "After=network-online.target\n",
        "Wants=network-online.target\n", "TimeoutStopSec=30\n", "ProtectSystem=strict\n",
        "ReadWritePaths=/opt/nuv/Config \"/opt/my dir/Logs\"\n", "ProtectHome=yes\n",
        "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n", "CapabilityBoundingSet=\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("User="), std::string::npos);
  o.user = "nuv4ondeko";
  o.writablePaths = {"/home/ops/nuv/Config"};  // under a home: /home stays readable
  unit = BuildUnitText(o);
  EXPECT_NE(unit.find("User=nuv4ondeko\nGroup=nuv4ondeko\n"), std::string::npos);
  EXPECT_NE(unit.find("ProtectHome=read-only\n"), std::string::npos);
  EXPECT_EQ(UnitFileName(), "Nuv4OndekoService.service");
  EXPECT_EQ(QuoteExecPath("/opt/a-b/x"), "/opt/a-b/x");
  EXPECT_EQ(QuoteExecPath("/opt/my dir/x"), "\"/opt/my dir/x\"");
  EXPECT_EQ(QuoteExecPath("/opt/100%/$x"), "/opt/100%%/$$x");
  EXPECT_EQ(QuoteExecPath("/opt/a\"b\\c"), "\"/opt/a\\\"b\\\\c\"");
}

// systemd's own checker accepts the unit -Service writes, blanks in the path
// included.
TEST(SystemdUnitTest, SystemdAnalyzeAcceptsTheUnit) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  test::TempInstallRoot root;
  for (std::string dir : {root.root() + "/bin", root.root() + "/with blank"}) {
    std::string exe = dir + "/nuv4ondeko";
    system(("mkdir -p '" + dir + "' && cp /bin/true '" + exe + "'").c_str());
    std::string unitDir = root.root() + "/units";
    system(("mkdir -p '" + unitDir + "'").c_str());
    std::string unit = unitDir + "/" + UnitFileName();
    test::WriteWholeFile(unit, BuildUnitText({exe, "", {dir, root.root() + "/units"}}));
    std::string cmd = "systemd-analyze verify '" + unit + "' >'" + root.root() + "/verify.txt' 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0) << test::ReadWholeFile(root.root() + "/verify.txt");
  }
}

// The unit the Debian package ships is the one the registration tool builds
// for the packaged layout, and systemd rates its exposure at 1.5 or less.
TEST(SystemdUnitTest, PackagedUnitIsTheBuiltOneAndScoresAtMostOnePointFive) {
  const std::string shipped = std::string(NUV_SOURCE_DIR) + "/debian/nuv4ondeko.Nuv4OndekoService.service";
  EXPECT_EQ(test::ReadWholeFile(shipped),
            BuildUnitText({"/usr/sbin/nuv4ondeko", "nuv4ondeko", {"/var/lib/nuv4ondeko", "/var/log/nuv4ondeko"}}));
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  test::TempInstallRoot root;
  const std::string manual = root.root() + "/" + UnitFileName();
  test::WriteWholeFile(manual, BuildUnitText({"/opt/nuv/bin/nuv4ondeko", "nuv4ondeko",
                                              {"/opt/nuv/Config", "/opt/nuv/Logs"}}));
  for (const std::string& unit : {shipped, manual}) {
    const std::string out = root.root() + "/security.txt";
    // The threshold counts tenths.
    int rc = system(("systemd-analyze security --offline=true --threshold=15 --no-pager '" + unit + "' >'" +
                     out + "' 2>&1").c_str());
    const std::string text = test::ReadWholeFile(out);
    const size_t at = text.find("Overall exposure level");
    const std::string score = at == std::string::npos ? text : text.substr(at, text.find('\n', at) - at);
    EXPECT_EQ(rc, 0) << unit << ": " << score;
    std::printf("[unit] %s\n", score.c_str());
  }
}

}  // namespace
}  // namespace nuv
