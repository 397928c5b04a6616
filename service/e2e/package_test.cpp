// The Debian package, installed and run. Each test makes a throwaway root: a
// copy-on-write view of this machine in a mount namespace of this process,
// so that apt, adduser and the maintainer scripts change nothing outside it.
// There apt installs the package, the installed nuv4ondeko runs as the user
// nuv4ondeko (as its unit would start it, without the service manager)
// against the simulators, and the package is removed and purged, or
// upgraded with work in flight. Needs root and overlayfs; the package is
// named by NUV_DEB (scripts/test.sh builds it with scripts/build-deb.sh).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <map>
#include <set>
#include <sstream>

#include "common/paths.h"
#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

const char kState[] = "/var/lib/nuv4ondeko";
const char kLogs[] = "/var/log/nuv4ondeko";

// The throwaway root: this machine's root file system as the lower layer of
// an overlay whose upper layer is a tmpfs, with /proc, /dev and /sys. Every
// write lands in the tmpfs and goes with the mount namespace.
class ThrowawayRoot {
 public:
  ~ThrowawayRoot() {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    // Only what is certainly ours: the command outputs, then empty directories.
    for (const std::string& n : test::DirEntries(base_)) ::unlink((base_ + "/" + n).c_str());
    ::rmdir(dir_.c_str());
    ::rmdir(layers_.c_str());
    ::rmdir(base_.c_str());
  }

  bool Make(std::string* why) {
    static const bool privateMounts =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!privateMounts) return *why = "cannot make a private mount namespace", false;
    char tmpl[] = "/tmp/nuvpkg-XXXXXX";
    if (!::mkdtemp(tmpl)) return *why = "mkdtemp failed", false;
    base_ = tmpl;
    dir_ = base_ + "/root";
    layers_ = base_ + "/layers";
    ::mkdir(dir_.c_str(), 0755);
    ::mkdir(layers_.c_str(), 0700);
    if (!Mount("tmpfs", layers_, "tmpfs", 0, "size=2g,mode=0700")) return *why = "no tmpfs", false;
    ::mkdir((layers_ + "/upper").c_str(), 0755);
    ::mkdir((layers_ + "/work").c_str(), 0755);
    const std::string opts = "lowerdir=/,upperdir=" + layers_ + "/upper,workdir=" + layers_ + "/work";
    if (!Mount("overlay", dir_, "overlay", 0, opts.c_str())) return *why = "no overlayfs", false;
    if (!Mount("proc", dir_ + "/proc", "proc", 0, nullptr) ||
        !Mount("/dev", dir_ + "/dev", nullptr, MS_BIND | MS_REC, nullptr) ||
        !Mount("/sys", dir_ + "/sys", nullptr, MS_BIND | MS_REC, nullptr))
      return *why = "cannot mount /proc, /dev, /sys in the root", false;
    return true;
  }

  // systemd-nspawn mounts /proc, /dev and /sys itself.
  void UnmountSystemDirs() {
    for (const char* d : {"/proc", "/dev", "/sys"}) {
      ::umount2(At(d).c_str(), MNT_DETACH);
      mounts_.erase(std::remove(mounts_.begin(), mounts_.end(), At(d)), mounts_.end());
    }
  }

  // A path in the root as this process reaches it (absolute links inside
  // the root are not resolved in it: use Sh for those).
  std::string At(const std::string& path) const { return dir_ + path; }

  // sh -c cmd as root inside the root; the exit code (its output is
  // printed when it fails).
  int Sh(const std::string& cmd) {
    std::string out;
    int rc = Run(cmd, &out);
    if (rc != 0) std::fprintf(stderr, "[package] '%s' -> %d:\n%s\n", cmd.c_str(), rc, out.c_str());
    return rc;
  }
  // What sh -c cmd prints, whatever its exit code.
  std::string Out(const std::string& cmd) {
    std::string out;
    Run(cmd, &out);
    return out;
  }

  // Every entry of the upper layer (what differs from this machine) with a
  // stamp of its content and metadata.
  std::map<std::string, std::string> Changes() const {
    std::map<std::string, std::string> all;
    Walk(layers_ + "/upper", "", all);
    return all;
  }

  // Starts the installed watchdog as its unit would: as the user
  // nuv4ondeko, without capabilities or new privileges, in the root's
  // file system. It dies with this process.
  std::unique_ptr<Subprocess> StartWatchdog(const std::string& outFile) {
    std::vector<std::string> env = CleanEnvironment();
    auto p = std::make_unique<Subprocess>();
    if (!p->Start("/usr/sbin/chroot",
                  {dir_, "/usr/bin/setpriv", "--reuid=nuv4ondeko", "--regid=nuv4ondeko", "--init-groups",
                   "--no-new-privs", "--bounding-set=-all", "--inh-caps=-all", "--pdeathsig=KILL", "--",
                   "/usr/sbin/nuv4ondeko"},
                  env, outFile))
      return nullptr;
    return p;
  }

  // The installed service's log lines.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& n : test::DirEntries(At(kLogs))) {
      if (n.size() < 4 || n.compare(n.size() - 4, 4, ".log") != 0) continue;
      std::istringstream in(test::ReadWholeFile(At(kLogs) + "/" + n));
      for (std::string l; std::getline(in, l);) lines.push_back(l);
    }
    return lines;
  }
  std::vector<pid_t> WorkerPids() const {
    std::vector<pid_t> pids;
    const std::string tag = "StartChildProc CreateProcess() OK , child pid ";
    for (const std::string& l : LogLines()) {
      size_t at = l.find(tag);
      if (at != std::string::npos) pids.push_back(std::atoi(l.c_str() + at + tag.size()));
    }
    return pids;
  }
  std::string LogTail(size_t n = 40) const {
    std::vector<std::string> l = LogLines();
    std::string out;
    for (size_t i = l.size() > n ? l.size() - n : 0; i < l.size(); ++i) out += l[i] + "\n";
    return out;
  }

 private:
  int Run(const std::string& cmd, std::string* out) {
    Subprocess p;
    const std::string file = base_ + "/sh-" + std::to_string(++commands_) + ".out";
    std::vector<std::string> env = CleanEnvironment();
    env.push_back("DEBIAN_FRONTEND=noninteractive");
    if (!p.Start("/usr/sbin/chroot", {dir_, "/bin/sh", "-c", cmd}, env, file)) return -1;
    const int rc = p.Wait(300);
    *out = p.Output();
    return rc;
  }

  bool Mount(const std::string& src, const std::string& target, const char* type, unsigned long flags,
             const char* data) {
    if (::mount(src.c_str(), target.c_str(), type, flags, data) != 0) return false;
    mounts_.push_back(target);
    return true;
  }

  static void Walk(const std::string& top, const std::string& rel, std::map<std::string, std::string>& all) {
    for (const std::string& n : test::DirEntries(top + rel)) {
      const std::string path = rel + "/" + n;
      struct stat st;
      if (::lstat((top + path).c_str(), &st) != 0) continue;
      all[path] = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                  std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                  std::to_string(st.st_mtim.tv_nsec);
      if (S_ISDIR(st.st_mode)) Walk(top, path, all);
    }
  }

  std::string base_, dir_, layers_;
  std::vector<std::string> mounts_;
  int commands_ = 0;
};

bool Under(const std::string& path, const std::string& dir) {
  return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ExeOf(pid_t pid) {
  char buf[4096];
  ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The worker process running in root (as this machine numbers it), or 0.
pid_t WorkerIn(const ThrowawayRoot& root) {
  struct stat want;
  if (::stat(root.At("/").c_str(), &want) != 0) return 0;
  for (const std::string& n : test::DirEntries("/proc")) {
    const pid_t pid = std::atoi(n.c_str());
    if (pid <= 0) continue;
    const std::string cmd = test::ReadWholeFile("/proc/" + n + "/cmdline");
    if (cmd != std::string("/usr/lib/nuv4ondeko/bin/nuv4ondeko\0/Child\0", 42)) continue;
    struct stat st;
    if (::stat(("/proc/" + n + "/root/").c_str(), &st) == 0 && st.st_dev == want.st_dev && st.st_ino == want.st_ino)
      return pid;
  }
  return 0;
}

// A test's world: the simulators (started by the rig, on loopback) and the
// throwaway root with the package installed and the operator's settings.
class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* deb = std::getenv("NUV_DEB");
    if (!deb || !*deb) GTEST_SKIP() << "NUV_DEB names no package (scripts/test.sh builds one)";
    if (::geteuid() != 0) GTEST_SKIP() << "installing a package needs root";
    deb_ = deb;
    std::string why;
    ASSERT_TRUE(root_.Make(&why)) << why;
    ASSERT_TRUE(rig_.StartSimulators(&why)) << why;
  }

  void TearDown() override {
    if (watchdog_) watchdog_->Stop(10);
  }

  // apt installs a package file: copied into the root, as an administrator
  // downloads it.
  void Install(const std::string& deb) {
    const std::string name = deb.substr(deb.rfind('/') + 1);
    test::WriteWholeFile(root_.At("/tmp/" + name), test::ReadWholeFile(deb));
    ASSERT_EQ(root_.Sh("apt-get install -y -q /tmp/" + name + " && rm /tmp/" + name), 0);
  }

  // The operator's part: service.ini for the simulators (the cloud's CA file
  // copied to /etc/ssl, the status endpoint off so that parallel runs
  // do not meet), qy.ini written through its link, the limits.
  // imDir: the IM server's installation directory instead of the
  // simulator's.
  void WriteSettings(const std::string& imDir = "") {
    std::string ini = test::ReadWholeFile(rig_.root().config() + "service.ini");
    if (!imDir.empty()) ini.replace(0, ini.find('\n', ini.find("install_dir")), "[im]\ninstall_dir = " + imDir);
    const std::string key = "ca_file = ";
    const size_t at = ini.find(key);
    ASSERT_NE(at, std::string::npos) << ini;
    const size_t end = ini.find('\n', at);
    const std::string ca = ini.substr(at + key.size(), end - at - key.size());
    test::WriteWholeFile(root_.At("/etc/ssl/nuv-cloud-ca.pem"), test::ReadWholeFile(ca));
    ini.replace(at, end - at, key + "/etc/ssl/nuv-cloud-ca.pem");
    if (ini.find("[status]") == std::string::npos) ini += "\n[status]\nlisten =\n";
    test::WriteWholeFile(root_.At("/etc/nuv4ondeko/service.ini"), ini);
    test::WriteWholeFile(root_.At("/root/qy.ini"), test::ReadWholeFile(rig_.root().config() + "qy.ini"));
    test::WriteWholeFile(root_.At("/root/generalconf.ini"), RigOptions().generalconf);
    ASSERT_EQ(root_.Sh("cat /root/qy.ini > /etc/nuv4ondeko/qy.ini && install -m 0600 -o nuv4ondeko "
                       "-g nuv4ondeko /root/generalconf.ini /var/lib/nuv4ondeko/ && rm /root/*.ini"),
              0);
  }

  // A text and a file each way, bytes exact, each arriving once. tag tells
  // the runs apart.
  void CarryTextAndFileEachWay(const std::string& tag) {
    const std::string up = tag + ": a text from alice";
    ASSERT_FALSE(rig_.ImUserSends("alice", {"bob"}, up).empty());
    EXPECT_EQ(rig_.WaitCloudSent(BridgeRig::SentWithContent(up), 20).size(), 1u) << root_.LogTail();
    const std::string down = tag + ": a text from zhang";
    ASSERT_NE(rig_.CloudUserSends("zhang", {"alice"}, down), 0u);
    EXPECT_EQ(rig_.WaitImMessages(BridgeRig::ImWithText(down), 20).size(), 1u) << root_.LogTail();
    const std::string report(150 * 1024 + 3, 'r');
    Json::Value files(Json::arrayValue);
    files.append(Json::Value(Json::objectValue));
    files[0]["name"] = tag + "-report.bin";
    files[0]["data"] = Base64Encode(report);
    files[0]["image"] = false;
    ASSERT_FALSE(rig_.ImUserSends("alice", {"bob"}, tag + ": with a file", files).empty());
    Json::Value sent = rig_.WaitCloudSent(BridgeRig::SentWithContent(tag + ": with a file"), 30);
    ASSERT_EQ(sent.size(), 1u) << root_.LogTail();
    EXPECT_EQ(rig_.Cloud("/uploads/data?media_id=" + sent[0]["file_id_list"][0].asString()).body, report);
    const std::string plan(90 * 1024 + 1, 'p');
    Json::Value media;
    media["file_id_list"].append(rig_.CloudPutMedia(tag + "-plan.bin", plan, false));
    ASSERT_NE(rig_.CloudUserSends("zhang", {"alice"}, "", media), 0u);
    auto isPlan = [&](const Json::Value& f) { return f["name"].asString() == tag + "-plan.bin"; };
    Json::Value got;
    ASSERT_TRUE(WaitUntil([&] { return (got = rig_.ImSentFiles(isPlan)).size() >= 1; }, 30)) << root_.LogTail();
    EXPECT_EQ(Base64Decode(got[0]["data"].asString()), plan);
  }

  // Starts the watchdog and, unless told otherwise, waits until the bridge
  // is up (which includes a push token bound on the cloud).
  void StartBridge(bool waitUp = true) {
    watchdog_ = root_.StartWatchdog(rig_.root().root() + "/watchdog-" + std::to_string(++starts_) + ".out");
    ASSERT_TRUE(watchdog_);
    if (waitUp) {
      ASSERT_TRUE(rig_.WaitBridgeUp(60)) << watchdog_->Output() << root_.LogTail();
    }
  }

  // systemctl stop: SIGTERM to the watchdog, which ends its worker.
  void StopBridge() {
    std::vector<pid_t> workers = root_.WorkerPids();
    ASSERT_GE(watchdog_->Stop(15), 0);
    for (pid_t w : workers) EXPECT_TRUE(WaitUntil([w] { return ProcessGone(w); }, 5)) << w;
    watchdog_.reset();
  }

  ThrowawayRoot root_;
  BridgeRig rig_;
  std::string deb_;
  std::unique_ptr<Subprocess> watchdog_;
  int starts_ = 0;
};

TEST_F(PackageTest, InstalledPackageBridgesAsItsUserAndPurgeTakesEverything) {
  const auto before = root_.Changes();
  auto t = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(Install(deb_));
  const double installS = SecondsSince(t);
  EXPECT_EQ(root_.Out("getent passwd nuv4ondeko | cut -d: -f6,7"), "/var/lib/nuv4ondeko:/usr/sbin/nologin\n");
  EXPECT_EQ(root_.Out("stat -c '%U:%G %a' /var/lib/nuv4ondeko /var/log/nuv4ondeko /var/lib/nuv4ondeko/qy.ini"),
            "nuv4ondeko:nuv4ondeko 700\nnuv4ondeko:adm 750\nnuv4ondeko:nuv4ondeko 600\n");
  EXPECT_EQ(root_.Out("readlink /etc/nuv4ondeko/qy.ini; wc -c < /etc/nuv4ondeko/qy.ini"),
            "/var/lib/nuv4ondeko/qy.ini\n0\n");
  EXPECT_EQ(root_.Out("dpkg-query -W -f='${Conffiles}' nuv4ondeko | awk 'NF {print $1}' | sort"),
            "/etc/nuv4ondeko/log.ini\n/etc/nuv4ondeko/service.ini\n");
  // The shipped programs know no test hook (they could not read one).
  EXPECT_EQ(root_.Out("grep -l NUV4ONDEKO_TEST_ /usr/lib/nuv4ondeko/bin/nuv*"), "");
  ASSERT_NO_FATAL_FAILURE(WriteSettings());

  const auto installed = root_.Changes();
  t = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  const double upS = SecondsSince(t);
  t = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(CarryTextAndFileEachWay("installed"));
  const double carryS = SecondsSince(t);
  ASSERT_NO_FATAL_FAILURE(StopBridge());

  // What it wrote belongs to its user, readable by nobody else (its logs
  // by the group adm at most), and lies in its state and log directories.
  std::istringstream entries(root_.Out("find /var/lib/nuv4ondeko /var/log/nuv4ondeko ! -type l -printf '%u:%g %m %p\\n'"));
  std::set<std::string> seen;
  for (std::string line; std::getline(entries, line);) {
    std::istringstream f(line);
    std::string owner, path;
    int mode = 0;
    f >> owner >> std::oct >> mode >> path;
    const bool logs = Under(path, kLogs);
    EXPECT_EQ(owner, path == kLogs ? "nuv4ondeko:adm" : "nuv4ondeko:nuv4ondeko") << line;
    EXPECT_EQ(mode & (logs ? 027 : 077), 0) << line;
    seen.insert(path.substr(path.rfind('/') + 1));
  }
  for (const char* name : {"generalconf.ini", "token.ini", "journal.db", "qy.ini", "registration.ini", "TmpFiles",
                           "Download"})
    EXPECT_EQ(seen.count(name), 1u) << name;
  for (const auto& [path, stamp] : root_.Changes()) {
    auto was = installed.find(path);
    if (was != installed.end() && was->second == stamp) continue;
    if (Under(path, kState) || Under(path, kLogs)) continue;
    ADD_FAILURE() << "written outside its directories: " << path;
  }

  // Removal keeps the state and the operator's settings; purging takes them,
  // the logs and the user.
  t = SteadyClock::now();
  ASSERT_EQ(root_.Sh("apt-get remove -y -q nuv4ondeko"), 0);
  EXPECT_EQ(root_.Out("ls /usr/sbin/nuv4ondeko /usr/lib/nuv4ondeko /lib/systemd/system/Nuv4OndekoService.service 2>&1 "
                      ">/dev/null | wc -l"),
            "3\n");
  EXPECT_EQ(root_.Sh("test -s /etc/nuv4ondeko/service.ini && test -s /var/lib/nuv4ondeko/qy.ini && "
                     "test -s /var/lib/nuv4ondeko/journal.db && getent passwd nuv4ondeko >/dev/null"),
            0);
  ASSERT_EQ(root_.Sh("apt-get purge -y -q nuv4ondeko"), 0);
  std::printf("[package] installed in %.1f s, bridge up %.1f s later, a text and a file each way in %.1f s; "
              "removed and purged in %.1f s\n",
              installS, upS, carryS, SecondsSince(t));
  EXPECT_EQ(root_.Out("grep -l nuv4ondeko /etc/passwd /etc/group /etc/shadow /etc/gshadow; "
                      "ls -d /etc/nuv4ondeko /var/lib/nuv4ondeko /var/log/nuv4ondeko 2>/dev/null"),
            "");
  for (const auto& [path, stamp] : root_.Changes()) {
    auto was = before.find(path);
    if (path.find("nuv4ondeko") != std::string::npos || path.find("Nuv4OndekoService") != std::string::npos)
      ADD_FAILURE() << "left after the purge: " << path;
    else if (path == "/etc/odbcinst.ini" && (was == before.end() || was->second != stamp))
      ADD_FAILURE() << "the ODBC driver list changed";
  }
}

TEST_F(PackageTest, UpgradeKeepsWorkInFlightAndTheOperatorsSettings) {
  // The newer build: the same files under a higher version.
  const std::string dir = rig_.root().root() + "/v2";
  const std::string v2 = rig_.root().root() + "/nuv4ondeko_upgrade.deb";
  ASSERT_EQ(std::system(("dpkg-deb -R '" + deb_ + "' '" + dir + "' && sed -i 's/^Version: .*/&+1/' '" + dir +
                         "/DEBIAN/control' && dpkg-deb --root-owner-group -b '" + dir + "' '" + v2 + "' >/dev/null")
                            .c_str()),
            0);
  ASSERT_NO_FATAL_FAILURE(Install(deb_));
  ASSERT_NO_FATAL_FAILURE(WriteSettings());
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_TRUE(rig_.BothWays("before the upgrade").ok) << root_.LogTail();

  // The cloud fails everything for a while: texts wait in the journal.
  Json::Value outage;
  outage["endpoint"] = "*";
  outage["kind"] = "status";
  outage["httpStatus"] = 503;
  outage["seconds"] = 25;
  ASSERT_TRUE(rig_.CloudPost("/faults", outage).ok());
  const auto cloudDown = SteadyClock::now();
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(rig_.ImUserSends("alice", {"zhang"}, "in flight " + std::to_string(i)).empty());
  ASSERT_TRUE(WaitUntil([&] { return root_.Out("nuv_journal | grep -c TXT2ONDEKO") == "3\n"; }, 20))
      << root_.Out("nuv_journal");

  // The operator's edits since the installation.
  const std::string ini = test::ReadWholeFile(root_.At("/etc/nuv4ondeko/service.ini")) + "; edited\n";
  test::WriteWholeFile(root_.At("/etc/nuv4ondeko/service.ini"), ini);
  const std::string qy = root_.Out("cat /etc/nuv4ondeko/qy.ini");
  const std::string limits = test::ReadWholeFile(root_.At("/var/lib/nuv4ondeko/generalconf.ini"));

  auto t = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(Install(v2));
  const double installS = SecondsSince(t);
  const pid_t old = watchdog_->pid();
  EXPECT_NE(ExeOf(old).find(" (deleted)"), std::string::npos) << "the old build still runs: " << ExeOf(old);
  // What the service manager does after the upgrade: a restart.
  // (The cloud may still be failing: no token can be bound yet.)
  t = SteadyClock::now();
  ASSERT_NO_FATAL_FAILURE(StopBridge());
  ASSERT_NO_FATAL_FAILURE(StartBridge(false));
  const double restartS = SecondsSince(t);
  EXPECT_TRUE(WaitUntil([&] { return EndsWith(ExeOf(watchdog_->pid()), "/usr/lib/nuv4ondeko/bin/nuv4ondeko"); }, 10))
      << ExeOf(watchdog_->pid());
  const std::string control = test::ReadWholeFile(dir + "/DEBIAN/control");
  const size_t v = control.find("Version: ") + 9;
  EXPECT_EQ(root_.Out("dpkg-query -W -f='${Version}' nuv4ondeko"), control.substr(v, control.find('\n', v) - v));

  for (int i = 0; i < 3; ++i) {
    const std::string text = "in flight " + std::to_string(i);
    EXPECT_EQ(rig_.WaitCloudSent(BridgeRig::SentWithContent(text), 100).size(), 1u) << text << root_.LogTail();
  }
  std::printf("[package] upgrade installed in %.1f s, restarted in %.1f s; the texts waiting in the "
              "journal arrived %.1f s after the cloud failed for %d s\n",
              installS, restartS, SecondsSince(cloudDown), outage["seconds"].asInt());
  ASSERT_TRUE(rig_.BothWays("after the upgrade").ok) << root_.LogTail();
  EXPECT_EQ(root_.Out("nuv_journal | grep -c TXT2ONDEKO"), "0\n");
  EXPECT_EQ(test::ReadWholeFile(root_.At("/etc/nuv4ondeko/service.ini")), ini);
  EXPECT_EQ(root_.Out("cat /etc/nuv4ondeko/qy.ini"), qy);
  // The counters moved on; the operator's limits stayed.
  const std::string now = test::ReadWholeFile(root_.At("/var/lib/nuv4ondeko/generalconf.ini"));
  EXPECT_EQ(now.substr(now.find(";", now.find(";") + 1)), limits.substr(limits.find(";", limits.find(";") + 1)));
}

// The shipped unit under a real systemd: the throwaway root boots as a
// container (sharing this machine's network, so the simulators are
// reachable) into a target that starts the service and, under the same
// sandbox, the directory export's dry run over the Access fixture. Nothing
// the bridge does may be refused: readiness reaches systemd, texts and
// files cross both ways, a killed worker is replaced by the watchdog, the
// Access driver reads the database, and the stop is clean.
TEST_F(PackageTest, ShippedUnitRunsTheBridgeUnderSystemd) {
  if (std::system("command -v systemd-nspawn >/dev/null") != 0)
    GTEST_SKIP() << "systemd-nspawn (package systemd-container) is not installed";
  ASSERT_NO_FATAL_FAILURE(Install(deb_));
  ASSERT_NO_FATAL_FAILURE(WriteSettings("/srv/nuvserver"));
  ASSERT_TRUE(MakeDirs(root_.At("/srv/nuvserver/Config")) && MakeDirs(root_.At("/srv/nuvserver/db")));
  test::WriteWholeFile(root_.At("/srv/nuvserver/Config/nuvserver.xml"),
                       "<NuvServer><DBServer DBType=\"access\"></DBServer></NuvServer>");
  test::WriteWholeFile(root_.At("/srv/nuvserver/db/nuvdb.mdb"),
                       test::ReadWholeFile(std::string(NUV_SOURCE_DIR) + "/directory/testdata/nuvdb.mdb"));
  // The dry run under the service's own unit, made a one-shot.
  std::istringstream unit(test::ReadWholeFile(root_.At("/lib/systemd/system/Nuv4OndekoService.service")));
  std::string check;
  for (std::string line; std::getline(unit, line);) {
    if (line.rfind("Restart", 0) == 0) continue;
    if (line == "Type=notify") line = "Type=oneshot";
    if (line.rfind("ExecStart=", 0) == 0)
      line = "ExecStart=/usr/lib/nuv4ondeko/bin/nuv_dir_export /var/lib/nuv4ondeko/export-check";
    check += line + "\n";
  }
  test::WriteWholeFile(root_.At("/etc/systemd/system/nuv-export-check.service"), check);
  test::WriteWholeFile(root_.At("/etc/systemd/system/nuv-check.target"),
                       "[Unit]\nWants=Nuv4OndekoService.service nuv-export-check.service\n");
  MakeDirs(root_.At("/var/log/journal"));
  // A refused system call kills the process here instead of failing with
  // EPERM, so that no refusal goes unnoticed.
  for (const char* u : {"Nuv4OndekoService", "nuv-export-check"}) {
    const std::string d = root_.At("/etc/systemd/system/") + u + ".service.d";
    MakeDirs(d);
    test::WriteWholeFile(d + "/strict.conf", "[Service]\nSystemCallErrorNumber=kill\n");
  }
  const std::string journal = "journalctl -q -o cat -D /var/log/journal ";

  root_.UnmountSystemDirs();
  Subprocess box;
  // However the test ends, the container is shut down in order.
  std::shared_ptr<void> shutdown(nullptr, [&](void*) {
    box.Signal(SIGTERM);
    if (box.Wait(60) < 0) box.Signal(SIGKILL);
  });
  ASSERT_TRUE(box.Start("/usr/bin/systemd-nspawn",
                        {"-q", "-D", root_.At(""), "-b", "--register=no", "--keep-unit", "--private-users=no",
                         "--link-journal=no", "--", "systemd.unit=nuv-check.target"},
                        CleanEnvironment(), rig_.root().root() + "/container.out"));
  ASSERT_TRUE(rig_.WaitBridgeUp(90)) << box.Output() << root_.LogTail();
  ASSERT_NO_FATAL_FAILURE(CarryTextAndFileEachWay("systemd"));

  // The worker, as this machine sees it: its user, no capabilities, no new
  // privileges, a system-call filter. Killed, the watchdog replaces it.
  const pid_t worker = WorkerIn(root_);
  ASSERT_GT(worker, 0) << root_.LogTail();
  const std::string status = test::ReadWholeFile("/proc/" + std::to_string(worker) + "/status");
  const std::string uid = root_.Out("id -u nuv4ondeko");
  EXPECT_NE(status.find("\nUid:\t" + uid.substr(0, uid.size() - 1) + "\t"), std::string::npos) << status;
  for (const char* line : {"\nNoNewPrivs:\t1\n", "\nSeccomp:\t2\n", "\nCapEff:\t0000000000000000\n",
                           "\nCapBnd:\t0000000000000000\n"})
    EXPECT_NE(status.find(line), std::string::npos) << line << status;
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  pid_t next = 0;
  EXPECT_TRUE(WaitUntil([&] { return (next = WorkerIn(root_)) > 0 && next != worker; }, 20)) << root_.LogTail();
  EXPECT_TRUE(rig_.BothWays("after the worker was killed", 40).ok) << root_.LogTail();
  EXPECT_EQ(root_.WorkerPids().size(), 2u) << "a worker ended by itself:\n" << root_.LogTail();

  std::string out;
  EXPECT_TRUE(WaitUntil([&] { return (out = root_.Out(journal + "-u nuv-export-check.service")).find("users: ") !=
                                     std::string::npos; }, 30))
      << out;
  EXPECT_NE(out.find("departments: 5 -> "), std::string::npos) << out;
  EXPECT_NE(out.find("users: 3 -> "), std::string::npos) << out;

  // systemctl poweroff, as the container's manager does on SIGTERM.
  box.Signal(SIGTERM);
  EXPECT_GE(box.Wait(60), 0) << box.Output();
  shutdown.reset();
  out = root_.Out(journal + "-u Nuv4OndekoService.service");
  EXPECT_NE(out.find("Started Nuv4OndekoService.service"), std::string::npos) << "never ready: " << out;
  EXPECT_NE(out.find("Nuv4OndekoService.service: Deactivated successfully."), std::string::npos) << out;
  for (const char* bad : {"status=31/SYS", "Failed with result", "Permission denied", "timed out"})
    EXPECT_EQ(out.find(bad), std::string::npos) << bad << ":\n" << out;
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
