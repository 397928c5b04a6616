// Benchmark of the directory export and the presence diff.
//   bench_export [USERS DEPTS MEMBERSHIPS]   (default 100000 5000 150000)
// Builds a generated directory in a SQLite database (the simulator's layout),
// then times through ODBC: SaveDeptFile + SaveUserFile on a first run and on
// an unchanged second run, with the peak resident memory of each run; and the
// presence diff of 100,000 names across the three states (no network).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "common/paths.h"
#include "common/service_ini.h"
#include "common/test_support.h"
#include "directory/db_processor.h"
#include "directory/presence_diff.h"
#include "sim/imdb/im_directory_db.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A line of /proc/self/status in MB: VmHWM (peak resident set since the
// last ResetPeak), VmRSS.
double StatusMb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field)) / 1024.0;
  }
  return -1;
}
double PeakMb() { return StatusMb("VmHWM:"); }

void ResetPeak() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

bool Generate(nuv::sim::ImDirectoryDb& db, int users, int depts, int members) {
  std::mt19937 rng(42);
  if (!db.Begin()) return false;
  for (int d = 1; d <= depts; ++d) {
    int parent = d == 1 ? 0 : 1 + static_cast<int>(rng() % static_cast<unsigned>(d - 1));
    if (!db.AddDept(d, parent, "部门" + std::to_string(d), d % 100)) return false;
  }
  for (int u = 1; u <= users; ++u) {
    nuv::sim::SimUser su;
    su.id = u;
    su.account = "user" + std::to_string(u);
    su.name = "用户" + std::to_string(u);
    su.mobile = "138" + std::to_string(10000000 + u);
    su.email = su.account + "@example.com";
    su.gender = u % 3;
    su.position = u % 7 ? "工程师" : "经理";
    if (!db.AddUser(su)) return false;
  }
  // Every user in one department, the rest spread at random.
  for (int m = 0; m < members; ++m) {
    int user = m < users ? m + 1 : 1 + static_cast<int>(rng() % static_cast<unsigned>(users));
    int dept = 1 + static_cast<int>(rng() % static_cast<unsigned>(depts));
    if (!db.AddMembership(dept, user, m)) return false;
  }
  return db.Commit();
}

// CPU time of this process (user + system), in seconds: on a shared
// machine it varies less than the wall-clock time.
double CpuSeconds() {
  struct rusage u {};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void RunExport(const char* label, const std::string& dir) {
  const double before = StatusMb("VmRSS:");
  ResetPeak();
  const double cpu0 = CpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  nuv::CDBProcessor p;
  p.OpenDB(p.GetDBPath());
  int d = p.SaveDeptFile(dir);
  double td = Seconds(t0);
  int u = p.SaveUserFile(dir);
  double total = Seconds(t0);
  const double peak = PeakMb();
  std::printf("%-22s SaveDeptFile=%d SaveUserFile=%d  dept %.3f s, total %.3f s (CPU %.3f s), peak RSS %.1f MB "
              "(%.1f MB before)\n",
              label, d, u, td, total, CpuSeconds() - cpu0, peak, before);
  // The files' digests, to compare the bytes of one build with another's.
  for (const char* name : {nuv::kDeptSnapshotName, nuv::kUserSnapshotName}) {
    std::wstring md5;
    const std::string path = dir + name;
    nuv::CDBProcessor::GetFileMd5(path, md5);
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::printf("%24s %s %lld bytes, MD5 %s\n", "", name, static_cast<long long>(in.tellg()),
                std::string(md5.begin(), md5.end()).c_str());
  }
}

std::string Names(int from, int to) {
  std::string s;
  for (int i = from; i < to; ++i) s += "user" + std::to_string(i) + ";";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  int users = argc > 3 ? std::atoi(argv[1]) : 100000;
  int depts = argc > 3 ? std::atoi(argv[2]) : 5000;
  int members = argc > 3 ? std::atoi(argv[3]) : 150000;
  if (users < 1 || depts < 1 || members < users) {
    std::fprintf(stderr, "usage: %s [USERS DEPTS MEMBERSHIPS>=USERS]\n", argv[0]);
    return 1;
  }
  nuv::test::TempInstallRoot root;  // scratch install root, removed at exit
  const std::string im = root.root() + "/nuvserver";
  root.WriteServiceIni("[im]\ninstall_dir=" + im + "\n");
  std::string error;
  auto db = nuv::sim::ImDirectoryDb::Create(im, error);
  if (!db) {
    std::fprintf(stderr, "cannot create the database: %s\n", error.c_str());
    return 1;
  }
  auto t0 = std::chrono::steady_clock::now();
  if (!Generate(*db, users, depts, members)) {
    std::fprintf(stderr, "generating failed: %s\n", db->lastError().c_str());
    return 1;
  }
  std::printf("generated %d users, %d departments, %d memberships in %.2f s\n", users, depts,
              members, Seconds(t0));

  const std::string dir = root.config();
  RunExport("export, first run:", dir);
  RunExport("export, unchanged run:", dir);

  // Presence: 100,000 names. The previous run had 0-59999 online, 60000-
  // 89999 offline, 90000-99999 away; now a fifth of them changed state.
  const int n = 100000;
  std::vector<std::string> names;
  nuv::DiffPresenceList(Names(0, 60000), nuv::kPresenceOnline, names, dir);
  nuv::DiffPresenceList(Names(60000, 90000), nuv::kPresenceOffline, names, dir);
  nuv::DiffPresenceList(Names(90000, n), nuv::kPresenceAway, names, dir);
  const std::string online = Names(20000, 80000);
  const std::string offline = Names(80000, 100000) + Names(0, 10000);
  const std::string away = Names(10000, 20000);
  names.clear();
  t0 = std::chrono::steady_clock::now();
  size_t sent = 0;
  for (auto [text, state] : {std::make_pair(&online, nuv::kPresenceOnline),
                             std::make_pair(&offline, nuv::kPresenceOffline),
                             std::make_pair(&away, nuv::kPresenceAway)}) {
    names.clear();
    nuv::DiffPresenceList(*text, state, names, dir);
    sent += names.size();
  }
  std::printf("presence diff, %d names: %.3f s, %zu state changes found\n", n, Seconds(t0), sent);
  return 0;
}
