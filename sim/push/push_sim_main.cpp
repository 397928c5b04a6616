// push_sim: runs the simulator's push server until SIGINT or SIGTERM, with
// its control interface (/control/push/...) on a plain-HTTP loopback port.
// Prints the ports and a [push] section for service.ini.
//
//   push_sim [--port N] [--control-port N] [--private-key PEMFILE]

#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/port_arg.h"
#include "common/stop_signals.h"
#include "sim/cloud/http_serve.h"
#include "sim/push/push_control.h"
#include "sim/push/push_server.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: push_sim [--port N] [--control-port N] [--private-key PEMFILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::sim::PushServer::Options o;
  uint16_t controlPort = 0;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    const char* a = argv[i];
    const char* v = argv[i + 1];
    if (!std::strcmp(a, "--port")) {
      if (!nuv::ParsePortArg(v, o.port)) return Usage();
    } else if (!std::strcmp(a, "--control-port")) {
      if (!nuv::ParsePortArg(v, controlPort)) return Usage();
    } else if (!std::strcmp(a, "--private-key")) {
      std::ifstream f(v, std::ios::binary);
      std::stringstream ss;
      ss << f.rdbuf();
      if (!f || ss.str().empty()) {
        std::fprintf(stderr, "push_sim: cannot read %s\n", v);
        return 1;
      }
      o.privateKeyPem = ss.str();
    } else {
      return Usage();
    }
  }

  nuv::BlockStopSignals();  // server threads inherit the mask

  nuv::sim::PushServer push(o);
  if (!push.Start()) {
    std::fprintf(stderr, "push_sim: cannot listen on 127.0.0.1:%u\n", o.port);
    return 1;
  }
  httplib::Server control;
  control.set_tcp_nodelay(true);
  nuv::sim::RegisterPushControlRoutes(control, push);
  const int bound = controlPort == 0 ? control.bind_to_any_port("127.0.0.1")
                                     : (control.bind_to_port("127.0.0.1", controlPort) ? controlPort : -1);
  if (bound <= 0) {
    std::fprintf(stderr, "push_sim: cannot bind the control port\n");
    return 1;
  }
  std::thread serve = nuv::sim::ServeInBackground(control);
  std::printf("push_port=%u\ncontrol_port=%d\n\n[push]\nhost=127.0.0.1\nport=%u\n", push.port(),
              bound, push.port());
  std::fflush(stdout);

  nuv::WaitForStopSignal();
  nuv::sim::StopServing(control, serve);
  push.Stop();
  return 0;
}
