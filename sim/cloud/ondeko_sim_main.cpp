// ondeko_sim: runs the cloud simulator until SIGINT or SIGTERM. Prints the
// ports, the CA file and a [cloud] section for service.ini. The push server
// runs beside it (its port and a [push] section are printed too).
//
//   ondeko_sim [--api-port N] [--upload-port N] [--control-port N]
//              [--dir DIR] [--vid N] [--clientkey KEY] [--push-port N]

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/port_arg.h"
#include "common/stop_signals.h"
#include "sim/cloud/sim_cloud.h"
#include "sim/push/cloud_push_link.h"
#include "sim/push/push_server.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: ondeko_sim [--api-port N] [--upload-port N] [--control-port N]\n"
               "                  [--dir DIR] [--vid N] [--clientkey KEY] [--push-port N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::sim::SimCloudOptions o;
  nuv::sim::PushServer::Options po;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return Usage();
    ++i;
    if (!std::strcmp(a, "--api-port")) {
      if (!nuv::ParsePortArg(v, o.apiPort)) return Usage();
    } else if (!std::strcmp(a, "--upload-port")) {
      if (!nuv::ParsePortArg(v, o.uploadPort)) return Usage();
    } else if (!std::strcmp(a, "--control-port")) {
      if (!nuv::ParsePortArg(v, o.controlPort)) return Usage();
    } else if (!std::strcmp(a, "--dir")) {
      o.dataDir = v;
    } else if (!std::strcmp(a, "--vid")) {
      o.vid = std::strtoull(v, nullptr, 10);
    } else if (!std::strcmp(a, "--clientkey")) {
      o.clientkey = v;
    } else if (!std::strcmp(a, "--push-port")) {
      if (!nuv::ParsePortArg(v, po.port)) return Usage();
    } else {
      return Usage();
    }
  }

  nuv::BlockStopSignals();  // server threads inherit the mask

  nuv::sim::PushServer push(po);
  if (!push.Start()) {
    std::fprintf(stderr, "ondeko_sim: cannot listen on the push port %u\n", po.port);
    return 1;
  }
  nuv::sim::AddPushControlRoutes(o, push);
  nuv::sim::SimCloud cloud(o);
  nuv::sim::AnnounceCloudMessages(cloud, push);
  if (!cloud.Start()) {
    std::fprintf(stderr, "ondeko_sim: %s\n", cloud.LastError().c_str());
    return 1;
  }
  std::printf("api_port=%u\nupload_port=%u\ncontrol_port=%u\nca_file=%s\n\n%s\n%s", cloud.ApiPort(),
              cloud.UploadPort(), cloud.ControlPort(), cloud.CaFile().c_str(),
              cloud.ServiceIniSection().c_str(), cloud.QyIniText().c_str());
  std::printf("\npush_port=%u\n[push]\nhost = 127.0.0.1\nport = %u\n", push.port(), push.port());
  std::fflush(stdout);

  nuv::WaitForStopSignal();
  cloud.Stop();
  push.Stop();
  return 0;
}
