#pragma once
// Digest text the simulators report for transferred bytes, so that a test or
// the demo can compare what left one side with what reached the other.

#include <string>

namespace nuv {
namespace sim {

// Lower-case hexadecimal SHA-256 of data; empty when the digest fails.
std::string Sha256Hex(const std::string& data);

}  // namespace sim
}  // namespace nuv
