#pragma once
// Joins the push server to the cloud simulator in one program (ondeko_sim):
// its control routes go on the cloud simulator's control server, and every
// cloud message created there is announced on the push connection. The
// PushServer must outlive the SimCloud it is linked to.

namespace nuv {
namespace sim {

class PushServer;
class SimCloud;
struct SimCloudOptions;

// Before the SimCloud is created: mount /control/push/... on its control server.
void AddPushControlRoutes(SimCloudOptions& options, PushServer& push);
// After: announce each message created on the cloud side.
void AnnounceCloudMessages(SimCloud& cloud, PushServer& push);

}  // namespace sim
}  // namespace nuv
