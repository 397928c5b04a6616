#pragma once
// The push server's control interface: HTTP+JSON routes under
// /control/push/ that announce messages, send heartbeats, inject faults and
// report what the server saw (docs/push-simulator.md). Registered on the
// control server of the program that owns the PushServer (push_sim, or the
// cloud simulator's ondeko_sim); the handlers run on that server's threads
// and call the PushServer's thread-safe methods.

namespace httplib {
class Server;
}

namespace nuv {
namespace sim {

class PushServer;

void RegisterPushControlRoutes(httplib::Server& server, PushServer& push);

}  // namespace sim
}  // namespace nuv
