#include "service/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/paths.h"

namespace nuv {

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::Acquire(const std::string& path, int* openError) {
  if (openError) *openError = 0;
  if (fd_ >= 0) return true;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (openError) *openError = errno;
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void InstanceLock::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string InstanceLockPath() { return GetConfigDirA() + "nuv4ondeko.lock"; }

}  // namespace nuv
