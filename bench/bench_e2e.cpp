// bench_e2e: the whole bridge on loopback, measured. Starts ondeko_sim,
// nuv_im_sim and nuv4ondeko (console watchdog, whose worker bridges) as in the
// end-to-end tests, then measures
//   - text latency IM -> cloud (event raised at the IM simulator -> send_msg
//     taken by the cloud simulator) and cloud -> IM (message created at the
//     cloud simulator -> SendMessage taken by the IM simulator), from the
//     simulators' own CLOCK_MONOTONIC stamps;
//   - a burst of distinct texts each way, beside the raw rate of the step
//     that bounds it, measured in the same run from this process;
//   - one large file each way, beside the raw upload and download rate of
//     the cloud transport;
//   - the worker's resident memory and CPU time (/proc of its pid).
//
//   build/bench/bench_e2e [--quick] [--latency N] [--pace-ms MS] [--burst N]
//                         [--file-mib N] [--idle-s S] [--no-files] [--journal on|nosync|off]
//                         [--status on|off|scraped] [--backlog [N]] [--deadline-s S]
//
// --status: the worker's status endpoint on (the default), off, or on and
// scraped every second for the whole run (someone watching).
// --backlog N (default 100000) adds, after the measurements above, a day's
// backlog in small: N IM texts accepted while the cloud fails every request,
// then the cloud back (see BacklogRun below).
//
// Not a test: prints a table and exits 1 only when the bridge could not be
// brought up or a measurement lost messages.
#include <httplib.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cloud/http_transport.h"
#include "cloud/ondeko_api.h"
#include "common/file_util.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "im/sdk.h"
#include "service/e2e/bridge_rig.h"
#include "sim/monotonic.h"

namespace {

using nuv::e2e::BridgeRig;
using nuv::sim::MonotonicMicros;

struct Options {
  int latency = 200;      // messages per direction
  int paceMs = 250;       // IM -> cloud: one message every paceMs
  int burst = 2000;       // texts per direction
  int fileMib = 64;
  int idleSeconds = 10;
  bool files = true;
  std::string journal = "on";  // on | nosync (no device flush) | off
  std::string status = "on";   // on | off | scraped (GET /metrics every second)
  int backlog = 0;             // texts of the backlog run; 0: no backlog run
  int deadlineSeconds = 0;     // the backlog run's limit; 0: from its size
};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string LoadAvg() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// Resident memory (KiB) and CPU time (user + system, seconds) of a process.
struct ProcSample {
  long rssKib = -1;
  double cpuSeconds = -1;
  int64_t atUs = 0;
};

ProcSample SampleProc(pid_t pid) {
  ProcSample s;
  s.atUs = MonotonicMicros();
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) s.rssKib = std::atol(line.c_str() + 6);
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return s;
  std::istringstream rest(text.substr(close + 2));
  std::vector<std::string> f;
  std::string tok;
  while (rest >> tok) f.push_back(tok);
  // After the command: state is field 3, utime 14, stime 15.
  if (f.size() > 12) {
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    s.cpuSeconds = (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / tick;
  }
  return s;
}

double CpuPercent(const ProcSample& a, const ProcSample& b) {
  const double wall = (b.atUs - a.atUs) / 1e6;
  return wall > 0 ? 100.0 * (b.cpuSeconds - a.cpuSeconds) / wall : -1;
}

// A kept-alive control connection for the frequent small requests.
class Control {
 public:
  explicit Control(uint16_t port) : cli_("127.0.0.1", port) {
    cli_.set_keep_alive(true);
    cli_.set_connection_timeout(2, 0);
    cli_.set_read_timeout(120, 0);
    cli_.set_write_timeout(120, 0);
  }
  Json::Value Get(const std::string& path) { return Parse(cli_.Get(path.c_str())); }
  Json::Value Post(const std::string& path, const Json::Value& body) {
    return Parse(cli_.Post(path.c_str(), nuv::e2e::ToJsonText(body), "application/json"));
  }
  Json::Value PostBytes(const std::string& path, const std::string& bytes) {
    return Parse(cli_.Post(path.c_str(), bytes, "application/octet-stream"));
  }
  Json::Value Delete(const std::string& path) { return Parse(cli_.Delete(path.c_str())); }

 private:
  Json::Value Parse(const httplib::Result& r) {
    Json::Value v;
    if (!r || r->status != 200) return v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    if (!reader->parse(r->body.data(), r->body.data() + r->body.size(), &v, nullptr)) v = Json::Value();
    return v;
  }
  httplib::Client cli_;
};

// Waits until counter() >= target, polling every pollMs; false on time-out.
template <typename F>
bool WaitCount(F counter, uint64_t target, double maxSeconds, int pollMs) {
  const int64_t end = MonotonicMicros() + static_cast<int64_t>(maxSeconds * 1e6);
  while (counter() < target) {
    if (MonotonicMicros() > end) return false;
    SleepMs(pollMs);
  }
  return true;
}

// Number after tag in text (-1 when the tag is absent).
long NumberAfter(const std::string& text, const std::string& tag) {
  size_t at = text.find(tag);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + tag.size(), nullptr, 10);
}

struct Percentiles {
  size_t n = 0;
  double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

Percentiles Summarise(std::vector<double> v) {
  Percentiles p;
  p.n = v.size();
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  auto rank = [&](double q) { return v[static_cast<size_t>(std::ceil(q * v.size())) - 1]; };
  p.p50 = rank(0.50);
  p.p90 = rank(0.90);
  p.p99 = rank(0.99);
  p.max = v.back();
  return p;
}

std::string RandomBytes(size_t n) {
  std::mt19937_64 rng(12345);
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t r = rng();
    std::memcpy(&s[i], &r, 8);
  }
  return s;
}

class Bench {
 public:
  Bench(BridgeRig& rig, const Options& o)
      : rig_(rig), o_(o), cloud_(rig.cloudControl()), im_(rig.imControl()) {}

  bool Run();

 private:
  bool LatencyUp();
  bool LatencyDown();
  bool BurstUp();
  bool BurstDown();
  bool FileUp();
  bool FileDown();
  void RawFileRates();
  double RawConfigSaves(int n);
  void ProcRow(const char* when, const ProcSample& s);
  bool SetUpCloudClient();
  double RawSendMsg(int n);
  double RawImSend(int n, bool sequence);
  uint64_t CloudSentCount() { return cloud_.Get("/counts")["sent"].asUInt64(); }
  uint64_t ImCount(const char* what) { return im_.Get("/counts")[what].asUInt64(); }
  void Row(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  BridgeRig& rig_;
  const Options o_;
  Control cloud_;
  Control im_;
  std::string apiDir_;  // this process's qy.ini for the raw cloud calls
  nuv::CloudSettings settings_;
  double rawUp_ = -1, rawDown_ = -1;  // MiB/s of the cloud transport alone
  pid_t worker_ = 0;
};

void Bench::Row(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  std::printf("%s\n", buf);
  std::fflush(stdout);
}

bool Bench::LatencyUp() {
  const uint64_t base = CloudSentCount();
  std::map<long, int64_t> raised;
  for (int i = 0; i < o_.latency; ++i) {
    Json::Value b;
    b["from"] = "alice";
    b["to"].append("bob");
    b["text"] = "bench up #" + std::to_string(i);
    b["gap_ms"] = 0;
    Json::Value a = im_.Post("/send", b);
    if (!a.isObject() || !a.isMember("raised_us")) {
      std::fprintf(stderr, "IM /send refused message %d\n", i);
      return false;
    }
    raised[i] = a["raised_us"].asInt64();
    SleepMs(o_.paceMs);
  }
  if (!WaitCount([&] { return CloudSentCount(); }, base + o_.latency, 30, 20)) {
    std::fprintf(stderr, "IM->cloud latency: %llu of %d arrived\n",
                 static_cast<unsigned long long>(CloudSentCount() - base), o_.latency);
    return false;
  }
  std::vector<double> ms;
  for (const auto& m : cloud_.Get("/sent?from=" + std::to_string(base))) {
    long i = NumberAfter(m["content"].asString(), "bench up #");
    if (i >= 0 && raised.count(i)) ms.push_back((m["received_us"].asInt64() - raised[i]) / 1000.0);
  }
  Percentiles p = Summarise(ms);
  Row("text latency IM->cloud   n=%-5zu p50 %8.1f ms  p90 %8.1f ms  p99 %8.1f ms  max %8.1f ms", p.n,
      p.p50, p.p90, p.p99, p.max);
  return p.n == static_cast<size_t>(o_.latency);
}

bool Bench::LatencyDown() {
  uint64_t count = ImCount("messages");
  const uint64_t base = count;
  std::map<long, int64_t> created;
  for (int i = 0; i < o_.latency; ++i) {
    Json::Value b;
    b["cur_userid"] = "zhang";
    b["chatid"] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
    b["to_userid_list"].append("alice");
    b["content"] = "bench down #" + std::to_string(i);
    Json::Value a = cloud_.Post("/messages", b);
    if (!a.isObject() || !a.isMember("created_us")) return false;
    created[i] = a["created_us"].asInt64();
    // One at a time: the next is created once this one has arrived.
    if (!WaitCount([&] { return ImCount("messages"); }, ++count, 10, 1)) {
      std::fprintf(stderr, "cloud->IM latency: message %d did not arrive\n", i);
      return false;
    }
    SleepMs(10);
  }
  std::vector<double> ms;
  Json::Value all = im_.Get("/messages");
  for (Json::ArrayIndex k = static_cast<Json::ArrayIndex>(base); k < all.size(); ++k) {
    long i = NumberAfter(all[k]["values"]["Content"].asString(), "bench down #");
    if (i >= 0 && created.count(i)) ms.push_back((all[k]["recv_us"].asInt64() - created[i]) / 1000.0);
  }
  Percentiles p = Summarise(ms);
  Row("text latency cloud->IM   n=%-5zu p50 %8.1f ms  p90 %8.1f ms  p99 %8.1f ms  max %8.1f ms", p.n,
      p.p50, p.p90, p.p99, p.max);
  return p.n == static_cast<size_t>(o_.latency);
}

bool Bench::SetUpCloudClient() {
  Json::Value st = cloud_.Get("/state");
  settings_.api_host = st["api_host"].asString();
  settings_.upload_host = st["upload_host"].asString();
  settings_.ca_file = st["ca_file"].asString();
  apiDir_ = rig_.root().root() + "/benchapi/";
  nuv::MakeDirs(apiDir_);
  nuv::COndekoApi api(apiDir_, settings_);
  return api.SaveCredentials(st["skey"].asString(), st["refresh_token"].asString(),
                             st["vid"].asUInt64()) == 0;
}

// send_msg n times over this thread's reused connection; messages/s.
double Bench::RawSendMsg(int n) {
  nuv::SetConnectionReuse(true);
  nuv::OndekoMsgItem m;
  m.cur_userid = "bench";
  m.chatid = "{00000000-0000-0000-0000-000000000000}";
  m.to_userid_list = {"bob"};
  const int64_t t0 = MonotonicMicros();
  for (int i = 0; i < n; ++i) {
    m.content = "bench raw up #" + std::to_string(i);
    nuv::COndekoApi api(apiDir_, settings_);  // built per use, as the service does
    nuv::EmptyReply rsp;
    if (api.SendMsg(m, rsp) != 0 || rsp.errCode != 0) return -1;
  }
  return n / ((MonotonicMicros() - t0) / 1e6);
}

// The IM simulator's SendMessage round trip from this process over the SDK:
// SendMessage alone, or (sequence) the three calls the bridge makes per text
// (CreateMessage, CreateNUVSData, SendMessage). Messages/s.
double Bench::RawImSend(int n, bool sequence) {
  try {
    std::shared_ptr<nuv::INuvRoot> root = nuv::CreateNuvRoot();
    std::shared_ptr<nuv::INuvApp> app = root->AppObject();
    app->SetAppGUID(L"{0B0B0B0B-0000-0000-0000-00000000BE7C}");
    nuv::NuvMessage msg;
    msg.Sender = L"zhang";
    msg.Receivers = L"alice";
    msg.Type1 = msg.Type2 = L"Morvane.NUV.IM";
    const int64_t t0 = MonotonicMicros();
    for (int i = 0; i < n; ++i) {
      std::shared_ptr<nuv::INUVSData> data;
      if (sequence) {
        app->CreateMessage();
        data = root->CreateNUVSData();
      } else {
        data = nuv::CreateLocalNUVSData();
      }
      data->SetString(L"Content", L"bench raw down #" + std::to_wstring(i));
      data->SetString(L"Key", L"{00000000-0000-0000-0000-000000000000}");
      msg.Content = data->GetXML();
      app->SendMessage(msg, 0);
    }
    return n / ((MonotonicMicros() - t0) / 1e6);
  } catch (...) {
    return -1;
  }
}

bool Bench::BurstUp() {
  Json::Value b;
  b["from"] = "alice";
  b["to"].append("bob");
  b["text"] = "bench burst up";
  b["gap_ms"] = 0;
  b["repeat"] = o_.burst;
  // The raw step beside it, just before the burst and just after (the
  // machine is shared: the better of the two is its rate).
  const double rawA = RawSendMsg(o_.burst);
  const uint64_t base = CloudSentCount();
  const ProcSample cpu0 = SampleProc(worker_);
  Json::Value a = im_.Post("/send", b);
  if (a["sent"].asInt() != o_.burst) return false;
  const int64_t first = a["raised_us"].asInt64(), lastRaised = a["last_raised_us"].asInt64();
  if (!WaitCount([&] { return CloudSentCount(); }, base + o_.burst, 120, 20)) {
    std::fprintf(stderr, "IM->cloud burst: %llu of %d arrived\n",
                 static_cast<unsigned long long>(CloudSentCount() - base), o_.burst);
    return false;
  }
  const ProcSample cpu1 = SampleProc(worker_);
  int64_t firstArrival = INT64_MAX, lastArrival = 0;
  size_t n = 0;
  for (const auto& m : cloud_.Get("/sent?from=" + std::to_string(base))) {
    if (NumberAfter(m["content"].asString(), "bench burst up #") < 0) continue;
    ++n;
    firstArrival = std::min(firstArrival, m["received_us"].asInt64());
    lastArrival = std::max(lastArrival, m["received_us"].asInt64());
  }
  const double rate = n / ((lastArrival - first) / 1e6);
  const double flow = n > 1 ? (n - 1) / ((lastArrival - firstArrival) / 1e6) : 0;
  const double rawB = RawSendMsg(o_.burst);
  const double raw = std::max(rawA, rawB);
  // Every text waits out the one-second combining window first: a fixed
  // delay, not a rate; shown apart.
  const double afterWindow = n / ((lastArrival - first) / 1e6 - 1.0);
  Row("burst IM->cloud          n=%-5zu %7.0f msg/s to the last (raised over %.0f ms; %.0f msg/s without "
      "the 1 s window; %.0f msg/s first to last arrival)",
      n, rate, (lastRaised - first) / 1000.0, afterWindow, flow);
  Row("  raw send_msg, one reused connection: %7.0f msg/s (before %.0f, after %.0f)  ratio %.0f%% (without the window "
      "%.0f%%, first to last arrival %.0f%%)",
      raw, rawA, rawB, 100 * rate / raw, 100 * afterWindow / raw, 100 * flow / raw);
  Row("  worker CPU %.3f ms per message", 1000 * (cpu1.cpuSeconds - cpu0.cpuSeconds) / n);
  return n == static_cast<size_t>(o_.burst);
}

// The one-line settings file written as the worker writes it for every
// notified cloud message (maxmsgid), n times beside the real one; saves/s.
double Bench::RawConfigSaves(int n) {
  const std::string path = rig_.root().config() + "bench-generalconf.ini";
  const int64_t t0 = MonotonicMicros();
  for (int i = 0; i < n; ++i) {
    if (nuv::WriteFileSafe(path, std::to_string(i) + ";" + std::to_string(1000 + i) + ";0;0;99;0;0;0;") != 0)
      return -1;
  }
  const double rate = n / ((MonotonicMicros() - t0) / 1e6);
  std::remove(path.c_str());
  return rate;
}

bool Bench::BurstDown() {
  const double rawSendA = RawImSend(o_.burst, false);
  const double rawSeqA = RawImSend(o_.burst, true);
  const double savesA = RawConfigSaves(o_.burst / 4);
  const uint64_t base = ImCount("messages");
  Json::Value b;
  b["cur_userid"] = "zhang";
  b["chatid"] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  b["to_userid_list"].append("alice");
  b["content"] = "bench burst down";
  b["repeat"] = o_.burst;
  const ProcSample cpu0 = SampleProc(worker_);
  Json::Value a = cloud_.Post("/messages", b);
  if (!a.isMember("created_us")) return false;
  const int64_t first = a["created_us"].asInt64(), lastCreated = a["last_created_us"].asInt64();
  if (!WaitCount([&] { return ImCount("messages"); }, base + o_.burst, 120, 20)) {
    std::fprintf(stderr, "cloud->IM burst: %llu of %d arrived\n",
                 static_cast<unsigned long long>(ImCount("messages") - base), o_.burst);
    return false;
  }
  const ProcSample cpu1 = SampleProc(worker_);
  int64_t firstArrival = INT64_MAX, lastArrival = 0;
  size_t n = 0;
  Json::Value all = im_.Get("/messages");
  for (Json::ArrayIndex k = static_cast<Json::ArrayIndex>(base); k < all.size(); ++k) {
    if (NumberAfter(all[k]["values"]["Content"].asString(), "bench burst down #") < 0) continue;
    ++n;
    firstArrival = std::min(firstArrival, all[k]["recv_us"].asInt64());
    lastArrival = std::max(lastArrival, all[k]["recv_us"].asInt64());
  }
  const double rate = n / ((lastArrival - first) / 1e6);
  const double flow = n > 1 ? (n - 1) / ((lastArrival - firstArrival) / 1e6) : 0;
  const double rawSend = std::max(rawSendA, RawImSend(o_.burst, false));
  const double rawSeq = std::max(rawSeqA, RawImSend(o_.burst, true));
  Row("burst cloud->IM          n=%-5zu %7.0f msg/s to the last (created over %.0f ms; %.0f msg/s "
      "first to last arrival)",
      n, rate, (lastCreated - first) / 1000.0, flow);
  Row("  raw IM SendMessage round trip:       %7.0f msg/s   ratio %.0f%%", rawSend, 100 * rate / rawSend);
  Row("  raw IM CreateMessage+CreateNUVSData+SendMessage: %7.0f msg/s   ratio %.0f%%", rawSeq,
      100 * rate / rawSeq);
  const double saves = std::max(savesA, RawConfigSaves(o_.burst / 4));
  Row("  raw generalconf.ini save (write, fsync, rename; once per notify burst with the journal, per message "
      "without): %7.0f /s   ratio %.0f%%",
      saves, 100 * rate / saves);
  Row("  worker CPU %.3f ms per message", 1000 * (cpu1.cpuSeconds - cpu0.cpuSeconds) / n);
  return n == static_cast<size_t>(o_.burst);
}

bool Bench::FileUp() {
  const size_t bytes = static_cast<size_t>(o_.fileMib) << 20;
  const std::string data = RandomBytes(bytes);
  const uint64_t base = CloudSentCount();
  Json::Value b;
  b["from"] = "alice";
  b["to"].append("bob");
  b["text"] = "bench file up";
  b["gap_ms"] = 0;
  Json::Value f;
  f["name"] = "bench-up.bin";
  f["data"] = nuv::e2e::Base64Encode(data);
  b["files"].append(f);
  Json::Value a = im_.Post("/send", b);
  if (!a.isMember("raised_us")) return false;
  const int64_t raised = a["raised_us"].asInt64();
  if (!WaitCount([&] { return CloudSentCount(); }, base + 1, 300, 20)) {
    std::fprintf(stderr, "IM->cloud file did not arrive\n");
    return false;
  }
  Json::Value sent = cloud_.Get("/sent?from=" + std::to_string(base));
  const int64_t arrived = sent[0]["received_us"].asInt64();
  bool exact = false;
  for (const auto& u : cloud_.Get("/uploads"))
    if (u["file_name"].asString() == "bench-up.bin")
      exact = u["sha256"].asString() == nuv::e2e::Sha256Hex(data);
  const double mibs = o_.fileMib / ((arrived - raised) / 1e6);

  // The file's message waits out the combining window like a text.
  const double mibsAfterWindow = o_.fileMib / ((arrived - raised) / 1e6 - 1.0);
  Row("file IM->cloud  %3d MiB  %7.1f MiB/s (%.2f s, bytes %s; %.1f MiB/s without the 1 s window)   raw upload "
      "%7.1f MiB/s  ratio %.0f%% (without the window %.0f%%)",
      o_.fileMib, mibs, (arrived - raised) / 1e6, exact ? "exact" : "DIFFER", mibsAfterWindow, rawUp_,
      100 * mibs / rawUp_, 100 * mibsAfterWindow / rawUp_);
  return exact;
}

// The cloud transport alone: the same amount uploaded from this process
// (get_upload_file_url + media upload), then downloaded (get_media_url +
// media download), over this thread's reused connection.
void Bench::RawFileRates() {
  const std::string local = apiDir_ + "raw-up.bin";
  nuv::test::WriteWholeFile(local, RandomBytes(static_cast<size_t>(o_.fileMib) << 20));
  nuv::COndekoApi api(apiDir_, settings_);
  nuv::GetUploadFileUrlRequest ureq;
  nuv::GetUploadFileUrlReply urep;
  nuv::UploadFileReply up;
  if (api.GetUploadFileUrl(ureq, urep) == 0 && urep.errCode == 0) {
    nuv::UploadFileRequest r{urep.upload_file_url, local};
    const int64_t t0 = MonotonicMicros();
    if (api.UploadFile(r, up) == 0 && up.errCode == 0) rawUp_ = o_.fileMib / ((MonotonicMicros() - t0) / 1e6);
  }
  nuv::GetMediaUrlReply mrep;
  nuv::GetMediaUrlRequest mreq{up.media_id};
  if (!up.media_id.empty() && api.GetMediaUrl(mreq, mrep) == 0 && mrep.errCode == 0) {
    nuv::DownloadFileRequest d{mrep.media_url, apiDir_};
    nuv::DownloadFileReply drep;
    const int64_t t0 = MonotonicMicros();
    if (api.DownloadFile(d, drep) == 0 && drep.errCode == 0)
      rawDown_ = o_.fileMib / ((MonotonicMicros() - t0) / 1e6);
    std::remove(drep.localPath.c_str());
  }
  std::remove(local.c_str());
  Row("raw cloud transport %3d MiB: upload %7.1f MiB/s, download %7.1f MiB/s", o_.fileMib, rawUp_, rawDown_);
}

bool Bench::FileDown() {
  const size_t bytes = static_cast<size_t>(o_.fileMib) << 20;
  std::string data = RandomBytes(bytes);
  data[0] ^= 0x5A;  // not the file that went up
  const uint64_t base = ImCount("sentfiles");
  Json::Value put = cloud_.PostBytes("/media?name=bench-down.bin&type=file", data);
  if (!put.isMember("media_id")) return false;
  Json::Value b;
  b["cur_userid"] = "zhang";
  b["chatid"] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  b["to_userid_list"].append("alice");
  b["content"] = "";
  b["file_id_list"].append(put["media_id"].asString());
  Json::Value a = cloud_.Post("/messages", b);
  const int64_t created = a["created_us"].asInt64();
  if (!WaitCount([&] { return ImCount("sentfiles"); }, base + 1, 300, 20)) {
    std::fprintf(stderr, "cloud->IM file did not arrive\n");
    return false;
  }
  Json::Value files = im_.Get("/sentfiles/meta");
  const Json::Value& got = files[static_cast<Json::ArrayIndex>(base)];
  const int64_t arrived = got["recv_us"].asInt64();
  const bool exact = got["sha256"].asString() == nuv::e2e::Sha256Hex(data);
  const double mibs = o_.fileMib / ((arrived - created) / 1e6);
  Row("file cloud->IM  %3d MiB  %7.1f MiB/s (%.2f s, bytes %s)   raw download %7.1f MiB/s  ratio %.0f%%",
      o_.fileMib, mibs, (arrived - created) / 1e6, exact ? "exact" : "DIFFER", rawDown_,
      100 * mibs / rawDown_);
  return exact;
}

}  // namespace

namespace {

void Bench::ProcRow(const char* when, const ProcSample& s) {
  Row("worker %-22s RSS %6.1f MB   CPU time %7.2f s", when, s.rssKib / 1024.0, s.cpuSeconds);
}

bool Bench::Run() {
  if (!SetUpCloudClient()) {
    std::fprintf(stderr, "cannot write the benchmark's qy.ini\n");
    return false;
  }
  const pid_t worker = worker_ = rig_.LastWorker();
  if (worker <= 0) return false;
  std::printf("worker pid %d; work journal %s; load average %s\n\n", static_cast<int>(worker), o_.journal.c_str(),
              LoadAvg().c_str());
  SleepMs(3000);  // the start's own work settles
  ProcSample idle0 = SampleProc(worker);
  SleepMs(o_.idleSeconds * 1000);
  ProcSample idle1 = SampleProc(worker);
  ProcRow("at idle", idle1);
  Row("worker idle CPU over %d s          %5.2f %% of one core", o_.idleSeconds, CpuPercent(idle0, idle1));

  bool ok = LatencyUp();
  ok = LatencyDown() && ok;
  ok = BurstUp() && ok;
  ok = BurstDown() && ok;
  ProcSample bursts = SampleProc(worker);
  ProcRow("after the bursts", bursts);
  if (o_.files) {
    RawFileRates();
    ok = FileUp() && ok;
    ok = FileDown() && ok;
    ProcRow("after the files", SampleProc(worker));
  }
  ProcSample again0 = SampleProc(worker);
  SleepMs(o_.idleSeconds * 1000);
  ProcSample again1 = SampleProc(worker);
  Row("worker idle CPU afterwards over %d s %5.2f %% of one core (RSS %.1f MB)", o_.idleSeconds,
      CpuPercent(again0, again1), again1.rssKib / 1024.0);
  if (SampleProc(worker).rssKib < 0 || rig_.LastWorker() != worker) {
    std::fprintf(stderr, "the worker was restarted during the run\n");
    ok = false;
  }
  std::printf("\nload average at the end %s\n", LoadAvg().c_str());
  return ok;
}

// ---------------------------------------------------------------------------
// The backlog run (--backlog N). In order:
//   1. an unobstructed burst of IM texts (the bridge's own rate, this run);
//   2. the cloud fails every request (HTTP 503); N IM texts are sent and
//      accepted (acknowledged by the worker), then left until every one has
//      been tried twice (or the cloud sees no attempt for a while);
//   3. start-up over the full journal: only send_msg keeps failing, the
//      worker is killed, and the time from the next worker's start to the
//      arrival of a new cloud->IM text is taken;
//   4. the cloud back: the time to the first and to the last of the N
//      arrivals, the drain rate beside the burst's.
// Throughout: the worker's peak (VmHWM) and current resident memory, the
// journal's size, and every worker start with its cause from the log. Every
// wait is bounded by a stall limit and by the run's deadline; a worker that
// restarts in a loop (passing maxmem) ends the run with what was seen.
//
// Reads the log files of an installation root as they grow: a backlog's log
// runs to millions of lines and is never read whole again.
class LogTail {
 public:
  explicit LogTail(std::string dir) : dir_(std::move(dir)) {}
  // Complete lines added since the last call, file by file in name order
  // (the monthly files sort by date).
  static bool IsRotated(const std::string& n) {
    return n.size() > 9 && n[7] == '.' && std::isdigit(static_cast<unsigned char>(n[8]));
  }
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines;
    std::vector<std::string> names;
    // The month's file ("YYYY-MM.log"), not the numbered ones it is rotated
    // into (past MaxFileMB): a rotation starts the month's file anew.
    for (const std::string& n : nuv::test::DirEntries(dir_))
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0 && !IsRotated(n)) names.push_back(n);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      File& f = files_[n];
      std::ifstream in(dir_ + n, std::ios::binary);
      in.seekg(0, std::ios::end);
      if (in.tellg() < f.offset) {
        f.offset = 0;
        f.partial.clear();
      }
      in.seekg(f.offset);
      std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      f.offset += static_cast<std::streamoff>(chunk.size());
      f.partial += chunk;
      size_t start = 0, end;
      while ((end = f.partial.find('\n', start)) != std::string::npos) {
        lines.emplace_back(f.partial, start, end - start);
        start = end + 1;
      }
      f.partial.erase(0, start);
    }
    return lines;
  }
  // The last lines seen, for a failure message.
  void Keep(const std::vector<std::string>& lines) {
    const size_t kKeep = 20;
    recent_.insert(recent_.end(), lines.end() - static_cast<std::ptrdiff_t>(std::min(kKeep, lines.size())),
                   lines.end());
    if (recent_.size() > kKeep) recent_.erase(recent_.begin(), recent_.end() - kKeep);
  }
  const std::vector<std::string>& recent() const { return recent_; }

 private:
  struct File {
    std::streamoff offset = 0;
    std::string partial;
  };
  std::string dir_;
  std::map<std::string, File> files_;
  std::vector<std::string> recent_;
};

// A value in KiB from /proc/<pid>/status ("VmHWM:", "VmRSS:"); -1 when the
// process is gone.
long StatusKib(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n);
  return -1;
}

long long FileBytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

double Mb(long kib) { return kib / 1024.0; }

class BacklogRun {
 public:
  BacklogRun(BridgeRig& rig, const Options& o)
      : rig_(rig), o_(o), cloud_(rig.cloudControl()), im_(rig.imControl()), log_(rig.root().logs()) {}

  bool Run();

 private:
  // Why a wait ended.
  enum class Wait { kDone, kStalled, kDeadline, kRestartLoop };

  // Reads the new log lines (worker starts and why workers ended) and the
  // worker's memory. False when the run must end: the deadline passed or
  // the worker restarts in a loop.
  bool Poll();
  // Polls every pollMs until done(); a line from status() every 5 s. Ends
  // early when progress() has not moved for stallSeconds, or Poll says so.
  Wait WaitFor(const char* phase, const std::function<bool()>& done, const std::function<uint64_t()>& progress,
               double stallSeconds, const std::function<std::string()>& status, int pollMs = 250);
  // Sends n texts "<tag> c<k> #<i>" in chunks through the IM simulator,
  // keeping at most two chunks unacknowledged. False when a wait failed.
  bool SendTexts(const std::string& tag, int n);
  bool Burst();
  bool FillBacklog();
  bool StartUpOverFullJournal();
  bool Drain();
  void Summary();
  bool Fault(const std::string& endpoint, int count);

  uint64_t CloudSent() { return cloud_.Get("/counts")["sent"].asUInt64(); }
  uint64_t SendMsgCalls() { return cloud_.Get("/counts")["calls"]["send_msg"].asUInt64(); }
  uint64_t ImAcks() { return im_.Get("/counts")["acks"].asUInt64(); }
  std::string JournalSize();
  std::string Memory();
  std::string WorkersSoFar();
  void Line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  BridgeRig& rig_;
  const Options o_;
  Control cloud_;
  Control im_;
  LogTail log_;
  int64_t startUs_ = 0, deadlineUs_ = 0;
  // Workers seen (pids from the watchdog's lines) and why they ended.
  pid_t worker_ = 0;
  int starts_ = 0, killed_ = 0, memExits_ = 0, cpuExits_ = 0, deadExits_ = 0;
  long peakKib_ = 0;     // the largest VmHWM of any worker of the run
  long workerPeakKib_ = 0;  // of the current worker
  bool loop_ = false;
  // Results, -1 until measured.
  double burstRate_ = -1, burstToLast_ = -1;
  double acceptSeconds_ = -1, parkedSeconds_ = -1, startUpSeconds_ = -1;
  double firstSeconds_ = -1, lastSeconds_ = -1, drainRate_ = -1;
  long long arrived_ = 0;
  long fullRssKib_ = -1, finalRssKib_ = -1;
  std::string journalEmpty_, journalFull_, journalDrained_, journalLater_;
};

void BacklogRun::Line(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  std::printf("[backlog %6.0f s] %s\n", (MonotonicMicros() - startUs_) / 1e6, buf);
  std::fflush(stdout);
}

std::string BacklogRun::JournalSize() {
  const std::string path = rig_.root().config() + "journal.db";
  const long long db = FileBytes(path), wal = FileBytes(path + "-wal");
  char buf[160];
  std::snprintf(buf, sizeof buf, "%.1f MB (journal.db %.1f MB, -wal %.1f MB)", (db + wal) / 1048576.0,
                db / 1048576.0, wal / 1048576.0);
  return buf;
}

std::string BacklogRun::Memory() {
  char buf[160];
  std::snprintf(buf, sizeof buf, "worker RSS %.1f MB, peak %.1f MB", Mb(StatusKib(worker_, "VmRSS:")),
                Mb(std::max(peakKib_, workerPeakKib_)));
  return buf;
}

std::string BacklogRun::WorkersSoFar() {
  char buf[200];
  std::snprintf(buf, sizeof buf, "%d worker start(s), %d after this run's kill; ended for memory (maxmem) %d, "
                "CPU %d, dead queue %d", starts_, killed_, memExits_, cpuExits_, deadExits_);
  return buf;
}

bool BacklogRun::Poll() {
  const std::vector<std::string> lines = log_.NewLines();
  log_.Keep(lines);
  static const std::string kStarted = "StartChildProc CreateProcess() OK , child pid ";
  for (const std::string& l : lines) {
    if (l.find("use too many memory, exit") != std::string::npos) {
      ++memExits_;
      Line("the worker ends itself for memory: %s", l.c_str());
    } else if (l.find("load too high, exit") != std::string::npos) {
      ++cpuExits_;
      Line("the worker ends itself for the machine's CPU load: %s", l.c_str());
    } else if (l.find(", DEAD") != std::string::npos) {
      ++deadExits_;
      Line("dead queue: %s", l.c_str());
    }
    const size_t at = l.find(kStarted);
    if (at == std::string::npos) continue;
    const pid_t pid = std::atoi(l.c_str() + at + kStarted.size());
    if (pid <= 0 || pid == worker_) continue;
    const bool first = worker_ == 0;
    peakKib_ = std::max(peakKib_, workerPeakKib_);
    worker_ = pid;
    workerPeakKib_ = 0;
    ++starts_;
    if (!first) Line("worker %d started (%s)", static_cast<int>(pid), WorkersSoFar().c_str());
  }
  const long hwm = worker_ > 0 ? StatusKib(worker_, "VmHWM:") : -1;
  if (hwm > workerPeakKib_) workerPeakKib_ = hwm;
  // Starts beyond the first and the ones this run caused: the worker ended
  // by itself. Three of them is a loop that will not drain.
  if (starts_ - 1 - killed_ >= 3 && !loop_) {
    loop_ = true;
    Line("the worker restarts in a loop (%s)%s: the backlog will not drain; ending the run", WorkersSoFar().c_str(),
         memExits_ > 0 ? ", passing maxmem" : cpuExits_ > 0 ? ", the machine's CPU load" : "");
  }
  if (loop_) return false;
  return MonotonicMicros() < deadlineUs_;
}

BacklogRun::Wait BacklogRun::WaitFor(const char* phase, const std::function<bool()>& done,
                                     const std::function<uint64_t()>& progress, double stallSeconds,
                                     const std::function<std::string()>& status, int pollMs) {
  uint64_t last = progress();
  int64_t movedUs = MonotonicMicros(), lineUs = movedUs;
  for (;;) {
    if (done()) return Wait::kDone;
    if (!Poll()) {
      if (loop_) return Wait::kRestartLoop;
      Line("%s: the run's deadline (%d s) passed; %s", phase, static_cast<int>((deadlineUs_ - startUs_) / 1000000),
           status().c_str());
      return Wait::kDeadline;
    }
    const int64_t now = MonotonicMicros();
    const uint64_t p = progress();
    if (p != last) {
      last = p;
      movedUs = now;
    } else if (now - movedUs > static_cast<int64_t>(stallSeconds * 1e6)) {
      Line("%s: no progress for %.0f s; %s", phase, stallSeconds, status().c_str());
      return Wait::kStalled;
    }
    if (now - lineUs >= 5000000) {
      lineUs = now;
      Line("%s: %s", phase, status().c_str());
    }
    SleepMs(pollMs);
  }
}

bool BacklogRun::Fault(const std::string& endpoint, int count) {
  Json::Value f;
  f["endpoint"] = endpoint;
  f["kind"] = "status";
  f["httpStatus"] = 503;
  f["count"] = count;  // 0 clears the endpoint's fault
  return cloud_.Post("/faults", f).isObject();
}

bool BacklogRun::SendTexts(const std::string& tag, int n) {
  const int kChunk = 5000;
  const uint64_t acks0 = ImAcks();
  int sent = 0, chunk = 0, refused = 0;
  auto accepted = [&] { return ImAcks() - acks0; };
  auto status = [&] {
    char buf[200];
    std::snprintf(buf, sizeof buf, "%d sent, %llu accepted; %s", sent,
                  static_cast<unsigned long long>(accepted()), Memory().c_str());
    return std::string(buf);
  };
  while (sent < n) {
    // At most two chunks waiting for their acknowledgement.
    const uint64_t need = sent > 2 * kChunk ? static_cast<uint64_t>(sent - 2 * kChunk) : 0;
    if (WaitFor("accepting", [&] { return accepted() >= need; }, accepted, 120, status) != Wait::kDone) return false;
    Json::Value b;
    b["from"] = "alice";
    b["to"].append("bob");
    b["text"] = tag + " c" + std::to_string(chunk++);
    b["gap_ms"] = 0;
    b["repeat"] = std::min(kChunk, n - sent);
    const int got = im_.Post("/send", b)["sent"].asInt();  // 0 while no application is started (409)
    sent += got;
    if (got > 0) continue;
    if (++refused % 25 == 0) Line("accepting: the IM server refuses texts (no application started); %s", status().c_str());
    if (!Poll()) return false;
    SleepMs(200);
  }
  return WaitFor("accepting", [&] { return accepted() >= static_cast<uint64_t>(n); }, accepted, 120, status) ==
         Wait::kDone;
}

bool BacklogRun::Burst() {
  const int n = std::min(o_.backlog, 10000);
  const uint64_t base = CloudSent();
  const int64_t t0 = MonotonicMicros();
  if (!SendTexts("bench backlog burst", n)) return false;
  auto arrived = [&] { return CloudSent() - base; };
  if (WaitFor("burst", [&] { return arrived() >= static_cast<uint64_t>(n); }, arrived, 60, [&] {
        return std::to_string(arrived()) + " of " + std::to_string(n) + " arrived; " + Memory();
      }) != Wait::kDone)
    return false;
  int64_t first = INT64_MAX, last = 0;
  for (const auto& m : cloud_.Get("/sent?from=" + std::to_string(base))) {
    first = std::min(first, m["received_us"].asInt64());
    last = std::max(last, m["received_us"].asInt64());
  }
  burstRate_ = n > 1 && last > first ? (n - 1) / ((last - first) / 1e6) : -1;
  burstToLast_ = n / ((last - t0) / 1e6);
  Line("unobstructed burst of %d IM texts: %.0f msg/s first to last arrival (%.0f msg/s from the first send to "
       "the last arrival)", n, burstRate_, burstToLast_);
  return true;
}

bool BacklogRun::FillBacklog() {
  if (!Fault("*", INT_MAX)) return false;
  const uint64_t calls0 = SendMsgCalls();
  const int64_t t0 = MonotonicMicros();
  Line("the cloud answers 503 to every request; sending %d IM texts", o_.backlog);
  if (!SendTexts("bench backlog", o_.backlog)) return false;
  acceptSeconds_ = (MonotonicMicros() - t0) / 1e6;
  Line("all %d accepted in %.1f s (%.0f msg/s); %s", o_.backlog, acceptSeconds_, o_.backlog / acceptSeconds_,
       Memory().c_str());
  // Every text tried twice, or no attempt for 15 s: the worker holds them
  // all as waiting (parked) work. A worker that tries far slower than it
  // takes texts in is given a limit, and the run goes on without it.
  const uint64_t want = 2ULL * static_cast<uint64_t>(o_.backlog);
  auto calls = [&] { return SendMsgCalls() - calls0; };
  uint64_t seen = calls();
  const int64_t acceptedUs = MonotonicMicros();
  const int64_t limitUs = std::max<int64_t>(600, o_.backlog / 400) * 1000000;
  int64_t quietSince = acceptedUs;
  bool cut = false;
  auto settled = [&] {
    const uint64_t c = calls();
    const int64_t now = MonotonicMicros();
    if (c != seen) {
      seen = c;
      quietSince = now;
    }
    cut = c < want && now - acceptedUs > limitUs;
    return c >= want || now - quietSince > 15000000 || cut;
  };
  const Wait w = WaitFor("trying", settled, [] { return 0; }, 1e9, [&] {
    return std::to_string(calls()) + " failed send_msg calls of the " + std::to_string(want) + " two tries make; " +
           Memory();
  });
  if (w != Wait::kDone) return false;
  if (cut)
    Line("not every text was tried twice within %lld s of the last one's acceptance (%llu of %llu calls); going on",
         static_cast<long long>(limitUs / 1000000), static_cast<unsigned long long>(calls()),
         static_cast<unsigned long long>(want));
  parkedSeconds_ = (MonotonicMicros() - t0) / 1e6;
  fullRssKib_ = StatusKib(worker_, "VmRSS:");
  journalFull_ = JournalSize();
  Line("tried: %llu failed send_msg calls, %.1f s after the first text; %s; journal %s",
       static_cast<unsigned long long>(calls()), parkedSeconds_, Memory().c_str(), journalFull_.c_str());
  return true;
}

bool BacklogRun::StartUpOverFullJournal() {
  // The cloud takes everything again but the texts, so that a new worker can
  // connect and carry a cloud message while the backlog still waits.
  if (!Fault("send_msg", INT_MAX) || !Fault("*", 0)) return false;
  const pid_t old = worker_;
  ++killed_;
  if (::kill(old, SIGKILL) != 0) return false;
  Line("worker %d killed (SIGKILL) with the backlog in its journal", static_cast<int>(old));
  int64_t startedUs = 0;
  if (WaitFor("start-up", [&] {
        if (worker_ != old && worker_ > 0) startedUs = MonotonicMicros();
        return startedUs != 0;
      }, [] { return 0; }, 30, [] { return std::string("waiting for the watchdog's next worker"); }, 20) != Wait::kDone)
    return false;
  const uint64_t base = im_.Get("/counts")["messages"].asUInt64();
  Json::Value b;
  b["cur_userid"] = "zhang";
  b["chatid"] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  b["to_userid_list"].append("alice");
  b["content"] = "bench backlog start-up";
  if (!cloud_.Post("/messages", b).isMember("msg_id")) return false;
  auto arrived = [&] { return im_.Get("/counts")["messages"].asUInt64() > base; };
  const double limit = std::max(120.0, o_.backlog / 1000.0);
  if (WaitFor("start-up", arrived, [] { return 0; }, limit, [&] {
        return "a new cloud->IM text not carried yet, " + std::to_string((MonotonicMicros() - startedUs) / 1000000) +
               " s after the worker's start; " + Memory();
      }, 20) != Wait::kDone)
    return false;
  const Json::Value all = im_.Get("/messages");
  for (Json::ArrayIndex k = static_cast<Json::ArrayIndex>(base); k < all.size(); ++k)
    if (all[k]["values"]["Content"].asString().find("bench backlog start-up") != std::string::npos)
      startUpSeconds_ = (all[k]["recv_us"].asInt64() - startedUs) / 1e6;
  Line("start-up over the full journal: worker %d carried a new cloud->IM text %.2f s after it started; %s",
       static_cast<int>(worker_), startUpSeconds_, Memory().c_str());
  return startUpSeconds_ >= 0;
}

bool BacklogRun::Drain() {
  const uint64_t base = CloudSent();
  const uint64_t n = static_cast<uint64_t>(o_.backlog);
  // Stamped before the request: the cloud may answer a waiting text before
  // its reply to this one is back (a first arrival then read as negative).
  const int64_t back = MonotonicMicros();
  cloud_.Delete("/faults");
  Line("the cloud answers again");
  auto arrived = [&] { return CloudSent() - base; };
  uint64_t lastCount = 0;
  int64_t lastUs = back;
  auto status = [&] {
    const uint64_t a = arrived();
    const int64_t now = MonotonicMicros();
    char buf[240];
    std::snprintf(buf, sizeof buf, "%llu of %llu arrived (%.0f msg/s lately); %s",
                  static_cast<unsigned long long>(a), static_cast<unsigned long long>(n),
                  (a - lastCount) / ((now - lastUs) / 1e6), Memory().c_str());
    lastCount = a;
    lastUs = now;
    return std::string(buf);
  };
  // A parked text waits up to 15 minutes for its next try: the stall limit
  // lies beyond that.
  const double stall = 17 * 60;
  if (WaitFor("drain", [&] { return arrived() > 0; }, arrived, stall, status, 20) != Wait::kDone) return false;
  const Json::Value first = cloud_.Get("/sent?from=" + std::to_string(base));
  const int64_t firstUs = first.size() > 0 ? first[0]["received_us"].asInt64() : 0;
  firstSeconds_ = (firstUs - back) / 1e6;
  Line("first arrival %.2f s after the cloud's return", firstSeconds_);
  const Wait w = WaitFor("drain", [&] { return arrived() >= n; }, arrived, stall, status, 500);
  arrived_ = static_cast<long long>(arrived());
  if (w != Wait::kDone) return false;
  const Json::Value last = cloud_.Get("/sent?from=" + std::to_string(base + n - 1));
  const int64_t lastArrivalUs = last.size() > 0 ? last[0]["received_us"].asInt64() : 0;
  lastSeconds_ = (lastArrivalUs - back) / 1e6;
  drainRate_ = n > 1 && lastArrivalUs > firstUs ? (n - 1) / ((lastArrivalUs - firstUs) / 1e6) : -1;
  journalDrained_ = JournalSize();
  // Duplicates would arrive beyond n; a moment for them and for the
  // journal and the worker's memory to settle.
  SleepMs(10000);
  Poll();
  arrived_ = static_cast<long long>(arrived());
  finalRssKib_ = StatusKib(worker_, "VmRSS:");
  journalLater_ = JournalSize();
  Line("last arrival %.2f s after the cloud's return; drain %.0f msg/s first to last arrival", lastSeconds_,
       drainRate_);
  return true;
}

void BacklogRun::Summary() {
  peakKib_ = std::max(peakKib_, workerPeakKib_);
  auto num = [](double v, const char* fmt) {
    if (v < 0) return std::string("not measured");
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return std::string(buf);
  };
  std::printf("\nbacklog run: %d IM texts while the cloud fails every request (journal %s; load average %s)\n",
              o_.backlog, o_.journal.c_str(), LoadAvg().c_str());
  std::printf("  unobstructed burst   %s msg/s first to last arrival (%s from the first send to the last arrival)\n",
              num(burstRate_, "%.0f").c_str(), num(burstToLast_, "%.0f msg/s").c_str());
  std::printf("  accepted             %s; tried and waiting after %s\n", num(acceptSeconds_, "in %.1f s").c_str(),
              num(parkedSeconds_, "%.1f s").c_str());
  std::printf("  worker memory        peak %.1f MB (VmHWM, every worker of the run), %s with the backlog waiting, "
              "%s after the drain\n",
              Mb(peakKib_), num(Mb(fullRssKib_), "%.1f MB").c_str(), num(Mb(finalRssKib_), "%.1f MB").c_str());
  std::printf("  start-up             %s from a new worker's start over the full journal to a new cloud->IM text "
              "carried\n", num(startUpSeconds_, "%.2f s").c_str());
  std::printf("  cloud back           first arrival %s, last %s after the cloud's return; %lld of %d arrived%s\n",
              num(firstSeconds_, "%.2f s").c_str(), num(lastSeconds_, "%.2f s").c_str(), arrived_, o_.backlog,
              arrived_ > o_.backlog ? " (duplicates)" : "");
  std::printf("  drain rate           %s msg/s first to last arrival, %s of the unobstructed burst's\n",
              num(drainRate_, "%.0f").c_str(),
              num(drainRate_ > 0 && burstRate_ > 0 ? 100 * drainRate_ / burstRate_ : -1, "%.0f%%").c_str());
  std::printf("  journal              %s at the start; %s with the backlog; %s after the drain; %s 10 s later\n",
              journalEmpty_.c_str(), journalFull_.empty() ? "not measured" : journalFull_.c_str(),
              journalDrained_.empty() ? "not measured" : journalDrained_.c_str(),
              journalLater_.empty() ? "not measured" : journalLater_.c_str());
  std::printf("  workers              %s\n", WorkersSoFar().c_str());
  if (loop_) {
    std::printf("  the worker restarted in a loop: the backlog did not drain. Last log lines:\n");
    for (const auto& l : log_.recent()) std::printf("    %s\n", l.c_str());
  }
  std::fflush(stdout);
}

bool BacklogRun::Run() {
  startUs_ = MonotonicMicros();
  const int deadline = o_.deadlineSeconds > 0 ? o_.deadlineSeconds : 900 + o_.backlog / 100;
  deadlineUs_ = startUs_ + static_cast<int64_t>(deadline) * 1000000;
  Poll();
  if (worker_ <= 0) return false;
  // The peak from here on, not the earlier measurements'.
  std::ofstream(("/proc/" + std::to_string(worker_) + "/clear_refs").c_str()) << "5";
  workerPeakKib_ = 0;
  journalEmpty_ = JournalSize();
  Line("%d IM texts; deadline %d s; worker %d, RSS %.1f MB; journal %s", o_.backlog, deadline,
       static_cast<int>(worker_), Mb(StatusKib(worker_, "VmRSS:")), journalEmpty_.c_str());
  const bool ok = Burst() && FillBacklog() && StartUpOverFullJournal() && Drain();
  Summary();
  return ok && arrived_ == o_.backlog && !loop_;
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_e2e [--quick] [--latency N] [--pace-ms MS] [--burst N] [--file-mib N]\n"
               "                 [--idle-s S] [--no-files] [--journal on|nosync|off] [--status on|off|scraped]\n"
               "                 [--backlog [N]] [--deadline-s S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return out > 0;
    };
    if (a == "--quick") {
      o.latency = 40;
      o.burst = 300;
      o.fileMib = 8;
      o.idleSeconds = 5;
    } else if (a == "--no-files") {
      o.files = false;
    } else if (a == "--backlog") {
      o.backlog = 100000;
      if (i + 1 < argc && std::atoi(argv[i + 1]) > 0) o.backlog = std::atoi(argv[++i]);
    } else if (a == "--deadline-s") {
      if (!next(o.deadlineSeconds)) return Usage();
    } else if (a == "--journal" && i + 1 < argc &&
               (std::string(argv[i + 1]) == "on" || std::string(argv[i + 1]) == "nosync" ||
                std::string(argv[i + 1]) == "off")) {
      o.journal = argv[++i];
    } else if (a == "--status" && i + 1 < argc &&
               (std::string(argv[i + 1]) == "on" || std::string(argv[i + 1]) == "off" ||
                std::string(argv[i + 1]) == "scraped")) {
      o.status = argv[++i];
    } else if (!((a == "--latency" && next(o.latency)) || (a == "--pace-ms" && next(o.paceMs)) ||
                 (a == "--burst" && next(o.burst)) || (a == "--file-mib" && next(o.fileMib)) ||
                 (a == "--idle-s" && next(o.idleSeconds)))) {
      return Usage();
    }
  }
  if (o.backlog > 0 && o.journal == "off") {
    std::fprintf(stderr, "bench_e2e: --backlog needs the work journal (--journal on or nosync)\n");
    return 2;
  }
  nuv::e2e::RigOptions ro;
  // Files and images up to 128 MiB; the CPU limit out of reach (machine-wide).
  ro.generalconf = "0;0;134217728;134217728;99;0;0;0;";
  // The work journal as the worker's [journal] settings have it.
  if (o.journal == "off") ro.iniExtra = "\n[journal]\nenabled = false\n";
  if (o.journal == "nosync") ro.iniExtra = "\n[journal]\nsync_to_device = false\n";
  if (o.status == "off") ro.statusListen = "";
  BridgeRig rig(ro);
  std::string why;
  if (!rig.StartAll(&why, 40)) {
    std::fprintf(stderr, "bench_e2e: %s\n%s\n", why.c_str(), rig.Diagnostics(40).c_str());
    return 1;
  }
  std::printf("status endpoint %s\n", o.status == "scraped" ? "on, scraped every second" : o.status.c_str());
  std::atomic<bool> done{false};
  std::thread scraper;
  if (o.status == "scraped") {
    scraper = std::thread([&] {
      while (!done) {
        rig.Status("/metrics");
        for (int i = 0; i < 10 && !done; ++i) SleepMs(100);
      }
    });
  }
  Bench bench(rig, o);
  bool ok = bench.Run();
  nuv::SetConnectionReuse(false);  // closes this thread's kept connection before the cloud stops
  if (!ok) std::fprintf(stderr, "bench_e2e: some measurement failed%s\n", rig.Diagnostics(30).c_str());
  if (ok && o.backlog > 0 && !BacklogRun(rig, o).Run()) {
    std::fprintf(stderr, "bench_e2e: the backlog run did not complete (see its lines above)\n");
    ok = false;
  }
  done = true;
  if (scraper.joinable()) scraper.join();
  return ok ? 0 : 1;
}
