#pragma once
// CSLock: the lock that guards every shared structure. Besides mutual
// exclusion (recursive for the holding thread) it remembers who holds it
// (name), the hold limit that holder passed, and the tick it was taken at, so
// that Sweep can report long holders. Every CSLock is entered into one
// process-wide registry while it exists. Any thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace nuv {

class CSLock {
 public:
  CSLock();
  ~CSLock();
  CSLock(const CSLock&) = delete;
  CSLock& operator=(const CSLock&) = delete;

  // Waits without limit (timeout is a hold limit, not a wait limit).
  bool Lock(const std::wstring& name, uint32_t timeout);
  void Unlock();
  // Milliseconds the current holder has held the lock; 0 when free.
  uint32_t HeldFor() const;
  // True when a hold limit was given and the current hold exceeds it.
  bool IsOverdue() const;
  // Logs every registered lock held for more than 60000 ms or overdue, at
  // debug level: "CSLock name:%s timeout:%u  time:%u".
  static void Sweep();

 private:
  std::recursive_mutex mu_;
  // Written by the holder under mu_, read by Sweep without it (diagnostics).
  std::wstring name_;                 // guarded by nameMu_
  mutable std::mutex nameMu_;
  std::atomic<uint32_t> timeout_{0};
  std::atomic<uint32_t> lockTick_{0};  // 0 means not held
  int depth_ = 0;                      // recursion depth, holder only
};

// Scoped holder of a CSLock.
class CSLockGuard {
 public:
  CSLockGuard(CSLock& lock, const std::wstring& name, uint32_t timeout) : lock_(lock) {
    lock_.Lock(name, timeout);
  }
  ~CSLockGuard() { lock_.Unlock(); }
  CSLockGuard(const CSLockGuard&) = delete;
  CSLockGuard& operator=(const CSLockGuard&) = delete;

 private:
  CSLock& lock_;
};

}  // namespace nuv
