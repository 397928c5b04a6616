#pragma once
// InstanceLock: the single-instance lock of the watchdog, an flock on the file
// nuv4ondeko.lock in the service's configuration directory (the one that
// holds generalconf.ini and the journal, created 0700). Only the service's
// user can reach that file, so no other local user can take the lock first
// and keep the service from starting; the kernel releases it when the holder
// dies however it dies, so a crashed watchdog never blocks its successor.
// Installations in different roots have different locks. Owned by the
// watchdog's main routine; one thread.

#include <string>

namespace nuv {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock on the file at path (created 0600, never through a link);
  // false when another process holds it, or when the file cannot be opened
  // (then openError is set to the reason, else to 0).
  bool Acquire(const std::string& path, int* openError = nullptr);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// <configuration directory>/nuv4ondeko.lock of the current installation.
std::string InstanceLockPath();

}  // namespace nuv
