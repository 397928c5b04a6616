// nuv_im_sim: the IM server simulator as a program.
//   nuv_im_sim [--app-port N] [--fm-port N] [--control-port N] [--install-dir DIR]
// Defaults 8006, 8003 and 8016 on 127.0.0.1; 0 picks a free port. DIR
// (default ./nuvsim-install) is the simulated IM server's installation
// directory holding Config/nuvserver.xml and its directory database; point
// the service's [im] install_dir at it. Prints the ports it listens on, then
// serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/port_arg.h"
#include "common/stop_signals.h"
#include "sim/im/im_sim_control.h"
#include "sim/im/im_sim_server.h"
#include "sim/imdb/im_directory_db.h"
#include "sim/imdb/imdb_im_mount.h"

int main(int argc, char** argv) {
  nuv::sim::ImSimServer::Options opt;
  opt.appPort = 8006;
  opt.fmPort = 8003;
  uint16_t control = 8016;
  std::string installDir = "nuvsim-install";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "missing value after %s\n", a.c_str());
      return 2;
    }
    if (a == "--install-dir") {
      installDir = argv[++i];
      continue;
    }
    uint16_t v = 0;
    if (!nuv::ParsePortArg(argv[++i], v)) {
      std::fprintf(stderr, "bad port '%s'\n", argv[i]);
      return 2;
    }
    if (a == "--app-port") {
      opt.appPort = v;
    } else if (a == "--fm-port") {
      opt.fmPort = v;
    } else if (a == "--control-port") {
      control = v;
    } else {
      std::fprintf(stderr,
                   "usage: nuv_im_sim [--app-port N] [--fm-port N] [--control-port N] "
                   "[--install-dir DIR]\n");
      return 2;
    }
  }
  nuv::BlockStopSignals();  // server threads inherit the mask

  nuv::sim::ImSimServer server(opt);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<nuv::sim::ImDirectoryDb> db = nuv::sim::ImDirectoryDb::Create(installDir, error);
  if (!db) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  nuv::sim::ImSimControl ctl(server);
  nuv::sim::MountImDbOnImSim(ctl, *db, "/control/imdb", &server);
  if (!ctl.Start(opt.ip, control, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("nuv_im_sim app_port=%u filemonitor_port=%u control_port=%u install_dir=%s\n",
              server.appPort(), server.fmPort(), ctl.port(), db->installDir().c_str());
  std::fflush(stdout);
  nuv::WaitForStopSignal();
  ctl.Stop();
  server.Stop();
  return 0;
}
