#pragma once
// Where the service keeps its files. Every path derives from the module
// directory (the directory of the running executable, with a trailing '/'),
// never from the current directory:
//   parent        <module>../            created on lookup
//   logs          <module>../Logs        created on lookup, 0700
//   configuration <module>../Config      created on lookup, 0700 (narrow form ends in '/')
//   temp files    <module>TmpFiles       created on lookup, 0700
//   downloads     <module>../Download    created on lookup, 0700 (narrow form ends in '/')
//   sync config   <module>../Config/     not created; the same configuration
//                                        directory (case-sensitive file system)
// Narrow forms are file-system names, UTF-8 on Linux. Any thread.
//
// Any of these may be a symbolic link: the Debian package installs the
// executables in /usr/lib/nuv4ondeko/bin/ and links Config, Logs, Download
// and bin/TmpFiles to /var/lib/nuv4ondeko and /var/log/nuv4ondeko, so that
// the layout above holds unchanged while the files live where the file
// system hierarchy puts them.

#include <sys/types.h>

#include <string>
#include <vector>

namespace nuv {

std::wstring GetModuleDir();
std::wstring GetParentDir();
std::wstring GetLogDir();
// The log directory's name without making it (GetLogDir makes every
// component, which costs system calls).
std::string GetLogDirA();
std::wstring GetConfigDir();
std::string GetConfigDirA();
std::wstring GetTmpFilesDir();
std::wstring GetDownloadDir();
std::string GetDownloadDirA();
std::string GetSyncConfigDirA();
// The IM server's installation directory: service.ini [im] install_dir, empty
// when absent.
std::wstring GetNuvInstallDir();

// Points the program at another installation root (tools given --root; the
// test support's temporary roots): the module directory becomes <root>/bin/
// and every path above follows; the settings kept there (service.ini, the
// log level) are read again. An empty root goes back to the installation the
// executable is in. Call before other threads use the paths. In builds with
// the test hooks (NUV_TEST_HOOKS), the environment variable
// NUV4ONDEKO_TEST_MODULE_DIR names a module directory the same way for test
// processes started from the outside.
void SetInstallRoot(const std::string& root);

// The directories the service writes (configuration, logs, downloads,
// temporary files), created, as absolute paths with links resolved.
std::vector<std::string> GetWritableDirs();

// Creates a directory and its missing parents (0755 less the umask) and the
// directory itself with leafMode (less the umask); true when it exists
// afterwards. Existing directories keep their mode. A component that is a
// symbolic link to a missing directory gets its target made (a link into a
// state directory that was emptied).
bool MakeDirs(const std::string& path, mode_t leafMode = 0755);

}  // namespace nuv
