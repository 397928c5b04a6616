#include "service/message_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace nuv {

MessageLoop::MessageLoop() { quitFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

MessageLoop::~MessageLoop() {
  if (quitFd_ >= 0) ::close(quitFd_);
  if (signalFd_ >= 0) ::close(signalFd_);
}

bool MessageLoop::CatchSignals() {
  if (signalFd_ >= 0) return true;
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  // A broken pipe is an error code to whoever writes, never a reason to end.
  ::signal(SIGPIPE, SIG_IGN);
  signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  return signalFd_ >= 0;
}

void MessageLoop::Run(const std::function<void(int control)>& handler) {
  for (;;) {
    pollfd fds[2] = {{quitFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    int n = ::poll(fds, signalFd_ >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nothing left to wait with
    }
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      ssize_t ignored = ::read(quitFd_, &v, sizeof v);
      (void)ignored;
      return;
    }
    if (signalFd_ >= 0 && (fds[1].revents & POLLIN)) {
      signalfd_siginfo info;
      while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        int control = kUnknown;
        switch (static_cast<int>(info.ssi_signo)) {
          case SIGTERM:
          case SIGINT: control = kStop; break;
          case SIGHUP: control = kInterrogate; break;
          default: break;
        }
        handler(control);
      }
    }
  }
}

void MessageLoop::PostQuit() {
  uint64_t one = 1;
  ssize_t ignored = ::write(quitFd_, &one, sizeof one);
  (void)ignored;
}

}  // namespace nuv
