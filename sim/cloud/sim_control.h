#pragma once
// The simulator's control interface: plain HTTP+JSON routes that let tests
// and the demo create cloud messages and media, read what the bridge sent,
// expire keys and inject faults. Routes are documented in
// docs/cloud-simulator.md. Registered once by SimCloud before its control
// server starts; the handlers run on that server's threads.

namespace httplib {
class Server;
}

namespace nuv {
namespace sim {

class SimCloud;

void RegisterControlRoutes(httplib::Server& server, SimCloud& cloud);

}  // namespace sim
}  // namespace nuv
