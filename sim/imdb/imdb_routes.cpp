// Mounts the simulated IM directory's control routes on an HTTP server.
#include <httplib.h>

#include "sim/imdb/imdb_control.h"

namespace nuv {
namespace sim {

void MountImDbRoutes(httplib::Server& server, ImDirectoryDb& db, const std::string& prefix) {
  auto handler = [&db, prefix](const httplib::Request& req, httplib::Response& res) {
    std::string route = req.path.substr(prefix.size());
    std::string reply;
    res.status = HandleImDbControl(db, req.method, route, req.body, reply);
    res.set_content(reply, "application/json");
  };
  const std::string pattern = prefix + "/.*";
  server.Get(pattern, handler);
  server.Post(pattern, handler);
}

}  // namespace sim
}  // namespace nuv
