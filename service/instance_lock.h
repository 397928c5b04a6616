#pragma once
// InstanceLock: the machine-wide single-instance lock of the watchdog
// ("nuvondeko_for_nuv_mutex"), an abstract-namespace UNIX socket bound to
// that name. Only one process can hold the name, and the kernel releases it
// when the holder dies however it dies, so a crashed watchdog never blocks
// its successor. Owned by the watchdog's main routine; one thread.

#include <string>

namespace nuv {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock; false when another process holds it or the socket
  // cannot be made.
  bool Acquire(const std::string& name);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The lock's name: "nuvondeko_for_nuv_mutex", followed by the value of the
// environment variable NUV4ONDEKO_TEST_LOCK_SUFFIX when set (tests run
// isolated watchdogs side by side with it).
std::string InstanceLockName();

}  // namespace nuv
