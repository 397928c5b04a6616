#pragma once
// The platform settings file service.ini in the configuration directory:
// what the service leaves to the installation (IM server location, code
// page, cloud and push endpoints...). Read once per process on first use
// with an INI library; a missing file or key means the default, a malformed
// line is logged once and ignored. Thread-safe.

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace nuv {

class ServiceIni {
 public:
  // The process-wide settings, loaded on first access from
  // <configuration directory>/service.ini.
  static ServiceIni& Get();

  // Loads a specific file (tests; tools). A missing file gives defaults.
  explicit ServiceIni(const std::string& path);

  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& def) const;
  long GetInt(const std::string& section, const std::string& key, long def) const;
  bool GetBool(const std::string& section, const std::string& key, bool def) const;

  // Re-reads the process-wide settings from the configuration directory of
  // the current installation root (after SetInstallRoot, or when the file
  // was rewritten).
  static void Reload();

  const std::string& path() const { return path_; }

 private:
  void Load();

  std::string path_;
  // Guards values_; written only by Load.
  mutable std::mutex mu_;
  std::map<std::string, std::string> values_;  // "section\nkey" -> value
};

// Reads one integer from an INI file with the same library (used for the log
// level in config.ini). Returns def when the file or key is missing.
long ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                long def);

}  // namespace nuv
