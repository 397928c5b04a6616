#include "common/paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "common/log.h"
#include "common/service_ini.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

// Guards the override; the executable's own directory never changes.
std::mutex g_moduleMu;
std::string g_moduleOverride;

std::string ExecutableDir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

std::string WithSlash(std::string d) {
  if (d.empty() || d.back() != '/') d += '/';
  return d;
}

std::string ModuleDirA() {
  {
    std::lock_guard<std::mutex> g(g_moduleMu);
    if (!g_moduleOverride.empty()) return g_moduleOverride;
  }
#if NUV_TEST_HOOKS
  if (const char* env = std::getenv("NUV4ONDEKO_TEST_MODULE_DIR")) {
    if (*env) return WithSlash(env);
  }
#endif
  static const std::string own = ExecutableDir();
  return own;
}

// The service's own directories hold credentials, personal data and files in
// transit: only the service's user may enter them.
constexpr mode_t kPrivateDirMode = 0700;

std::string Created(const std::string& dir, mode_t mode = 0755) {
  MakeDirs(dir, mode);
  return dir;
}

}  // namespace

void SetInstallRoot(const std::string& root) {
  {
    std::lock_guard<std::mutex> g(g_moduleMu);
    g_moduleOverride = root.empty() ? std::string() : WithSlash(root) + "bin/";
  }
  ServiceIni::Reload();
  RereadLogLevel();
}

namespace {

// The target of the first component of path that is a symbolic link to
// nothing, made absolute; empty when there is none.
std::string DanglingLinkTarget(const std::string& path) {
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string partial = path.substr(0, pos);
    struct stat st;
    if (partial.empty() || ::lstat(partial.c_str(), &st) != 0) continue;
    if (!S_ISLNK(st.st_mode) || ::stat(partial.c_str(), &st) == 0) continue;
    char buf[PATH_MAX];
    ssize_t n = ::readlink(partial.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string target(buf, static_cast<size_t>(n));
    if (target[0] != '/') target = partial.substr(0, partial.rfind('/') + 1) + target;
    return target;
  }
  return "";
}

bool MakeDirsFollowing(const std::string& path, mode_t leafMode, int linksLeft) {
  if (path.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    const bool leaf = pos == std::string::npos || path.find_first_not_of('/', pos) == std::string::npos;
    if (!partial.empty()) ::mkdir(partial.c_str(), leaf ? leafMode : 0755);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string target = linksLeft > 0 ? DanglingLinkTarget(path) : std::string();
  if (target.empty() || !MakeDirsFollowing(target, leafMode, linksLeft - 1)) return false;
  return MakeDirsFollowing(path, leafMode, linksLeft - 1);
}

}  // namespace

bool MakeDirs(const std::string& path, mode_t leafMode) { return MakeDirsFollowing(path, leafMode, 8); }

std::vector<std::string> GetWritableDirs() {
  std::vector<std::string> dirs;
  for (const std::string& d : {GetConfigDirA(), WideToPath(GetLogDir()), GetDownloadDirA(),
                               WideToPath(GetTmpFilesDir())}) {
    char buf[PATH_MAX];
    if (::realpath(d.c_str(), buf)) dirs.push_back(buf);
  }
  return dirs;
}

std::wstring GetModuleDir() { return PathToWide(ModuleDirA()); }
std::wstring GetParentDir() { return PathToWide(Created(ModuleDirA() + "../")); }
std::wstring GetLogDir() { return PathToWide(Created(GetLogDirA(), kPrivateDirMode)); }
std::string GetLogDirA() { return ModuleDirA() + "../Logs"; }
std::wstring GetConfigDir() { return PathToWide(Created(ModuleDirA() + "../Config", kPrivateDirMode)); }
std::string GetConfigDirA() { return Created(ModuleDirA() + "../Config", kPrivateDirMode) + "/"; }
std::wstring GetTmpFilesDir() { return PathToWide(Created(ModuleDirA() + "TmpFiles", kPrivateDirMode)); }
std::wstring GetDownloadDir() { return PathToWide(Created(ModuleDirA() + "../Download", kPrivateDirMode)); }
std::string GetDownloadDirA() { return Created(ModuleDirA() + "../Download", kPrivateDirMode) + "/"; }
std::string GetSyncConfigDirA() { return ModuleDirA() + "../Config/"; }

std::wstring GetNuvInstallDir() {
  return PathToWide(ServiceIni::Get().GetString("im", "install_dir", ""));
}

}  // namespace nuv
