// ondeko_sim: runs the cloud simulator until SIGINT or SIGTERM. Prints the
// ports, the CA file and a [cloud] section for service.ini.
//
//   ondeko_sim [--api-port N] [--upload-port N] [--control-port N]
//              [--dir DIR] [--vid N] [--clientkey KEY]

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/cloud/sim_cloud.h"

namespace {

bool ParsePort(const char* text, uint16_t& port) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!end || *end != '\0' || v < 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: ondeko_sim [--api-port N] [--upload-port N] [--control-port N]\n"
               "                  [--dir DIR] [--vid N] [--clientkey KEY]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::sim::SimCloudOptions o;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return Usage();
    ++i;
    if (!std::strcmp(a, "--api-port")) {
      if (!ParsePort(v, o.apiPort)) return Usage();
    } else if (!std::strcmp(a, "--upload-port")) {
      if (!ParsePort(v, o.uploadPort)) return Usage();
    } else if (!std::strcmp(a, "--control-port")) {
      if (!ParsePort(v, o.controlPort)) return Usage();
    } else if (!std::strcmp(a, "--dir")) {
      o.dataDir = v;
    } else if (!std::strcmp(a, "--vid")) {
      o.vid = std::strtoull(v, nullptr, 10);
    } else if (!std::strcmp(a, "--clientkey")) {
      o.clientkey = v;
    } else {
      return Usage();
    }
  }

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // server threads inherit the mask

  nuv::sim::SimCloud cloud(o);
  if (!cloud.Start()) {
    std::fprintf(stderr, "ondeko_sim: %s\n", cloud.LastError().c_str());
    return 1;
  }
  std::printf("api_port=%u\nupload_port=%u\ncontrol_port=%u\nca_file=%s\n\n%s\n%s",
              cloud.ApiPort(), cloud.UploadPort(), cloud.ControlPort(), cloud.CaFile().c_str(),
              cloud.ServiceIniSection().c_str(), cloud.QyIniText().c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&set, &sig);
  cloud.Stop();
  return 0;
}
