#include "common/cs_lock.h"

#include <algorithm>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

// The registry of live locks, with a lock of its own: locks are created and
// destroyed on many threads.
struct Registry {
  std::mutex mu;
  std::vector<CSLock*> locks;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;  // never destroyed: locks in statics outlive main
  return *r;
}

}  // namespace

CSLock::CSLock() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.mu);
  r.locks.push_back(this);
}

CSLock::~CSLock() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.mu);
  r.locks.erase(std::remove(r.locks.begin(), r.locks.end(), this), r.locks.end());
}

bool CSLock::Lock(const std::wstring& name, uint32_t timeout) {
  mu_.lock();
  if (++depth_ == 1) {
    {
      std::lock_guard<std::mutex> g(nameMu_);
      name_ = name;
    }
    timeout_ = timeout;
    uint32_t now = GetClock().TickMs();
    lockTick_ = now == 0 ? 1 : now;
  }
  return true;
}

void CSLock::Unlock() {
  if (--depth_ == 0) lockTick_ = 0;
  mu_.unlock();
}

uint32_t CSLock::HeldFor() const {
  uint32_t t = lockTick_.load();
  if (t == 0) return 0;
  return GetClock().TickMs() - t;
}

bool CSLock::IsOverdue() const {
  uint32_t t = lockTick_.load();
  uint32_t limit = timeout_.load();
  if (t == 0 || limit == 0) return false;
  return GetClock().TickMs() - t > limit;
}

void CSLock::Sweep() {
  std::vector<std::wstring> lines;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.mu);
    for (CSLock* l : r.locks) {
      uint32_t held = l->HeldFor();
      if (held > 60000 || l->IsOverdue()) {
        std::wstring name;
        {
          std::lock_guard<std::mutex> ng(l->nameMu_);
          name = l->name_;
        }
        lines.push_back(Utf8ToWide(StrFormat("CSLock name:%s timeout:%u  time:%u",
                                             WideToUtf8(name).c_str(), l->timeout_.load(), held)));
      }
    }
  }
  // Logged outside the registry lock: the log lock is itself registered.
  for (auto& line : lines) WriteLog(line, 99);
}

}  // namespace nuv
