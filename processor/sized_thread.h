#pragma once
// SizedThread: a joinable thread with an explicit stack size (the worker's
// threads have fixed sizes from 1 MB to 10 MB). The thin wrapper over
// pthreads; the rest of the processor never calls the OS for threads.
// Owned by one thread (the one that starts and joins it).

#include <cstddef>
#include <functional>

#include <pthread.h>

namespace nuv {

class SizedThread {
 public:
  SizedThread() = default;
  ~SizedThread();  // joins
  SizedThread(const SizedThread&) = delete;
  SizedThread& operator=(const SizedThread&) = delete;

  // Runs fn on a new thread with stackSize bytes of stack (0: the default).
  // False (and nothing runs) when the thread cannot be created.
  bool Start(size_t stackSize, std::function<void()> fn);
  // Waits for the thread to end; no-op when none runs.
  void Join();
  bool Joinable() const { return started_; }
  // Kernel thread id of the running thread (the id the log lines show).
  unsigned long Id() const { return tid_; }
  // Stack size the thread was created with (as the OS reports it).
  size_t StackSize() const { return stackSize_; }

 private:
  pthread_t thread_{};
  bool started_ = false;
  unsigned long tid_ = 0;
  size_t stackSize_ = 0;
};

}  // namespace nuv
