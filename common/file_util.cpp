#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

int ReadFileChecked(const std::string& name, std::string& out, size_t maxBytes, bool noFollow,
                    int* err) {
  out.clear();
  int dummy = 0;
  int& why = err ? *err : dummy;
  why = 0;
  // Non-blocking: a FIFO planted at the name must not hang the reader.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0);
  int fd = ::open(ResolveDataPath(name).c_str(), flags);
  if (fd < 0) {
    why = errno;
    return why == ENOENT ? kReadMissing : kReadFailed;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    why = errno;
    ::close(fd);
    return kReadFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    why = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return kReadFailed;
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return kReadTooLarge;
  }
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  int rc = kReadOk;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      why = errno;
      rc = kReadFailed;
      break;
    }
    if (out.size() + static_cast<size_t>(n) > maxBytes) {  // grew while being read
      rc = kReadTooLarge;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (rc != kReadOk) out.clear();
  return rc;
}

int CreateFreshFile(const std::string& path, mode_t mode) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags, mode);
  if (fd >= 0 || errno != EEXIST) return fd;
  // Removing the name never touches what a link points at; a directory
  // there cannot be removed and the write fails.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
  return ::open(path.c_str(), flags, mode);
}

void SyncParentDir(const std::string& path) {
  size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

int WriteFileSafe(const std::string& name, const char* data, size_t len, NewFileMode newMode) {
  const std::string target = ResolveDataPath(name);
  const std::string tmp = target + ".tmp";
  // The replacement takes over the old file's mode (an operator's chmod 600
  // survives every rewrite) and, for root, its owner.
  struct stat old;
  const bool replacing = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const bool setMode = replacing || newMode.mode >= 0;
  const mode_t mode = replacing ? (old.st_mode & 07777) : static_cast<mode_t>(newMode.mode);
  // Created private and opened up afterwards, never the other way round.
  int fd = CreateFreshFile(tmp, setMode ? 0600 : 0666);
  if (fd < 0) return -1;
  bool ok = true;
  if (setMode && ::fchmod(fd, mode) != 0) ok = false;
  if (ok && replacing && ::geteuid() == 0 && (old.st_uid != 0 || old.st_gid != 0)) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) ok = false;
  }
  size_t done = 0;
  while (ok && done < len) {
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
  SyncParentDir(target);
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
