#include "service/status_endpoint.h"

#include <httplib.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>

#include "common/bridge_metrics.h"
#include "common/clock.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/service_ini.h"
#include "common/str_format.h"
#include "im/app_manager.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {

const char kStatusAddressFile[] = "status.addr";
const char kDefaultStatusListen[] = "127.0.0.1:9170";

namespace {

constexpr size_t kRequestThreads = 2;
constexpr size_t kMaxWaitingConnections = 4;
constexpr time_t kIoTimeoutSeconds = 2;
constexpr size_t kMaxBodyBytes = 1024;
constexpr size_t kMaxRequestsPerConnection = 20;

// The library's task queue with a bound: a fixed set of request threads and
// at most maxWaiting accepted connections waiting for one. The library calls
// enqueue from its accept thread only, and shutdown after that thread's loop
// has ended; when the queue is full, enqueue waits (the kernel's backlog
// holds further connections meanwhile).
class BoundedTaskQueue : public httplib::TaskQueue {
 public:
  BoundedTaskQueue(size_t threads, size_t maxWaiting) : maxWaiting_(maxWaiting) {
    for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lk(mu_);
    room_.wait(lk, [this] { return jobs_.size() < maxWaiting_; });
    jobs_.push_back(std::move(fn));
    work_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> g(mu_);
      shutdown_ = true;
    }
    work_.notify_all();
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lk(mu_);
        work_.wait(lk, [this] { return shutdown_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // shut down and nothing left
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      room_.notify_one();
      fn();  // serves the connection, then closes it
    }
  }

  const size_t maxWaiting_;
  std::vector<std::thread> threads_;
  // Guards jobs_ and shutdown_.
  std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<std::function<void()>> jobs_;
  bool shutdown_ = false;
};

// Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which
// would let a second worker share the port instead of being told it is taken.
void ReuseAddressOnly(int sock) {
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

struct StatusEndpoint::Server {
  httplib::Server http;
};

bool ParseListenAddress(const std::string& text, std::string* host, uint16_t* port, std::string* why) {
  std::string h, p;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *why = "'" + text + "' is not [address]:port";
      return false;
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      p = text;
    } else {
      h = text.substr(0, colon);
      p = text.substr(colon + 1);
      if (h.find(':') != std::string::npos) {
        *why = "'" + text + "': an IPv6 address is written in brackets ([::1]:9170)";
        return false;
      }
    }
  }
  char* end = nullptr;
  errno = 0;
  const long n = p.empty() ? -1 : std::strtol(p.c_str(), &end, 10);
  if (n < 0 || n > 65535 || errno != 0 || !end || *end != '\0') {
    *why = "'" + text + "' has no port number (0-65535)";
    return false;
  }
  *host = h.empty() ? "127.0.0.1" : h;
  *port = static_cast<uint16_t>(n);
  return true;
}

StatusEndpoint::StatusEndpoint(GaugeSource gauges) : gauges_(std::move(gauges)) {}

StatusEndpoint::~StatusEndpoint() { Stop(); }

bool StatusEndpoint::Start(const std::string& host, uint16_t port, std::string* why) {
  if (server_) {
    *why = "already started";
    return false;
  }
  auto s = std::make_unique<Server>();
  httplib::Server& http = s->http;
  http.new_task_queue = [] { return new BoundedTaskQueue(kRequestThreads, kMaxWaitingConnections); };
  http.set_socket_options(ReuseAddressOnly);
  http.set_tcp_nodelay(true);
  http.set_read_timeout(kIoTimeoutSeconds, 0);
  http.set_write_timeout(kIoTimeoutSeconds, 0);
  http.set_keep_alive_timeout(kIoTimeoutSeconds);
  http.set_keep_alive_max_count(kMaxRequestsPerConnection);
  http.set_payload_max_length(kMaxBodyBytes);

  GaugeSource gauges = gauges_;
  http.Get("/metrics", [gauges](const httplib::Request&, httplib::Response& res) {
    const MetricsSnapshot m = Metrics().Snapshot();
    res.set_content(FormatMetricsText(m, gauges()), "text/plain; version=0.0.4; charset=utf-8");
  });
  http.Get("/healthz", [gauges](const httplib::Request&, httplib::Response& res) {
    const MetricsSnapshot m = Metrics().Snapshot();
    const WorkerGauges g = gauges();
    res.status = IsHealthy(m, g) ? 200 : 503;
    res.set_content(FormatHealthJson(m, g), "application/json");
  });
  http.Get("/status", [gauges](const httplib::Request&, httplib::Response& res) {
    const MetricsSnapshot m = Metrics().Snapshot();
    res.set_content(FormatStatusJson(m, gauges(), GetClock().Now()), "application/json");
  });
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) res.set_content(StrFormat("%d\n", res.status), "text/plain");
  });
  http.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    WriteLogF("StatusEndpoint %s failed: %s", req.path.c_str(), what.c_str());
    res.status = 500;
    res.set_content("500\n", "text/plain");
  });

  errno = 0;
  int bound = port;
  if (port == 0) {
    bound = http.bind_to_any_port(host);
  } else if (!http.bind_to_port(host, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    const int err = errno;
    *why = err ? std::strerror(err) : "cannot bind";
    return false;
  }
  port_ = static_cast<uint16_t>(bound);
  Server* raw = s.get();
  server_ = std::move(s);
  thread_ = std::thread([raw] { raw->http.listen_after_bind(); });
  // A stop before the loop runs would be missed by the library: wait for it.
  for (int i = 0; i < 2000 && !raw->http.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void StatusEndpoint::Stop() {
  if (!server_) return;
  server_->http.stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

namespace {

// Resident memory and CPU time of this process, from /proc/self.
void ReadProcessFigures(WorkerGauges& g) {
  std::ifstream statm("/proc/self/statm");
  unsigned long long size = 0, resident = 0;
  if (statm >> size >> resident) g.residentBytes = resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (!std::getline(stat, line)) return;
  // Fields after the command name (which may hold blanks) in parentheses.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return;
  unsigned long long utime = 0, stime = 0;
  char state = 0;
  if (std::sscanf(line.c_str() + close + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &state, &utime,
                  &stime) == 3) {
    g.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
}

WorkerGauges ReadWorkerGauges() {
  WorkerGauges g;
  g.pid = static_cast<int>(::getpid());
  const int64_t now = GetClock().Now();
  if (CNuv4OndekoProcessor* p = PeekProcessor()) {
    g.processorStatus = p->GetStatus();
    // START follows the IM application's start, so its connector exists.
    g.imUp = g.processorStatus == CNuv4OndekoProcessor::START && CAppManager::GetInstance().IsStarted();
    if (WorkJournal* j = p->Journal()) {
      const ParkedStats parked = j->Parked(now);
      const size_t all = j->Size();
      g.journal = true;
      g.journalParked = static_cast<uint64_t>(parked.total);
      g.journalQueued = all > static_cast<size_t>(parked.total) ? all - static_cast<size_t>(parked.total) : 0;
      g.oldestParkedAgeSec = parked.total > 0 ? parked.oldestAgeSec : 0;
    }
  }
  for (int q = 0; q < WQUEUE_QID_COUNT; ++q)
    if (CWorkQueue* queue = GetWorkQueue(q)) g.queues[q] = queue->Size();
  g.queues[WQUEUE_QID_COUNT] = GetCombineQueue().Size();
  ReadProcessFigures(g);
  const std::time_t t = static_cast<std::time_t>(now);
  std::tm local{};
  ::localtime_r(&t, &local);
  // The operator reads the path: "<root>/Logs", not "<root>/bin/../Logs".
  std::string logDir = GetLogDirA();
  char resolved[PATH_MAX];
  if (::realpath(logDir.c_str(), resolved)) logDir = resolved;
  g.logFile = logDir + StrFormat("/%04d-%02d.log", local.tm_year + 1900, local.tm_mon + 1);
  return g;
}

}  // namespace

std::unique_ptr<StatusEndpoint> StartWorkerStatusEndpoint(const std::string& configDir) {
  const std::string addrFile = configDir + kStatusAddressFile;
  std::remove(addrFile.c_str());  // a previous worker's
  const std::string listen = ServiceIni::Get().GetString("status", "listen", kDefaultStatusListen);
  if (listen.empty()) {
    WriteLogF("StatusEndpoint off ([status] listen is empty)");
    return nullptr;
  }
  std::string host, why;
  uint16_t port = 0;
  if (!ParseListenAddress(listen, &host, &port, &why)) {
    WriteLogF("StatusEndpoint [status] listen %s: the bridge runs without the status endpoint", why.c_str());
    return nullptr;
  }
  auto endpoint = std::make_unique<StatusEndpoint>(ReadWorkerGauges);
  if (!endpoint->Start(host, port, &why)) {
    WriteLogF("StatusEndpoint cannot listen on %s (%s): the bridge runs without the status endpoint", listen.c_str(),
              why.c_str());
    return nullptr;
  }
  const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                            std::to_string(endpoint->port());
  if (WriteFileSafe(addrFile, where + "\n") != 0)
    WriteLogF("StatusEndpoint cannot write '%s': -Status finds the endpoint only through [status] listen",
              addrFile.c_str());
  WriteLogF("StatusEndpoint listening on http://%s (/metrics, /healthz, /status)", where.c_str());
  return endpoint;
}

}  // namespace nuv
