#include "sim/imdb/imdb_im_mount.h"

#include "sim/im/im_sim_control.h"
#include "sim/imdb/imdb_control.h"

namespace nuv {
namespace sim {

void MountImDbOnImSim(ImSimControl& control, ImDirectoryDb& db, const std::string& prefix) {
  auto handler = [&db, prefix](const ControlRequest& req) {
    ControlReply reply;
    reply.status = HandleImDbControl(db, req.method, req.path.substr(prefix.size()), req.body,
                                     reply.body);
    return reply;
  };
  control.AddRoute("GET", prefix + "/.*", handler);
  control.AddRoute("POST", prefix + "/.*", handler);
}

}  // namespace sim
}  // namespace nuv
