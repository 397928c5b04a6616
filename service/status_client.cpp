#include "service/status_client.h"

#include <httplib.h>
#include <json/json.h>

#include <ctime>
#include <fstream>
#include <memory>

#include "common/clock.h"
#include "common/service_ini.h"
#include "common/str_format.h"
#include "service/status_endpoint.h"
#include "service/status_report.h"

namespace nuv {
namespace {

unsigned long long N(const Json::Value& v) { return v.isUInt64() ? static_cast<unsigned long long>(v.asUInt64()) : 0; }

std::string When(int64_t t, int64_t now, bool ago = true) {
  if (t <= 0) return "never";
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm local{};
  ::localtime_r(&tt, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  if (!ago) return buf;
  return StrFormat("%s (%lld s ago)", buf, static_cast<long long>(now > t ? now - t : 0));
}

std::string Duration(long long s) {
  if (s >= 86400) return StrFormat("%lldd %lldh", s / 86400, (s % 86400) / 3600);
  if (s >= 3600) return StrFormat("%lldh %lldm", s / 3600, (s % 3600) / 60);
  if (s >= 60) return StrFormat("%lldm %llds", s / 60, s % 60);
  return StrFormat("%llds", s);
}

// "12 delivered (10 text, 2 file), 0 refused, 0 dropped, 0 parked".
std::string DirectionLine(const Json::Value& dir, unsigned long long* delivered) {
  static const char* const kKinds[] = {"text", "file", "broadcast"};
  static const char* const kOthers[] = {"refused", "dropped", "parked"};
  unsigned long long total = 0;
  std::string kinds;
  for (const char* k : kKinds) {
    const unsigned long long n = N(dir[k]["delivered"]);
    total += n;
    if (n) kinds += StrFormat("%s%llu %s", kinds.empty() ? "" : ", ", n, k);
  }
  std::string out = StrFormat("%llu delivered", total);
  if (!kinds.empty()) out += " (" + kinds + ")";
  for (const char* o : kOthers) {
    unsigned long long n = 0;
    for (const char* k : kKinds) n += N(dir[k][o]);
    out += StrFormat(", %llu %s", n, o);
  }
  *delivered = total;
  return out;
}

// The address to ask: [status] listen, or the published one when that says
// port 0 (or cannot be read).
bool StatusAddress(const std::string& configDir, std::string* address, std::string* why) {
  // The settings as this process read them once (the watchdog asks every
  // few seconds; the worker, too, reads them once when it starts).
  const ServiceIni& ini = ServiceIni::Get();
  const std::string listen = ini.GetString("status", "listen", kDefaultStatusListen);
  if (listen.empty()) {
    *why = "the status endpoint is off ([status] listen is empty in " + ini.path() + ")";
    return false;
  }
  std::string host;
  uint16_t port = 0;
  if (!ParseListenAddress(listen, &host, &port, why)) {
    *why = "[status] listen " + *why;
    return false;
  }
  if (port != 0) {
    // A worker listening on every address is asked on loopback.
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    *address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    return true;
  }
  std::ifstream in(configDir + kStatusAddressFile);
  std::string published;
  if (!(in >> published) || published.empty()) published = "-";
  *address = published;
  return true;
}

}  // namespace

bool SummarizeStatusJson(const std::string& json, int64_t now, WorkerStatus* out) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  std::string err;
  if (!reader->parse(json.data(), json.data() + json.size(), &v, &err) || !v.isObject() ||
      !v["messages"].isObject())
    return false;
  const bool healthy = v["healthy"].asBool();
  out->state = healthy ? WorkerStatus::kHealthy : WorkerStatus::kUnhealthy;
  const std::string im = v["im"].asString(), push = v["push"].asString();
  unsigned long long toCloud = 0, toIm = 0;
  const std::string up = DirectionLine(v["messages"]["im_to_cloud"], &toCloud);
  const std::string down = DirectionLine(v["messages"]["cloud_to_im"], &toIm);
  const Json::Value& q = v["queues"];
  std::string queues;
  for (int i = 0; i < kStatusQueues; ++i)
    queues += StrFormat("%s%s %llu", i ? ", " : "", kStatusQueueNames[i], N(q[kStatusQueueNames[i]]));
  const unsigned long long parked = N(v["journal"]["parked"]);

  out->line = StrFormat("IM %s, push %s; %llu to cloud, %llu to IM; queues %llu/%llu/%llu/%llu; parked %llu",
                        im.c_str(), push.c_str(), toCloud, toIm, N(q["TXT2NUV"]), N(q["FILE2NUV"]),
                        N(q["TXT2ONDEKO"]), N(q["FILE2ONDEKO"]), parked);
  out->lines.clear();
  out->lines.push_back(StrFormat("Nuv4OndekoService: %s (IM %s, push %s, processor %s)",
                                 healthy ? "healthy" : "NOT HEALTHY", im.c_str(), push.c_str(),
                                 v["processor"].asString().c_str()));
  const long long started = v["started"].asInt64();
  out->lines.push_back(StrFormat("worker pid %d, started %s, up %s; %llu restart(s) by the watchdog", v["pid"].asInt(),
                                 When(started, now, false).c_str(), Duration(v["uptime_seconds"].asInt64()).c_str(),
                                 N(v["restarts"])));
  out->lines.push_back("IM -> cloud: " + up);
  out->lines.push_back("cloud -> IM: " + down);
  out->lines.push_back("queues: " + queues);
  if (v["journal"]["enabled"].asBool()) {
    std::string j = StrFormat("journal: %llu queued, %llu parked", N(v["journal"]["queued"]), parked);
    if (parked) j += StrFormat(" (oldest %s)", Duration(v["journal"]["oldest_parked_age_seconds"].asInt64()).c_str());
    out->lines.push_back(j);
  } else {
    out->lines.push_back("journal: off");
  }
  out->lines.push_back("last directory sync: " + When(v["directory_sync_last_success"].asInt64(), now) +
                       "; last presence sync: " + When(v["presence_sync_last_success"].asInt64(), now));
  out->lines.push_back("log: " + v["log_file"].asString());
  return true;
}

WorkerStatus QueryWorkerStatus(const std::string& configDir, int timeoutMs) {
  WorkerStatus s;
  std::string why;
  if (!StatusAddress(configDir, &s.address, &why)) {
    s.state = WorkerStatus::kOff;
    s.line = "worker status unknown: " + why;
    s.lines = {"Nuv4OndekoService: status unknown: " + why};
    return s;
  }
  std::string host;
  uint16_t port = 0;
  if (ParseListenAddress(s.address, &host, &port, &why) && port != 0) {
    httplib::Client client(host, port);
    const time_t sec = timeoutMs / 1000;
    const time_t usec = (timeoutMs % 1000) * 1000;
    client.set_connection_timeout(sec, usec);
    client.set_read_timeout(sec, usec);
    client.set_write_timeout(sec, usec);
    auto r = client.Get("/status");
    if (r && r->status == 200 && SummarizeStatusJson(r->body, GetClock().Now(), &s)) {
      s.lines.push_back("status endpoint: http://" + s.address);
      return s;
    }
    why = r ? StrFormat("HTTP status %d", r->status) : httplib::to_string(r.error()) + " error";
  } else {
    why = "the worker published no address";
  }
  s.state = WorkerStatus::kNotRunning;
  s.line = "worker not answering at " + s.address + " (" + why + ")";
  s.lines = {"Nuv4OndekoService: not running (no answer from the status endpoint at " + s.address + ": " + why + ")"};
  return s;
}

int PrintWorkerStatus(const std::string& configDir, std::string* out) {
  const WorkerStatus s = QueryWorkerStatus(configDir, 2000);
  out->clear();
  for (const std::string& l : s.lines) *out += l + "\n";
  switch (s.state) {
    case WorkerStatus::kHealthy: return 0;
    case WorkerStatus::kUnhealthy: return 1;
    case WorkerStatus::kNotRunning: return 3;
    case WorkerStatus::kOff: return 4;
  }
  return 4;
}

}  // namespace nuv
