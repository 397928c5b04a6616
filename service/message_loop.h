#pragma once
// MessageLoop: what the watchdog's main thread waits in until it is asked to
// quit. It turns the stop signals into control requests for the service
// module's handler (SIGTERM and SIGINT: STOP; SIGHUP: INTERROGATE, which is
// accepted and ignored; SIGUSR1 and SIGUSR2: an unknown request) and ends
// when PostQuit is called. Owned by the service module; Run on one thread,
// PostQuit from any thread (the handler, tests).

#include <functional>

namespace nuv {

class MessageLoop {
 public:
  // Control codes handed to the handler.
  enum Control { kStop = 1, kPause = 2, kContinue = 3, kInterrogate = 4, kShutdown = 5,
                 kUnknown = 128 };

  MessageLoop();
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Blocks the stop signals in the calling thread (and so in every thread it
  // starts afterwards) and reads them from a descriptor in Run. Call on the
  // main thread before any other thread starts; without it Run only waits
  // for PostQuit.
  bool CatchSignals();
  // Dispatches signals to handler until PostQuit; then returns. A quit
  // posted before Run makes Run return at once.
  void Run(const std::function<void(int control)>& handler);
  void PostQuit();

 private:
  int quitFd_ = -1;    // eventfd written by PostQuit
  int signalFd_ = -1;  // signalfd when CatchSignals succeeded
};

}  // namespace nuv
