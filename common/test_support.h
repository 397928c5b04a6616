#pragma once
// Test helpers shared by every subsystem's tests: a temporary install root
// that the module directory points at, and readers for what the service
// wrote there. Used by one test thread at a time.

#include <string>
#include <vector>

namespace nuv {
namespace test {

// Creates <tmp>/nuvtest-XXXXXX/bin and points the module directory at it;
// removes the whole tree and restores the module directory on destruction.
// service.ini and the log-level cache are re-read for the new root.
class TempInstallRoot {
 public:
  TempInstallRoot();
  ~TempInstallRoot();
  TempInstallRoot(const TempInstallRoot&) = delete;
  TempInstallRoot& operator=(const TempInstallRoot&) = delete;

  const std::string& root() const { return root_; }     // no trailing '/'
  std::string bin() const { return root_ + "/bin/"; }    // the module directory
  std::string config() const { return root_ + "/Config/"; }
  std::string logs() const { return root_ + "/Logs/"; }

  // Writes <root>/Config/service.ini and reloads the settings.
  void WriteServiceIni(const std::string& text);
  // All lines of all log files (without CR LF and byte-order mark).
  std::vector<std::string> LogLines() const;
  // True when some log line contains needle.
  bool LogContains(const std::string& needle) const;

 private:
  std::string root_;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);
// The names in directory dir, "." and ".." left out, in the order the
// directory lists them; empty when dir cannot be opened.
std::vector<std::string> DirEntries(const std::string& dir);

}  // namespace test
}  // namespace nuv
