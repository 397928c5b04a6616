#include "cloud/qy_ini.h"

#include <cstdlib>
#include <mutex>

#include "common/file_util.h"

namespace nuv {
namespace {

// Serialises every read and write of credential files in this process.
std::mutex& QyIniMutex() {
  static std::mutex mu;
  return mu;
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
  std::string text;
  bool ok;
  {
    std::lock_guard<std::mutex> lk(QyIniMutex());
    ok = ReadFileData(path, text);
  }
  out = ok ? ParseQyIni(text) : Credentials{};
  return ok;
}

int SaveQyIni(const std::string& path, const Credentials& c) {
  std::string text = FormatQyIni(c);
  std::lock_guard<std::mutex> lk(QyIniMutex());
  return WriteFileSafe(path, text) == 0 ? 0 : -1;
}

}  // namespace nuv
