// Start-up over a large journal: N waiting IM texts (default 1,000,000) are
// written to a journal in a temporary directory; then
// the time to open it, to take a queue's window of 5000 out of it, and the
// resident memory the open index costs. With --parked every entry has been
// tried and parked, as after a cloud outage (each row written twice).
// Run: build/processor/bench_journal [N] [--parked]

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "processor/journal.h"

namespace nuv {
namespace {

double RssMb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, std::strlen(field), field) == 0) return std::atof(line.c_str() + std::strlen(field)) / 1024;
  return -1;
}

double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long long FileBytes(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

std::string self_;

int Run(int n, bool parked) {
  char dir[] = "/tmp/nuv-journal-bench-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  const std::string path = std::string(dir) + "/journal.db";
  const int64_t now = 1765274400;
  {
    WorkJournal j;
    WorkJournal::Options o;
    o.syncToDevice = false;
    j.Open(path, o);
    const auto t0 = std::chrono::steady_clock::now();
    auto text = [](int i) {
      auto m = std::make_unique<CQueueMsg>();
      m->msgid = static_cast<uint64_t>(i) + 1;
      m->from = L"alice";
      m->to = L"bob";
      m->key = L"{6B29FC40-CA47-1067-B31D-00DD010662DA}";
      m->content = L"bench backlog c" + std::to_wstring(i % 50) + L" #" + std::to_wstring(i);
      return m;
    };
    // Parked: each entry is tried (its row rewritten) and parked a window
    // behind the intake, as the worker writes them during an outage.
    constexpr int kLag = 5000;
    std::vector<uint64_t> ids;
    auto park = [&](int k) {
      WorkItem back = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, text(k), static_cast<int32_t>(now));
      back.retryCount = 1;
      j.Update(ids[static_cast<size_t>(k)], back, WQUEUE_QID_TXT2ONDEKO, false);
      j.Park(ids[static_cast<size_t>(k)], back, WQUEUE_QID_TXT2ONDEKO, "cloud not reachable", now + k / 1000);
    };
    for (int i = 0; i < n; ++i) {
      const uint64_t id = j.Add(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, text(i), static_cast<int32_t>(now)),
                                WQUEUE_QID_TXT2ONDEKO, now, false);
      if (parked) {
        ids.push_back(id);
        if (i >= kLag) park(i - kLag);
      } else {
        j.Unload(id);  // waits in the journal, as a backlog beyond the window does
      }
      if (i % 10000 == 9999) j.Flush();
    }
    if (parked)
      for (int k = std::max(0, n - kLag); k < n; ++k) park(k);
    j.Flush();
    std::printf("wrote %d %s entries in %.1f s; journal %.1f MB\n", n, parked ? "parked" : "waiting", Since(t0),
                FileBytes(path) / 1048576.0);
  }
  // The open is measured in a fresh process: this one's heap holds what
  // the writing freed.
  const std::string cmd = "'" + self_ + "' --open '" + path + "'";
  const int rc = std::system(cmd.c_str());
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return rc == 0 ? 0 : 1;
}

int Open(const std::string& path) {
  const int64_t now = 1765274400;
  const double before = RssMb("VmRSS:");
  const auto t0 = std::chrono::steady_clock::now();
  WorkJournal j;
  j.Open(path);
  const double open = Since(t0);
  const double after = RssMb("VmRSS:");
  const auto t1 = std::chrono::steady_clock::now();
  const size_t window = j.TakeWaiting(WQUEUE_QID_TXT2ONDEKO, 5000, now).size();
  std::printf("open %.2f s (%zu entries, %d parked); first window of %zu in %.3f s; index %.1f MB resident "
              "(%.1f bytes an entry); peak %.1f MB\n",
              open, j.Size(), j.Parked(now).total, window, Since(t1), after - before,
              (after - before) * 1048576.0 / static_cast<double>(j.Size() ? j.Size() : 1), RssMb("VmHWM:"));
  j.Close();
  return 0;
}

}  // namespace
}  // namespace nuv

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--open") return nuv::Open(argv[2]);
  nuv::self_ = argv[0];
  int n = 1000000;
  bool parked = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--parked")
      parked = true;
    else
      n = std::atoi(argv[i]);
  }
  return nuv::Run(n, parked);
}
