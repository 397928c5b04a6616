#pragma once
// Makes a self-signed certificate (EC P-256, SHA-256) valid for 127.0.0.1
// and localhost, and writes it and its private key as PEM files. The
// certificate doubles as the CA file that clients trust. Stateless.

#include <string>

namespace nuv {
namespace sim {

// Writes certPath and keyPath; false with err set when anything fails.
bool MakeSelfSignedCert(const std::string& certPath, const std::string& keyPath, std::string& err);

}  // namespace sim
}  // namespace nuv
