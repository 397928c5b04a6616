#include "sim/cloud/http_serve.h"

#include <httplib.h>

#include <chrono>

namespace nuv {
namespace sim {

std::thread ServeInBackground(httplib::Server& server) {
  httplib::Server* s = &server;
  std::thread t([s] { s->listen_after_bind(); });
  for (int i = 0; i < 5000 && !server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return t;
}

void StopServing(httplib::Server& server, std::thread& thread) {
  server.stop();
  if (thread.joinable()) thread.join();
}

}  // namespace sim
}  // namespace nuv
