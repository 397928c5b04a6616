#pragma once
// The control interface of the simulated IM directory: HTTP routes (JSON in,
// JSON out) that add, rename and remove departments, users and memberships in
// an ImDirectoryDb. HandleImDbControl is the transport-free handler;
// MountImDbRoutes puts it on an HTTP server of the IM simulator under a
// prefix. Routes and bodies: docs/imdb-control.md. Called on the server's
// threads; the database serialises them.

#include <string>

namespace httplib {
class Server;
}

namespace nuv {
namespace sim {

class ImDirectoryDb;

// route is the path below the prefix ("/dept/add"); method "GET" or "POST".
// Returns the HTTP status and fills replyJson.
int HandleImDbControl(ImDirectoryDb& db, const std::string& method, const std::string& route,
                      const std::string& body, std::string& replyJson);

// Registers every route under prefix (default "/control/imdb"). db must
// outlive the server.
void MountImDbRoutes(httplib::Server& server, ImDirectoryDb& db,
                     const std::string& prefix = "/control/imdb");

}  // namespace sim
}  // namespace nuv
