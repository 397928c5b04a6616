#include "common/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/clock.h"
#include "common/cs_lock.h"
#include "common/paths.h"
#include "common/service_ini.h"
#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

// The settings of Logs/config.ini, read on the first line a process writes
// (and again after RereadLogLevel). Guarded by the log lock; stale_ may be
// set from any thread.
struct LogSettings {
  int level = 1;
  uint64_t maxBytes = 0;  // 0: no size limit
  int rotated = 5;        // numbered files kept per month
  int keepMonths = 12;    // 0: every month is kept
};
LogSettings g_settings;
std::atomic<bool> g_stale{true};
int g_prunedMonth = -1;  // year * 12 + month of the last retention pass; log lock

// A whole line longer than this (a direct WriteLog of a huge text) is cut.
constexpr size_t kMaxLineChars = 65536;

CSLock& LogLock() {
  static CSLock* lock = new CSLock;  // lives to the end of the process
  return *lock;
}

const LogSettings& Settings() {
  if (g_stale.exchange(false)) {
    const std::string ini = WideToPath(GetLogDir()) + "/config.ini";
    LogSettings s;
    s.level = static_cast<int>(ReadIniInt(ini, "General", "Level", 1));
    long mb = ReadIniInt(ini, "General", "MaxFileMB", 100);
    s.maxBytes = mb > 0 ? static_cast<uint64_t>(mb) << 20 : 0;
    long rotated = ReadIniInt(ini, "General", "RotatedFiles", 5);
    s.rotated = rotated < 1 ? 1 : rotated > 99 ? 99 : static_cast<int>(rotated);
    long months = ReadIniInt(ini, "General", "KeepMonths", 12);
    s.keepMonths = months < 0 ? 0 : static_cast<int>(months);
    g_settings = s;
    // A configured level of 100 reads like the "not read yet" mark: it is
    // read again for every line.
    if (s.level == 100) g_stale = true;
  }
  return g_settings;
}

unsigned long CurrentTid() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
  } else {
    out += static_cast<char>(c);
  }
}

// printf of one conversion with one argument, appended to out.
template <typename T>
void AppendFormatted(std::string& out, const std::string& directive, T value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, directive.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::snprintf(big.data(), big.size(), directive.c_str(), value);
  out.append(big.data(), static_cast<size_t>(n));
}

// The file name of a month's log and of its numbered older parts.
std::string MonthFile(const std::string& dir, int year, int month, int part) {
  return part == 0 ? StrFormat("%s/%04d-%02d.log", dir.c_str(), year, month)
                   : StrFormat("%s/%04d-%02d.%d.log", dir.c_str(), year, month, part);
}

// Moves name to name.1 (and .1 to .2, ...), dropping the oldest kept part.
void Rotate(const std::string& dir, int year, int month, int kept) {
  ::unlink(MonthFile(dir, year, month, kept).c_str());
  for (int part = kept - 1; part >= 0; --part)
    ::rename(MonthFile(dir, year, month, part).c_str(), MonthFile(dir, year, month, part + 1).c_str());
}

// The year and month of a log file's name, "YYYY-MM.log" or "YYYY-MM.N.log";
// false for any other name.
bool LogFileMonth(const std::string& name, int* year, int* month) {
  auto digits = [&](size_t from, size_t n) {
    for (size_t i = from; i < from + n; ++i)
      if (i >= name.size() || !std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
  };
  if (!digits(0, 4) || name.size() < 11 || name[4] != '-' || !digits(5, 2) || name[7] != '.') return false;
  size_t rest = 8;
  while (rest < name.size() && std::isdigit(static_cast<unsigned char>(name[rest]))) ++rest;
  if (rest > 8 && (rest >= name.size() || name[rest] != '.')) return false;
  if (rest > 8) ++rest;
  if (name.compare(rest, std::string::npos, "log") != 0) return false;
  *year = std::atoi(name.substr(0, 4).c_str());
  *month = std::atoi(name.substr(5, 2).c_str());
  return *month >= 1 && *month <= 12;
}

// Removes the log files of months before the kept ones; other files in the
// directory are left alone.
void PruneOldMonths(const std::string& dir, int year, int month, int keepMonths) {
  if (keepMonths <= 0) return;
  const int oldestKept = year * 12 + (month - 1) - (keepMonths - 1);
  std::vector<std::string> doomed;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      int y = 0, m = 0;
      if (LogFileMonth(e->d_name, &y, &m) && y * 12 + (m - 1) < oldestKept) doomed.push_back(dir + "/" + e->d_name);
    }
    ::closedir(d);
  }
  for (const std::string& path : doomed) ::unlink(path.c_str());
}

// Opens the month's file for one line, rotating it first when the line would
// take it past the limit. Returns the descriptor with the file locked, or -1.
int OpenForLine(const std::string& dir, const std::tm& local, size_t lineBytes, bool* empty) {
  const LogSettings& s = Settings();
  const int year = local.tm_year + 1900, month = local.tm_mon + 1;
  const std::string path = MonthFile(dir, year, month, 0);
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = ::open(path.c_str(), flags, 0640);
    // The directory is made only when the file cannot be opened for want of
    // it (first line, or Logs removed since), not for every line.
    if (fd < 0 && errno == ENOENT) {
      GetLogDir();
      fd = ::open(path.c_str(), flags, 0640);
    }
    if (fd < 0) return -1;
    // The other process may be appending too: hold an advisory lock so that
    // the byte-order mark goes only into a really empty file and only one
    // of them rotates. Each line stays one write, which O_APPEND makes atomic.
    ::flock(fd, LOCK_EX);
    struct stat open, named;
    if (::fstat(fd, &open) != 0) {
      ::close(fd);
      return -1;
    }
    // Rotated away by the other process while this one waited: open again.
    if (::stat(path.c_str(), &named) != 0 || named.st_ino != open.st_ino || named.st_dev != open.st_dev) {
      ::close(fd);
      continue;
    }
    if (s.maxBytes > 0 && open.st_size > 0 &&
        static_cast<uint64_t>(open.st_size) + lineBytes > s.maxBytes) {
      Rotate(dir, year, month, s.rotated);
      ::close(fd);
      continue;
    }
    *empty = open.st_size == 0;
    return fd;
  }
  return -1;
}

void WriteLogText(std::wstring msg, int level, bool escapeControls) {
  if (msg.empty()) return;
  const unsigned long tid = CurrentTid();
  CSLockGuard guard(LogLock(), L"", 300000);
  if (level == 99) {
    msg = L"DEBUG:" + msg;
    level = 0;
  }
  const LogSettings& settings = Settings();
  if (level > settings.level) return;
  if (msg.size() > kMaxLineChars) {
    const size_t cut = msg.size() - kMaxLineChars;
    msg.resize(kMaxLineChars);
    msg += Utf8ToWide(StrFormat("...(+%zu characters)", cut));
  }
  if (escapeControls) {
    std::wstring clean;
    clean.reserve(msg.size());
    for (wchar_t c : msg) {
      if (c < 0x20 || c == 0x7F) {
        std::string e;
        AppendEscaped(e, static_cast<unsigned char>(c));
        clean.append(e.begin(), e.end());
      } else {
        clean += c;
      }
    }
    msg.swap(clean);
  }

  std::time_t now = static_cast<std::time_t>(GetClock().Now());
  std::tm local{};
  ::localtime_r(&now, &local);
  const std::string dir = GetLogDirA();
  const int monthIndex = (local.tm_year + 1900) * 12 + local.tm_mon;
  if (monthIndex != g_prunedMonth) {
    g_prunedMonth = monthIndex;
    PruneOldMonths(dir, local.tm_year + 1900, local.tm_mon + 1, settings.keepMonths);
  }
  std::string line = FormatLogLine(local, tid, msg);
  bool empty = false;
  int fd = OpenForLine(dir, local, line.size(), &empty);
  if (fd < 0) return;
  if (empty) line.insert(0, "\xEF\xBB\xBF");
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

}  // namespace

std::string EscapeLogValue(const std::string& value, size_t maxBytes) {
  size_t keep = value.size();
  if (keep > maxBytes) {
    keep = maxBytes;
    // Back to the start of a UTF-8 character.
    while (keep > 0 && (static_cast<unsigned char>(value[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string out;
  out.reserve(keep + 16);
  for (size_t i = 0; i < keep; ++i) AppendEscaped(out, static_cast<unsigned char>(value[i]));
  if (keep < value.size()) out += StrFormat("...(+%zu bytes)", value.size() - keep);
  return out;
}

std::string SecretTail(const std::string& secret) {
  if (secret.empty()) return "";
  return "..." + EscapeLogValue(secret.size() > 4 ? secret.substr(secret.size() - 4) : secret);
}

// 0 is "none yet", not a secret.
std::string SecretTail(unsigned long long secret) { return secret ? SecretTail(std::to_string(secret)) : "0"; }

std::string FormatLogText(const char* fmt, va_list apIn) {
  va_list ap;
  va_copy(ap, apIn);
  std::string out;
  const char* p = fmt;
  while (*p) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    ++p;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    // %[flags][width][.precision][length]conversion, rebuilt with the
    // starred numbers filled in.
    std::string directive = "%";
    while (*p && std::strchr("-+ #0'", *p)) directive += *p++;
    int width = -1;
    if (*p == '*') {
      width = va_arg(ap, int);
      ++p;
      directive += std::to_string(width);
    } else {
      while (std::isdigit(static_cast<unsigned char>(*p))) directive += *p++;
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (std::isdigit(static_cast<unsigned char>(*p))) precision = precision * 10 + (*p++ - '0');
      }
    }
    std::string length;
    while (*p && std::strchr("hlLqjzt", *p)) length += *p++;
    const char conv = *p;
    if (!conv) break;
    ++p;
    if (conv == 's' || conv == 'c') {
      std::string value;
      if (conv == 'c') {
        value = std::string(1, static_cast<char>(va_arg(ap, int)));
      } else if (length == "l") {
        const wchar_t* w = va_arg(ap, const wchar_t*);
        std::wstring text = w ? std::wstring(w) : L"(null)";
        if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(static_cast<size_t>(precision));
        value = WideToUtf8(text);
      } else {
        const char* s = va_arg(ap, const char*);
        if (!s) s = "(null)";
        value = precision >= 0 ? std::string(s, ::strnlen(s, static_cast<size_t>(precision))) : s;
      }
      AppendFormatted(out, directive + "s", EscapeLogValue(value).c_str());
      continue;
    }
    if (precision >= 0) directive += "." + std::to_string(precision);
    directive += length;
    directive += conv;
    switch (conv) {
      case 'd':
      case 'i':
        if (length == "ll" || length == "q") AppendFormatted(out, directive, va_arg(ap, long long));
        else if (length == "l") AppendFormatted(out, directive, va_arg(ap, long));
        else if (length == "z") AppendFormatted(out, directive, va_arg(ap, ssize_t));
        else if (length == "j") AppendFormatted(out, directive, va_arg(ap, intmax_t));
        else if (length == "t") AppendFormatted(out, directive, va_arg(ap, ptrdiff_t));
        else AppendFormatted(out, directive, va_arg(ap, int));
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        if (length == "ll" || length == "q") AppendFormatted(out, directive, va_arg(ap, unsigned long long));
        else if (length == "l") AppendFormatted(out, directive, va_arg(ap, unsigned long));
        else if (length == "z") AppendFormatted(out, directive, va_arg(ap, size_t));
        else if (length == "j") AppendFormatted(out, directive, va_arg(ap, uintmax_t));
        else if (length == "t") AppendFormatted(out, directive, va_arg(ap, ptrdiff_t));
        else AppendFormatted(out, directive, va_arg(ap, unsigned int));
        break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        if (length == "L") AppendFormatted(out, directive, va_arg(ap, long double));
        else AppendFormatted(out, directive, va_arg(ap, double));
        break;
      case 'p':
        AppendFormatted(out, directive, va_arg(ap, void*));
        break;
      case 'n':
        (void)va_arg(ap, void*);  // writes nothing anywhere
        break;
      default:
        out += directive;  // not a conversion: shown as written
        break;
    }
  }
  va_end(ap);
  return out;
}

std::string FormatLogLine(const std::tm& t, unsigned long tid, const std::wstring& msg) {
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d [%05lu] ", t.tm_year + 1900, t.tm_mon + 1,
                   t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, tid) +
         WideToUtf8(msg) + "\r\n";
}

void RereadLogLevel() { g_stale = true; }

void WriteLog(std::wstring msg, int level) { WriteLogText(std::move(msg), level, true); }

void WriteLogV(const char* fmt, va_list ap) { WriteLogText(Utf8ToWide(FormatLogText(fmt, ap)), 0, false); }

void WriteLogF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  WriteLogV(fmt, ap);
  va_end(ap);
}

}  // namespace nuv
