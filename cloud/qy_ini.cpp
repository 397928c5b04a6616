#include "cloud/qy_ini.h"

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "common/clock.h"
#include "common/file_util.h"

namespace nuv {
namespace {

// Serialises every read and write of credential files in this process.
std::mutex& QyIniMutex() {
  static std::mutex mu;
  return mu;
}

// What identifies one version of a file on disk.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs;
  }
};

bool StampOf(const std::string& path, FileStamp& out) {
  struct stat st;
  if (::stat(ResolveDataPath(path).c_str(), &st) != 0) return false;
  out.dev = st.st_dev;
  out.ino = st.st_ino;
  out.size = st.st_size;
  out.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  out.ctimeNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

// File times advance in coarse steps, so a rewrite within the same step
// could keep the stamp: a file written less than this long ago is read
// again every time. File times are real time, whatever clock the service
// runs on.
constexpr int64_t kSettledNs = 2000000000;
bool RecentlyChanged(const FileStamp& s) {
  static SystemClock real;
  const int64_t nowNs = real.NowMs() * 1000000;
  return nowNs - s.mtimeNs < kSettledNs;
}

// Parsed credentials by path, guarded by QyIniMutex. Holds a few paths in
// practice (one per configuration directory); bounded anyway.
struct CachedFile {
  FileStamp stamp;
  Credentials creds;
};
constexpr size_t kMaxCached = 16;
std::map<std::string, CachedFile>& Cache() {
  static std::map<std::string, CachedFile> cache;
  return cache;
}

// Credentials whose save failed, by path, with the file as it was at the
// failure (missing: exists false). Guarded by QyIniMutex.
struct Unsaved {
  bool exists = false;
  FileStamp stamp;
  Credentials creds;
};
std::map<std::string, Unsaved>& UnsavedByPath() {
  static std::map<std::string, Unsaved> unsaved;
  return unsaved;
}

bool TakeValue(const std::string& line, const char* key, std::string& value) {
  size_t pos = line.find(key);
  if (pos == std::string::npos) return false;
  value = line.substr(pos + std::char_traits<char>::length(key));
  return true;
}

// Like the C library's text-to-64-bit-integer routine, stored unsigned.
uint64_t ParseVid(const std::string& text) {
  return static_cast<uint64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

}  // namespace

Credentials ParseQyIni(const std::string& text) {
  Credentials c;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string value;
    if (TakeValue(line, "vid:", value))
      c.vid = ParseVid(value);
    else if (TakeValue(line, "skey:", value))
      c.skey = value;
    else if (TakeValue(line, "refresh_token:", value))
      c.refresh_token = value;
  }
  return c;
}

std::string FormatQyIni(const Credentials& c) {
  return "skey:" + c.skey + "\nrefresh_token:" + c.refresh_token +
         "\nvid:" + std::to_string(c.vid) + "\n";
}

bool LoadQyIni(const std::string& path, Credentials& out) {
  std::lock_guard<std::mutex> lk(QyIniMutex());
  auto& cache = Cache();
  FileStamp stamp;
  const bool exists = StampOf(path, stamp);
  auto unsaved = UnsavedByPath().find(path);
  if (unsaved != UnsavedByPath().end()) {
    if (unsaved->second.exists == exists && (!exists || unsaved->second.stamp == stamp)) {
      out = unsaved->second.creds;
      return true;
    }
    UnsavedByPath().erase(unsaved);  // rewritten from outside since: the file wins
  }
  if (!exists) {
    cache.erase(path);
    out = Credentials{};
    return false;
  }
  auto it = cache.find(path);
  if (it != cache.end() && it->second.stamp == stamp && !RecentlyChanged(stamp)) {
    out = it->second.creds;
    return true;
  }
  // The stamp is taken before the read: a change in between makes the next
  // load read again.
  std::string text;
  if (!ReadFileData(path, text)) {
    cache.erase(path);
    out = Credentials{};
    return false;
  }
  out = ParseQyIni(text);
  if (cache.size() >= kMaxCached && cache.find(path) == cache.end()) cache.clear();
  cache[path] = CachedFile{stamp, out};
  return true;
}

int SaveQyIni(const std::string& path, const Credentials& c, bool keepOnFailure, bool* firstFailure) {
  std::string text = FormatQyIni(c);
  std::lock_guard<std::mutex> lk(QyIniMutex());
  Cache().erase(path);
  auto& unsaved = UnsavedByPath();
  const bool hadUnsaved = unsaved.count(path) > 0;
  if (WriteFileSafe(path, text, kPrivateFileMode) == 0) {
    unsaved.erase(path);
    return 0;
  }
  if (keepOnFailure) {
    Unsaved u;
    u.exists = StampOf(path, u.stamp);
    u.creds = c;
    unsaved[path] = u;
  }
  if (firstFailure) *firstFailure = !hadUnsaved;
  return -1;
}

}  // namespace nuv
