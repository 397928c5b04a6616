#pragma once
// Reads frames from a connected socket until the peer closes, the socket
// fails or a malformed frame arrives. Shared by the SDK client's reader
// threads and the simulator's connection threads; runs on the caller's thread.

#include <functional>
#include <string>

#include "im/wire_codec.h"

namespace nuv {

// Calls onFrame for every complete frame, in order. Returns why it stopped:
// "closed" for an orderly end, otherwise an error text.
std::string ReadWireFrames(int fd, const std::function<void(WireFrame&)>& onFrame);

}  // namespace nuv
