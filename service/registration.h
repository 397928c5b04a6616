#pragma once
// The service's registration entries, kept in one INI file in the
// configuration directory (registration.ini):
//   [AppID\{F8560B88-400D-4B30-85FC-11C65876C283}]
//   Default=Nuv4OndekoService
//   LocalService=Nuv4OndekoService     (only when registered as a service)
//   ServiceParameters=-Service         (only when registered as a service)
//   [AppID\Nuv4OndekoService.EXE]
//   AppID={F8560B88-400D-4B30-85FC-11C65876C283}
// Written and removed by the registration run; read once at start to decide
// whether to run as a service. Stateless; one thread at a time.

#include <string>

namespace nuv {

extern const char kServiceName[];  // "Nuv4OndekoService"
extern const char kAppId[];        // "{F8560B88-400D-4B30-85FC-11C65876C283}"

class Registration {
 public:
  // The file in the configuration directory of the installation.
  Registration();
  // A given file (tests).
  explicit Registration(std::string path);

  // Writes the entries, with or without the service values. 0, or the file
  // write's negative error code.
  int Write(bool asService);
  // Removes the entries. 0, or -1 when an existing file cannot be removed.
  int Remove();
  // Reads whether the service values are present. 0, or 2 (the system's
  // "not found" code) when the file or the AppID's section is missing.
  int QueryLocalService(bool& localService) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace nuv
