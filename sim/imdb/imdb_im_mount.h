#pragma once
// Puts the simulated IM directory's control routes (docs/imdb-control.md) on
// the IM simulator's control interface, so one control port drives both the
// IM server and its directory database. Call before the interface starts;
// db must outlive it.

#include <string>

namespace nuv {
namespace sim {

class ImDirectoryDb;
class ImSimControl;
class ImSimServer;

// With a server, a user added to the directory also becomes known to the IM
// server's presence registry (offline until set otherwise), so the directory
// and the presence lists name the same people.
void MountImDbOnImSim(ImSimControl& control, ImDirectoryDb& db,
                      const std::string& prefix = "/control/imdb", ImSimServer* server = nullptr);

}  // namespace sim
}  // namespace nuv
