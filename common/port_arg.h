#pragma once
// Reads a TCP port number given on a program's command line (the simulator
// programs' --port options). Any thread.

#include <cstdint>

namespace nuv {

// True when text is a whole decimal number 0..65535; port is then set.
// Empty text, signs other than digits, trailing characters and values out
// of range are refused and leave port untouched.
bool ParsePortArg(const char* text, uint16_t& port);

}  // namespace nuv
