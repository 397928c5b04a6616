#pragma once
// The HTTP+JSON control interface of the IM server simulator on loopback
// (docs/im-sim-control.md): users send messages and upload files, presence
// is set, faults are switched, and every call the connector made is listed.
// Further routes (the directory database's) can be added before Start.
// Owns its HTTP server thread; the routes run on the server's threads.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nuv {
namespace sim {

class ImSimServer;

struct ControlRequest {
  std::string method;
  std::string path;
  std::string body;
};
struct ControlReply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
};
using ControlHandler = std::function<ControlReply(const ControlRequest&)>;

class ImSimControl {
 public:
  explicit ImSimControl(ImSimServer& server);
  ~ImSimControl();
  ImSimControl(const ImSimControl&) = delete;
  ImSimControl& operator=(const ImSimControl&) = delete;

  // method "GET" or "POST"; call before Start.
  void AddRoute(const std::string& method, const std::string& path, ControlHandler handler);
  // Listens on ip:port (0: ephemeral) and serves on its own thread.
  bool Start(const std::string& ip, uint16_t port, std::string* error);
  void Stop();
  uint16_t port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
}  // namespace nuv
