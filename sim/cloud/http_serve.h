#pragma once
// Starting and stopping a bound HTTP server on its own thread. The server
// library's stop() does nothing until the serving loop has begun, so a stop
// that comes right after the thread starts would leave the loop running and
// the join hanging; these helpers close that window. Used by the owner of
// the server (a simulator's start/stop thread).

#include <thread>

namespace httplib {
class Server;
}

namespace nuv {
namespace sim {

// Runs server.listen_after_bind() on a new thread and returns it once the
// serving loop runs (or after 5 s, should the loop never start).
std::thread ServeInBackground(httplib::Server& server);

// Stops a server started by ServeInBackground and joins its thread.
void StopServing(httplib::Server& server, std::thread& thread);

}  // namespace sim
}  // namespace nuv
