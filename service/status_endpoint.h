#pragma once
// StatusEndpoint: the worker's small HTTP server for its operators' tools.
// GET /metrics (Prometheus text exposition), GET /healthz (200 when healthy,
// 503 naming what is down) and GET /status (the figures as JSON); anything
// else is answered 404 or 400. It runs on its own accept thread with two
// request threads; at most four accepted connections wait for them (the
// accept thread waits beyond that), a request's head is bounded by the
// library (8 KiB) and its body by us (1 KiB), and every read and write times
// out after 2 s, so a slow client holds one request thread for a while and
// never the bridge.
//
// Owned by the worker's bridge; Start and Stop on its thread; the gauge
// source is called on the request threads, alongside the bridge's own.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "service/status_report.h"

namespace nuv {

// An address to listen on, from "host:port", "[v6 host]:port", ":port" or a
// bare port ("" host: 127.0.0.1). False with a reason for anything else.
bool ParseListenAddress(const std::string& text, std::string* host, uint16_t* port, std::string* why);

class StatusEndpoint {
 public:
  using GaugeSource = std::function<WorkerGauges()>;
  explicit StatusEndpoint(GaugeSource gauges);
  ~StatusEndpoint();
  StatusEndpoint(const StatusEndpoint&) = delete;
  StatusEndpoint& operator=(const StatusEndpoint&) = delete;

  // Binds host:port (port 0: any free port) and starts serving. False with
  // the reason when the address cannot be bound.
  bool Start(const std::string& host, uint16_t port, std::string* why);
  // The bound port (0 before Start).
  uint16_t port() const { return port_; }
  // Stops serving and joins the threads. Idempotent.
  void Stop();

 private:
  struct Server;
  GaugeSource gauges_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;
};

// The worker's endpoint as service.ini [status] listen asks for it (default
// 127.0.0.1:9170, empty: off): started with one log line saying where it
// listens or why it does not, and its address published in the
// configuration directory (status.addr) for -Status and the watchdog.
// nullptr when off or not bound; the bridge runs either way.
std::unique_ptr<StatusEndpoint> StartWorkerStatusEndpoint(const std::string& configDir);

// The name of the published address file in the configuration directory.
extern const char kStatusAddressFile[];  // "status.addr"
// service.ini [status] listen's default.
extern const char kDefaultStatusListen[];  // "127.0.0.1:9170"

}  // namespace nuv
