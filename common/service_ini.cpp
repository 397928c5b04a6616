#include "common/service_ini.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "common/log.h"
#include "common/paths.h"
#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string MakeKey(const std::string& section, const std::string& key) {
  return Lower(section) + "\n" + Lower(key);
}

int Collect(void* user, const char* section, const char* name, const char* value) {
  auto* values = static_cast<std::map<std::string, std::string>*>(user);
  if (name) (*values)[MakeKey(section, name)] = value ? value : "";
  return 1;  // keep going; a bad line is reported through the parse result
}

std::mutex g_instanceMu;
std::unique_ptr<ServiceIni> g_instance;

}  // namespace

ServiceIni::ServiceIni(const std::string& path) : path_(path) { Load(); }

void ServiceIni::Load() {
  std::map<std::string, std::string> values;
  int rc = ini_parse(path_.c_str(), Collect, &values);
  if (rc > 0) {
    // The library keeps going after a bad line and reports the first one.
    WriteLog(Utf8ToWide(StrFormat("ServiceIni::Load '%s' line %d malformed, ignored",
                                        path_.c_str(), rc)));
  }
  std::lock_guard<std::mutex> g(mu_);
  values_.swap(values);
}

ServiceIni& ServiceIni::Get() {
  std::lock_guard<std::mutex> g(g_instanceMu);
  if (!g_instance) g_instance = std::make_unique<ServiceIni>(GetConfigDirA() + "service.ini");
  return *g_instance;
}

void ServiceIni::Reload() {
  std::lock_guard<std::mutex> g(g_instanceMu);
  if (g_instance) {
    g_instance->path_ = GetConfigDirA() + "service.ini";
    g_instance->Load();
  }
}

std::string ServiceIni::GetString(const std::string& section, const std::string& key,
                                  const std::string& def) const {
  std::lock_guard<std::mutex> g(mu_);
  auto it = values_.find(MakeKey(section, key));
  return it == values_.end() ? def : it->second;
}

long ServiceIni::GetInt(const std::string& section, const std::string& key, long def) const {
  std::string v = GetString(section, key, "");
  if (v.empty()) return def;
  char* end = nullptr;
  // Decimal only: a leading zero ("08080", "010") is not an octal prefix.
  long n = std::strtol(v.c_str(), &end, 10);
  return (end && *end == '\0') ? n : def;
}

bool ServiceIni::GetBool(const std::string& section, const std::string& key, bool def) const {
  std::string v = Lower(GetString(section, key, ""));
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  return def;
}

long ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                long def) {
  std::map<std::string, std::string> values;
  if (ini_parse(path.c_str(), Collect, &values) < 0) return def;
  auto it = values.find(MakeKey(section, key));
  if (it == values.end() || it->second.empty()) return def;
  char* end = nullptr;
  long n = std::strtol(it->second.c_str(), &end, 10);
  return end == it->second.c_str() ? def : n;
}

}  // namespace nuv
