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

void MountImDbOnImSim(ImSimControl& control, ImDirectoryDb& db,
                      const std::string& prefix = "/control/imdb");

}  // namespace sim
}  // namespace nuv
