#pragma once
// The push simulator's RSA private key (PEM), the counterpart of the public
// key embedded in the service. Only the simulator holds it.

namespace nuv {
namespace sim {

extern const char kPushPrivateKeyPem[];

}  // namespace sim
}  // namespace nuv
