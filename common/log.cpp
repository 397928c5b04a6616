#include "common/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

#include "common/clock.h"
#include "common/cs_lock.h"
#include "common/paths.h"
#include "common/service_ini.h"
#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

constexpr int kLevelUnread = 100;
std::atomic<int> g_level{kLevelUnread};

CSLock& LogLock() {
  static CSLock* lock = new CSLock;  // lives to the end of the process
  return *lock;
}

int ConfiguredLevel() {
  int level = g_level.load();
  if (level == kLevelUnread) {
    level = static_cast<int>(
        ReadIniInt(WideToPath(GetLogDir()) + "/config.ini", "General", "Level", 1));
    g_level = level;
  }
  return level;
}

unsigned long CurrentTid() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

}  // namespace

std::string FormatLogLine(const std::tm& t, unsigned long tid, const std::wstring& msg) {
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d [%05lu] ", t.tm_year + 1900, t.tm_mon + 1,
                   t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, tid) +
         WideToUtf8(msg) + "\r\n";
}

void RereadLogLevel() { g_level = kLevelUnread; }

void WriteLog(std::wstring msg, int level) {
  if (msg.empty()) return;
  const unsigned long tid = CurrentTid();
  CSLockGuard guard(LogLock(), L"", 300000);
  if (level == 99) {
    msg = L"DEBUG:" + msg;
    level = 0;
  }
  if (level > ConfiguredLevel()) return;

  std::time_t now = static_cast<std::time_t>(GetClock().Now());
  std::tm local{};
  ::localtime_r(&now, &local);
  const std::string name = StrFormat("/%04d-%02d.log", local.tm_year + 1900, local.tm_mon + 1);
  // The directory is made only when the file cannot be opened for want of
  // it (first line, or Logs removed since), not for every line.
  const std::string path = GetLogDirA() + name;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    GetLogDir();
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  if (fd < 0) return;
  std::string line = FormatLogLine(local, tid, msg);
  // The other process may be appending too: hold an advisory lock so that the
  // byte-order mark goes only into a really empty file. Each line stays one
  // write, which O_APPEND makes atomic.
  ::flock(fd, LOCK_EX);
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size == 0) line.insert(0, "\xEF\xBB\xBF");
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

void WriteLogF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = StrFormatV(fmt, ap);
  va_end(ap);
  WriteLog(Utf8ToWide(text), 0);
}

}  // namespace nuv
