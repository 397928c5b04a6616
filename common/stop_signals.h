#pragma once
// Stop handling for the simulator programs: SIGINT and SIGTERM are blocked
// before any server thread starts (threads inherit the mask), and the main
// thread then waits for one of them. Main thread only.

namespace nuv {

// Blocks SIGINT and SIGTERM in the calling thread and those it starts later.
void BlockStopSignals();
// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int WaitForStopSignal();

}  // namespace nuv
