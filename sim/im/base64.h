#pragma once
// Base64 (RFC 4648, with padding) for file bytes in the simulator's JSON
// control interface. Pure functions.

#include <string>

namespace nuv {
namespace sim {

std::string Base64Encode(const std::string& bytes);
// False when the text is not base64 (whitespace is skipped).
bool Base64Decode(const std::string& text, std::string* bytes);

}  // namespace sim
}  // namespace nuv
