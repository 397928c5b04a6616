// The real worker as an operator runs it, looked at for what it leaves to
// others: the modes of every file it writes, links planted at its temporary
// names, secrets and forged lines in its log, a renewed session key that
// cannot be saved; and what it takes from the cloud: URLs that are not https
// or point elsewhere, files over the limits, and a generalconf.ini it cannot
// read.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "common/paths.h"
#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

Json::Value OneFile(const std::string& name, const std::string& data) {
  Json::Value f;
  f["name"] = name;
  f["data"] = Base64Encode(data);
  f["image"] = false;
  Json::Value a(Json::arrayValue);
  a.append(f);
  return a;
}

Json::Value CloudFiles(const std::string& mediaId) {
  Json::Value extra;
  extra["file_id_list"].append(mediaId);
  return extra;
}

bool SentFileNamed(BridgeRig& rig, const std::string& name) {
  return !rig.ImSentFiles([&](const Json::Value& f) { return f["name"].asString() == name; }).empty();
}

size_t Requests(BridgeRig& rig, const std::string& endpoint) {
  return rig.Cloud("/requests?endpoint=" + endpoint).json.size();
}

int LinesMatching(BridgeRig& rig, const std::regex& re) {
  int n = 0;
  for (const std::string& l : rig.LogLines()) n += std::regex_search(l, re);
  return n;
}

// Every regular file below dir (recursively) that others may read or write,
// and every directory that is not 0700; "" when there is none.
std::string LooseModes(const std::string& dir, const std::string& skip) {
  std::string loose;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return "";
  if (S_ISDIR(st.st_mode) && (st.st_mode & 0777) != 0700) loose += dir + " ";
  for (const std::string& n : test::DirEntries(dir)) {
    const std::string p = dir + "/" + n;
    if (n == skip || ::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) loose += LooseModes(p, skip);
    else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) loose += p + " ";
  }
  return loose;
}

TEST(SecurityE2E, FilesStayPrivateAndTheLogKeepsSecretsAndForgeriesOut) {
  RigOptions o;
  o.generalconf = "0;0;300000;100000;99;0;0;0;";  // cloud files above 300000 bytes are refused
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartSimulators(&why)) << why;
  const std::string cfg = rig.root().config(), victim = rig.root().root() + "/victim";
  test::WriteWholeFile(victim, "precious");
  // Links planted at every temporary name the worker writes through.
  for (const char* name : {"generalconf.ini.tmp", "token.ini.tmp", "qy.ini.tmp"})
    ASSERT_EQ(::symlink(victim.c_str(), (cfg + name).c_str()), 0) << name;
  const std::string fileBytes(5000, 'f');
  const std::string small = rig.CloudPutMedia("small.txt", fileBytes, false);
  const std::string big = rig.CloudPutMedia("big.bin", std::string(400000, 'b'), false);
  ASSERT_TRUE(MakeDirs(rig.root().root() + "/Download", 0700));
  ASSERT_EQ(::symlink(victim.c_str(), (rig.root().root() + "/Download/" + small).c_str()), 0);
  ASSERT_TRUE(rig.StartWatchdog(&why)) << why;
  ASSERT_TRUE(rig.WaitBridgeUp(20)) << rig.Diagnostics();

  // A cloud text that tries to start a line of its own in the log.
  const std::string forged = "see below\r\n2026-01-01 00:00:00 [00001] CServiceModule forged-7f3a";
  ASSERT_NE(rig.CloudUserSends("zhang", {"alice"}, forged), 0u);
  EXPECT_EQ(rig.WaitImMessages(BridgeRig::ImWithText("forged-7f3a"), 15).size(), 1u);
  // A cloud file within the limit arrives; one above it becomes a notice.
  ASSERT_NE(rig.CloudUserSends("zhang", {"bob"}, "", CloudFiles(small)), 0u);
  ASSERT_NE(rig.CloudUserSends("zhang", {"bob"}, "the backup", CloudFiles(big)), 0u);
  EXPECT_TRUE(WaitUntil([&] { return SentFileNamed(rig, "small.txt"); }, 20)) << rig.Im("/sentfiles").body;
  EXPECT_EQ(rig.WaitImMessages(BridgeRig::ImWithText("OndekoPallen文件太大：big.bin"), 20).size(), 1u)
      << rig.Diagnostics();
  EXPECT_EQ(rig.ImMessages(BridgeRig::ImWithText("the backup")).size(), 1u);
  // A session-key renewal rewrites qy.ini.
  ASSERT_TRUE(rig.CloudPost("/skey/expire", Json::Value(Json::objectValue)).ok());
  ASSERT_TRUE(rig.BothWays("after the renewal").ok) << rig.Diagnostics();
  EXPECT_EQ(test::ReadWholeFile(cfg + "qy.ini"), rig.Cloud("/qy.ini").body);
  EXPECT_FALSE(SentFileNamed(rig, "big.bin"));

  // Every file the worker wrote is its user's alone; the links were not
  // followed.
  EXPECT_EQ(test::ReadWholeFile(victim), "precious");
  for (const char* dir : {"/Config", "/Logs", "/Download", "/bin/TmpFiles"})
    EXPECT_EQ(LooseModes(rig.root().root() + dir, "service.ini"), "") << dir;
  for (const char* name : {"qy.ini", "token.ini", "generalconf.ini", "journal.db", "registration.ini"})
    EXPECT_TRUE(test::FileExists(cfg + name)) << name;
  // Each download goes into a folder of its own, so the link planted at the
  // file's plain name was never in the way; it is left as it was, and no
  // copy stays behind.
  EXPECT_EQ(test::DirEntries(rig.root().root() + "/Download"), std::vector<std::string>{small});

  // The log: no forged line, no whole secret.
  EXPECT_EQ(LinesMatching(rig, std::regex("^2026-01-01 00:00:00 \\[00001\\]")), 0);
  EXPECT_GE(LinesMatching(rig, std::regex("see below\\\\r\\\\n2026-01-01 00:00:00 \\[00001\\] CServiceModule forged")), 1);
  EXPECT_EQ(LinesMatching(rig, std::regex("gapkey [0-9A-F]{8}")), 0);
  EXPECT_GE(LinesMatching(rig, std::regex("gapkey \\.\\.\\.[0-9A-F]{4}$")), 1);
  const std::string skey = rig.Cloud("/state").json["skey"].asString();
  ASSERT_FALSE(skey.empty());
  EXPECT_EQ(rig.CountLog(skey), 0);
  for (const Json::Value& t : rig.Cloud("/tokens").json) {
    const std::string token = t.asString();
    if (token.size() >= 6) {
      EXPECT_EQ(rig.CountLog(token), 0) << token;
    }
  }

  // The disk takes no more (a directory where the temporary file must go
  // fails the write even for root): the renewed key is kept in memory, the
  // failure logged once, and the cloud keeps working without a renewal per
  // call.
  ::unlink((cfg + "qy.ini.tmp").c_str());  // the planted link, if the renewal left it (it should not)
  ASSERT_TRUE(MakeDirs(cfg + "qy.ini.tmp"));
  const std::string before = test::ReadWholeFile(cfg + "qy.ini");
  ASSERT_TRUE(rig.CloudPost("/skey/expire", Json::Value(Json::objectValue)).ok());
  const size_t refreshes = Requests(rig, "refresh_skey");
  ASSERT_TRUE(rig.BothWays("renewed but not saved").ok) << rig.Diagnostics();
  const size_t afterRenewal = Requests(rig, "refresh_skey");
  EXPECT_GT(afterRenewal, refreshes);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.BothWays("kept in memory " + std::to_string(i)).ok);
  EXPECT_EQ(Requests(rig, "refresh_skey"), afterRenewal);
  EXPECT_EQ(rig.CountLog("the renewed session key cannot be saved to"), 1);
  EXPECT_EQ(test::ReadWholeFile(cfg + "qy.ini"), before);
  EXPECT_EQ(rig.WorkerPids().size(), 1u);
}

TEST(SecurityE2E, UntrustedCloudInputIsRefusedAndAnUnreadableCounterFileFetchesNoHistory) {
  RigOptions o;
  o.generalconf.clear();
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartSimulators(&why)) << why;
  // generalconf.ini is there but cannot be read (not even by root: a socket).
  const std::string conf = rig.root().config() + "generalconf.ini";
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, conf.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << conf;
  // The cloud's history: taking maxmsgid as 0 would fetch all of it.
  for (int i = 0; i < 3; ++i) ASSERT_NE(rig.CloudUserSends("zhang", {"alice"}, "old-" + std::to_string(i), {}, false), 0u);
  ASSERT_TRUE(rig.StartWatchdog(&why)) << why;
  ASSERT_TRUE(rig.WaitBridgeUp(20)) << rig.Diagnostics();
  const uint64_t fresh = rig.CloudUserSends("zhang", {"alice"}, "fresh after start");
  EXPECT_EQ(rig.WaitImMessages(BridgeRig::ImWithText("fresh after start"), 15).size(), 1u);
  EXPECT_EQ(rig.CountLog("OndekoOnNotifyCallback msgid " + std::to_string(fresh) + " maxmsgid is unknown"), 1);

  // URLs the cloud hands out: plain http, a local file, and the simulator
  // under a host name the bridge is not configured with. Each attempt with
  // one fails; the retry gets a proper URL and the file goes through.
  const std::string api = rig.Cloud("/state").json["api_host"].asString();  // 127.0.0.1:<port>
  const std::string foreign = "https://localhost:" + api.substr(api.rfind(':') + 1);
  const std::string plain = "http://127.0.0.1:" + std::to_string(rig.cloudControl());
  const std::vector<std::pair<std::string, std::string>> urls = {
      {plain + "/media/upload?type={type}", plain + "/media/download?media_id={media_id}"},
      {"file:///etc/hostname", "file:///etc/hostname?media_id={media_id}"},
      {foreign + "/media/upload?type={type}&handed=1", foreign + "/media/download?handed=2&media_id={media_id}"}};
  for (size_t i = 0; i < urls.size(); ++i) {
    Json::Value hand;
    hand["upload_url"] = urls[i].first;
    hand["media_url"] = urls[i].second;
    ASSERT_TRUE(rig.CloudPost("/hand_out_urls", hand).ok());
    const std::string n = std::to_string(i);
    const std::string up = "up-" + n + ".txt", down = "down-" + n + ".txt";
    ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, "file " + n, OneFile(up, "to the cloud " + n)).empty());
    ASSERT_NE(rig.CloudUserSends("zhang", {"bob"}, "", CloudFiles(rig.CloudPutMedia(down, "to the IM " + n, false))),
              0u);
    EXPECT_EQ(rig.WaitCloudSent(BridgeRig::SentWithContent("file " + n), 30).size(), 1u) << urls[i].first;
    EXPECT_TRUE(WaitUntil([&] { return SentFileNamed(rig, down); }, 30)) << urls[i].second;
  }
  EXPECT_GE(rig.CountLog("upload URL '" + plain), 1);
  EXPECT_GE(rig.CountLog("upload URL 'file:///etc/hostname' refused"), 1);
  EXPECT_GE(rig.CountLog("media URL '" + plain), 1);
  EXPECT_GE(rig.CountLog("media URL 'file:///etc/hostname"), 1);
  int foreignSeen = 0;
  for (const Json::Value& r : rig.Cloud("/requests").json) {
    if (r["target"].asString().find("handed=") == std::string::npos) continue;
    ++foreignSeen;
    EXPECT_EQ(r["vid"].asString(), "") << r["target"];
    EXPECT_EQ(r["skey"].asString(), "") << r["target"];
  }
  EXPECT_EQ(foreignSeen, 2);

  // Nothing of the history came, nothing was fetched, and the unreadable
  // file is still what it was.
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(rig.ImMessages(BridgeRig::ImWithText("old-" + std::to_string(i))).empty());
  EXPECT_EQ(Requests(rig, "fetch_msg"), 0u);
  struct stat st;
  ASSERT_EQ(::lstat(conf.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  // Once per worker (one that ended itself for the machine's CPU load, with
  // the default limit of the unread file, is followed by another).
  EXPECT_GE(rig.CountLog("is not overwritten"), 1);
  EXPECT_LE(rig.CountLog("is not overwritten"), static_cast<int>(rig.WorkerPids().size()));
  ::close(sock);
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
