#pragma once
// Where the push connection goes and which public key protects its key
// request: service.ini [push] host, port (default 8080) and
// public_key_file (a PEM that replaces the embedded key). Read by
// GapHubLogic::Init; any thread.

#include <cstdint>
#include <string>

namespace nuv {

// The service's embedded 1024-bit RSA public key: the base64 body of a PEM
// SubjectPublicKeyInfo (216 characters, no line breaks).
extern const char kPushPublicKey[];

constexpr uint16_t kDefaultPushPort = 8080;
extern const char kDefaultPushHost[];

struct PushSettings {
  std::string host;
  uint16_t port = kDefaultPushPort;
  std::string publicKey;  // base64 body or a whole PEM text
};

// Reads the settings; an unreadable public_key_file is logged and the
// embedded key is used.
PushSettings LoadPushSettings();

}  // namespace nuv
