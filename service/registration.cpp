#include "service/registration.h"

#include <ini.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/file_util.h"
#include "common/paths.h"

namespace nuv {

const char kServiceName[] = "Nuv4OndekoService";
const char kAppId[] = "{F8560B88-400D-4B30-85FC-11C65876C283}";

namespace {

constexpr int kNotFound = 2;

std::string AppIdSection() { return std::string("AppID\\") + kAppId; }

struct QueryState {
  bool sectionSeen = false;
  bool localService = false;
};

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
  auto* q = static_cast<QueryState*>(user);
  if (AppIdSection() != section) return 1;
  q->sectionSeen = true;
  if (name && std::strcmp(name, "LocalService") == 0 && value && *value) q->localService = true;
  return 1;
}

}  // namespace

Registration::Registration() : path_(GetConfigDirA() + "registration.ini") {}

Registration::Registration(std::string path) : path_(std::move(path)) {}

int Registration::Write(bool asService) {
  std::string text = "; Registration entries of " + std::string(kServiceName) + "\n";
  text += "[" + AppIdSection() + "]\n";
  text += "Default=" + std::string(kServiceName) + "\n";
  if (asService) {
    text += "LocalService=" + std::string(kServiceName) + "\n";
    text += "ServiceParameters=-Service\n";
  }
  text += "\n[AppID\\" + std::string(kServiceName) + ".EXE]\n";
  text += "AppID=" + std::string(kAppId) + "\n";
  return WriteFileSafe(path_, text);
}

int Registration::Remove() {
  if (::unlink(path_.c_str()) == 0 || errno == ENOENT) return 0;
  return -1;
}

int Registration::QueryLocalService(bool& localService) const {
  localService = false;
  QueryState q;
  // A section header seen with entries is what "the key opens" means here;
  // a malformed line elsewhere does not hide a well-formed section.
  if (::ini_parse(path_.c_str(), &OnIniValue, &q) < 0) return kNotFound;
  if (!q.sectionSeen) return kNotFound;
  localService = q.localService;
  return 0;
}

}  // namespace nuv
