// The real worker with broken installation files: each problem is one log
// line naming the file and the key, the worker neither crashes nor spins,
// and what it cannot do it keeps retrying until the file is put right.
#include <gtest/gtest.h>

#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

TEST(SettingsE2E, MissingQyIniIsLoggedOnceAndTheCloudWorksOnceItIsWritten) {
  RigOptions o;
  o.writeQyIni = false;
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartSimulators(&why)) << why;
  ASSERT_TRUE(rig.StartWatchdog(&why)) << why;
  const std::string line = "CheckWorkerSettings '" + rig.root().config() + "qy.ini' missing";
  ASSERT_TRUE(rig.WaitLog(line, 15)) << "no line naming qy.ini" << rig.Diagnostics();
  // The IM side comes up; the cloud side fails for want of credentials.
  ASSERT_TRUE(WaitUntil([&] { return rig.Im("/state").json["started"].asBool(); }, 20));
  const std::string before = "sent before qy.ini exists";
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, before).empty());
  ASSERT_TRUE(rig.WaitLog("SendTxtMsg2Ondeko SendMsg() climsgid", 15)) << "no attempt was made";
  EXPECT_TRUE(rig.CloudSent(BridgeRig::SentWithContent(before)).empty());

  // Written while the worker runs: the next cloud call reads it.
  rig.WriteQyIni();
  const std::string after = "sent after qy.ini was written";
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, after).empty());
  EXPECT_EQ(rig.WaitCloudSent(BridgeRig::SentWithContent(after), 20).size(), 1u);
  EXPECT_EQ(rig.WorkerPids().size(), 1u) << "the worker must not have restarted";
  EXPECT_EQ(rig.CountLog(line), 1);
}

TEST(SettingsE2E, MalformedServiceIniLinesAreNamedAndTheBridgeStillRuns) {
  // A line without '=' and a value that is not a number: both are logged
  // with file and key, the defaults apply, and the bridge carries traffic.
  RigOptions o;
  o.cloudExtra = "verify_tls true\nstall_timeout = soon\n";
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;
  BridgeRig::RoundTrip rt = rig.BothWays("despite a malformed service.ini");
  EXPECT_TRUE(rt.ok);
  const std::string file = "CheckWorkerSettings '" + rig.root().config() + "service.ini' ";
  EXPECT_EQ(rig.CountLog(file + "line "), 1);
  EXPECT_EQ(rig.CountLog("'verify_tls true' is not key = value"), 1);
  EXPECT_EQ(rig.CountLog(file + "[cloud] stall_timeout = 'soon' is not a positive number of seconds; 60 is used"), 1);
  EXPECT_EQ(rig.CountLog("CheckWorkerSettings"), 2) << "nothing else is wrong";
  EXPECT_EQ(rig.WorkerPids().size(), 1u);
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
