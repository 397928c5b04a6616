#include "service/worker_settings.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "cloud/qy_ini.h"
#include "common/log.h"
#include "common/str_format.h"

namespace nuv {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The tail of the "missing or unreadable service.ini" line: what the worker
// does without it.
const char kNoServiceIni[] =
    "[cloud] api_host and upload_host have no value, so the cloud cannot be reached; the IM server is "
    "tried at 127.0.0.1:8006 and the push server at push.ondeko.com:8080, retrying";
const char kNoQyIni[] = "no vid, skey or refresh_token: every cloud call fails until it is written";

// key = value lines of an INI text, read the way the settings library reads
// them: sections in brackets, "=" or ":" between key and value, ';' or '#'
// starting a comment line, " ;" starting an inline comment.
struct IniScan {
  std::map<std::string, std::string> values;  // "section\nkey" -> value
  std::vector<std::string> problems;
};

IniScan ScanIni(const std::string& path, const std::string& text) {
  IniScan scan;
  std::istringstream in(text);
  std::string raw;
  std::string section;
  for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
    if (lineNo == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) {
        scan.problems.push_back(StrFormat("'%s' line %d '%s' has no closing ']'; the keys after it "
                                          "are read as part of [%s]",
                                          path.c_str(), lineNo, line.c_str(), section.c_str()));
        continue;
      }
      section = Trim(line.substr(1, close - 1));
      continue;
    }
    size_t sep = line.find_first_of("=:");
    if (sep == std::string::npos || sep == 0) {
      scan.problems.push_back(StrFormat("'%s' line %d in [%s]: '%s' is not key = value; the line is "
                                        "ignored and the key keeps its default",
                                        path.c_str(), lineNo, section.c_str(), line.c_str()));
      continue;
    }
    std::string value = line.substr(sep + 1);
    size_t comment = value.find(" ;");
    if (comment != std::string::npos) value.erase(comment);
    scan.values[Lower(section) + "\n" + Lower(Trim(line.substr(0, sep)))] = Trim(value);
  }
  return scan;
}

bool Has(const IniScan& s, const char* section, const char* key, std::string* value) {
  auto it = s.values.find(std::string(section) + "\n" + key);
  if (it == s.values.end()) return false;
  *value = it->second;
  return true;
}

bool ParseLong(const std::string& v, long* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v.c_str(), &end, 10);
  if (errno || !end || *end != '\0') return false;
  *out = n;
  return true;
}

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

bool IsDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads a whole file; false with the reason ("missing" or the system's text).
bool ReadText(const std::string& path, std::string* text, std::string* why) {
  if (IsDir(path)) {
    *why = "is a directory, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = errno == ENOENT ? "missing" : std::string("cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) {
    *why = std::string("cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  *text = s.str();
  return true;
}

}  // namespace

std::vector<std::string> CheckServiceIniText(const std::string& path, const std::string& text) {
  IniScan s = ScanIni(path, text);
  std::vector<std::string> out = s.problems;
  const char* p = path.c_str();
  std::string v;

  for (const char* key : {"api_host", "upload_host"}) {
    if (!Has(s, "cloud", key, &v) || v.empty()) {
      out.push_back(StrFormat("'%s' [cloud] %s has no value: %s until it is set", p, key,
                              std::strcmp(key, "api_host") == 0 ? "the cloud cannot be reached"
                                                                : "files cannot be uploaded"));
    }
  }
  struct Port {
    const char* section;
    const char* key;
    int def;
  };
  for (const Port& port : {Port{"im", "app_port", 8006}, Port{"im", "filemonitor_port", 8003},
                           Port{"push", "port", 8080}}) {
    long n = 0;
    if (Has(s, port.section, port.key, &v) && !v.empty() && (!ParseLong(v, &n) || n <= 0 || n > 65535)) {
      out.push_back(StrFormat("'%s' [%s] %s = '%s' is not a port number (1-65535); %d is used", p,
                              port.section, port.key, v.c_str(), port.def));
    }
  }
  for (const char* key : {"connect_timeout", "stall_timeout"}) {
    long n = 0;
    if (Has(s, "cloud", key, &v) && !v.empty() && (!ParseLong(v, &n) || n <= 0)) {
      out.push_back(StrFormat("'%s' [cloud] %s = '%s' is not a positive number of seconds; %d is used",
                              p, key, v.c_str(), std::strcmp(key, "connect_timeout") == 0 ? 10 : 60));
    }
  }
  {
    long n = 0;
    if (Has(s, "cloud", "max_msgid_jump", &v) && !v.empty() && (!ParseLong(v, &n) || n <= 0)) {
      out.push_back(StrFormat("'%s' [cloud] max_msgid_jump = '%s' is not a positive number; 100000 is used", p,
                              v.c_str()));
    }
  }
  if (Has(s, "cloud", "verify_tls", &v) && !v.empty()) {
    const std::string b = Lower(v);
    if (b != "1" && b != "0" && b != "true" && b != "false" && b != "yes" && b != "no" && b != "on" &&
        b != "off") {
      out.push_back(StrFormat("'%s' [cloud] verify_tls = '%s' is not true or false; true is used", p,
                              v.c_str()));
    } else if (b == "0" || b == "false" || b == "no" || b == "off") {
      std::string api, upload;
      Has(s, "cloud", "api_host", &api);
      Has(s, "cloud", "upload_host", &upload);
      out.push_back(StrFormat("'%s' [cloud] verify_tls = %s: the certificates of %s and %s are not checked, "
                              "so whoever is between this machine and them can read the credentials; use it "
                              "only in a lab",
                              p, v.c_str(), api.empty() ? "(no api_host)" : api.c_str(),
                              upload.empty() ? "(no upload_host)" : upload.c_str()));
    }
  }
  if (Has(s, "cloud", "ca_file", &v) && !v.empty() && !Readable(v)) {
    out.push_back(StrFormat("'%s' [cloud] ca_file = '%s' cannot be read: connections to the cloud fail "
                            "until it can",
                            p, v.c_str()));
  }
  in_addr addr;
  if (Has(s, "im", "server_ip", &v) && !v.empty() && ::inet_pton(AF_INET, v.c_str(), &addr) != 1) {
    out.push_back(StrFormat("'%s' [im] server_ip = '%s' is not an IPv4 address: the IM server cannot be "
                            "reached until it is corrected",
                            p, v.c_str()));
  }
  if (!Has(s, "im", "install_dir", &v) || v.empty()) {
    out.push_back(StrFormat("'%s' [im] install_dir has no value: the directory export cannot find the "
                            "IM server's database",
                            p));
  } else if (!IsDir(v)) {
    out.push_back(StrFormat("'%s' [im] install_dir = '%s' is not a directory: the directory export "
                            "cannot find the IM server's database",
                            p, v.c_str()));
  }
  if (Has(s, "push", "host", &v) && v.empty()) {
    out.push_back(StrFormat("'%s' [push] host has no value: the push connection cannot be made until it "
                            "is set",
                            p));
  }
  return out;
}

std::vector<std::string> CheckQyIniText(const std::string& path, const std::string& text) {
  std::vector<std::string> out;
  const char* p = path.c_str();
  bool vidLine = false;
  std::string vidText;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t at = line.find("vid:");
    if (at != std::string::npos) {
      vidLine = true;
      vidText = line.substr(at + 4);
    }
  }
  Credentials c = ParseQyIni(text);
  if (!vidLine) {
    out.push_back(StrFormat("'%s' has no vid line (vid:<number>): every cloud call fails until it is "
                            "added",
                            p));
  } else {
    long n = 0;
    if (!ParseLong(Trim(vidText), &n) || n <= 0) {
      out.push_back(StrFormat("'%s' vid:'%s' is not a positive decimal number: every cloud call fails "
                              "until it is corrected",
                              p, vidText.c_str()));
    }
  }
  if (c.skey.empty() && c.refresh_token.empty()) {
    out.push_back(StrFormat("'%s' skey and refresh_token have no value: every cloud call is refused "
                            "until they are written",
                            p));
  } else if (c.refresh_token.empty()) {
    out.push_back(StrFormat("'%s' refresh_token has no value: an expired skey cannot be renewed", p));
  } else if (c.skey.empty()) {
    out.push_back(StrFormat("'%s' skey has no value: the first cloud call renews it with refresh_token",
                            p));
  }
  return out;
}

std::vector<std::string> CheckWorkerSettings(const std::string& configDirIn) {
  // The operator reads the path: "<root>/Config/", not "<root>/bin/../Config/".
  std::string configDir = configDirIn;
  char resolved[PATH_MAX];
  if (::realpath(configDirIn.c_str(), resolved)) configDir = std::string(resolved) + "/";
  std::vector<std::string> all;
  std::string text, why;
  const std::string service = configDir + "service.ini";
  if (!ReadText(service, &text, &why)) {
    all.push_back(StrFormat("'%s' %s: %s", service.c_str(), why.c_str(), kNoServiceIni));
  } else {
    for (auto& l : CheckServiceIniText(service, text)) all.push_back(l);
  }
  const std::string qy = configDir + "qy.ini";
  text.clear();
  if (!ReadText(qy, &text, &why)) {
    all.push_back(StrFormat("'%s' %s: %s", qy.c_str(), why.c_str(), kNoQyIni));
  } else {
    for (auto& l : CheckQyIniText(qy, text)) all.push_back(l);
  }
  // The files with secrets must not be readable by anyone but the service:
  // the service keeps their mode when it rewrites them, so a loose mode
  // stays until the operator tightens it.
  for (const char* name : {"qy.ini", "token.ini"}) {
    struct stat st;
    const std::string path = configDir + name;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
      all.push_back(StrFormat("'%s' can be read by group or others (mode %04o): it holds secrets; make it "
                              "readable by the service's user only (chmod 600)",
                              path.c_str(), static_cast<unsigned>(st.st_mode & 07777)));
    }
  }
  for (const auto& l : all) WriteLogF("CheckWorkerSettings %s", l.c_str());
  return all;
}

}  // namespace nuv
