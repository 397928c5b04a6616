#include "common/test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/clock.h"
#include "common/paths.h"
#include "common/service_ini.h"

namespace nuv {

void SetClockForTest(Clock* clock) { InstallClock(clock); }

namespace test {

TempInstallRoot::TempInstallRoot() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nuvtest-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  root_ = mkdtemp(buf.data()) ? std::string(buf.data()) : std::string("/tmp/nuvtest-fallback");
  MakeDirs(root_ + "/bin");
  SetInstallRoot(root_);
}

TempInstallRoot::~TempInstallRoot() {
  SetInstallRoot("");
  RemoveTree(root_);
}

void TempInstallRoot::WriteServiceIni(const std::string& text) {
  MakeDirs(config());
  WriteWholeFile(config() + "service.ini", text);
  ServiceIni::Reload();
}

std::vector<std::string> TempInstallRoot::LogLines() const {
  std::vector<std::string> files;
  for (const std::string& n : DirEntries(logs()))
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0) files.push_back(n);
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (auto& f : files) {
    std::string data = ReadWholeFile(logs() + f);
    if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);
    std::istringstream in(data);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
  }
  return lines;
}

bool TempInstallRoot::LogContains(const std::string& needle) const {
  for (auto& l : LogLines())
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& n : DirEntries(path)) RemoveTree(path + "/" + n);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
  }
  return out;
}

}  // namespace test
}  // namespace nuv
