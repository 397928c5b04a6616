#include "sim/imdb/imdb_im_mount.h"

#include <json/json.h>

#include <memory>

#include "sim/im/im_sim_control.h"
#include "sim/im/im_sim_server.h"
#include "sim/imdb/imdb_control.h"

namespace nuv {
namespace sim {

namespace {

// The account named in a /user/add body, or empty.
std::string AccountOf(const std::string& body) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  std::string errs;
  if (!r->parse(body.data(), body.data() + body.size(), &v, &errs) || !v.isObject()) return "";
  const Json::Value& a = v["account"];
  return a.isString() ? a.asString() : "";
}

}  // namespace

void MountImDbOnImSim(ImSimControl& control, ImDirectoryDb& db, const std::string& prefix,
                      ImSimServer* server) {
  auto handler = [&db, prefix, server](const ControlRequest& req) {
    ControlReply reply;
    const std::string route = req.path.substr(prefix.size());
    reply.status = HandleImDbControl(db, req.method, route, req.body, reply.body);
    if (server && reply.status == 200 && route == "/user/add") {
      std::string account = AccountOf(req.body);
      if (!account.empty() && server->Presence().count(account) == 0)
        server->SetPresence(account, "offline");
    }
    return reply;
  };
  control.AddRoute("GET", prefix + "/.*", handler);
  control.AddRoute("POST", prefix + "/.*", handler);
}

}  // namespace sim
}  // namespace nuv
