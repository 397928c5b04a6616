#pragma once
// The executable's entry point: builds the service module on the real
// platform and runs it for argv. Returns the process exit code.

namespace nuv {

int ServiceEntry(int argc, const char* const* argv);

}  // namespace nuv
