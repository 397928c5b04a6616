#include "common/stop_signals.h"

#include <pthread.h>
#include <signal.h>

namespace nuv {
namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal() {
  sigset_t set = StopSet();
  int sig = 0;
  sigwait(&set, &sig);
  return sig;
}

}  // namespace nuv
