#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/paths.h"
#include "common/text_conv.h"

namespace nuv {

std::string ResolveDataPath(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return WideToPath(GetParentDir()) + name;
}

size_t ReadFileData(const std::string& name, char* buf, size_t maxCount) {
  int fd = ::open(ResolveDataPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t total = 0;
  while (total < maxCount) {
    ssize_t n = ::read(fd, buf + total, maxCount - total);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  ::close(fd);
  return total;
}

bool ReadFileData(const std::string& name, std::string& out, size_t maxCount) {
  int fd = ::open(ResolveDataPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  // One allocation of the whole size: growing by doubling copies a large
  // file several times and leaves the smaller steps in the heap (kept
  // resident) after the buffer is gone.
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    const size_t size = static_cast<size_t>(st.st_size);
    out.reserve(size < maxCount ? size : maxCount);
  }
  char buf[65536];
  while (out.size() < maxCount) {
    size_t want = maxCount - out.size() < sizeof buf ? maxCount - out.size() : sizeof buf;
    ssize_t n = ::read(fd, buf, want);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

int WriteFileSafe(const std::string& name, const char* data, size_t len) {
  const std::string target = ResolveDataPath(name);
  const std::string tmp = target + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  size_t done = 0;
  bool ok = true;
  while (done < len) {
    ssize_t n = ::write(fd, data + done, len - done);
    if (n <= 0) { ok = false; break; }
    done += static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    // A short write (disk full) must not replace a good file.
    ::unlink(tmp.c_str());
    return -1;
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return -2;
  }
  return 0;
}

int GetFileLength(const std::string& path, uint64_t& size) {
  struct stat st;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::fstat(fd, &st);
  ::close(fd);
  if (rc != 0) return -1;
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

}  // namespace nuv
