#pragma once
// The systemd unit that installs the watchdog as a service. Pure text
// building; any thread.

#include <string>
#include <vector>

namespace nuv {

// "Nuv4OndekoService.service"
std::string UnitFileName();

// The unprivileged account the service runs as once it exists ("nuv4ondeko";
// the Debian package creates it, a manual installation may).
extern const char kServiceUser[];

// What differs between installations; the rest of the unit is fixed.
struct UnitOptions {
  std::string exePath;
  // User= and Group= (the account's own group); empty runs the service as root.
  std::string user;
  // Absolute, normalised directories the service writes (ReadWritePaths=):
  // the whole file system but these is read-only to it.
  std::vector<std::string> writablePaths;
};

// The unit: a notify-type service started at boot once the network is up,
// whose stop signal reaches the watchdog alone (the watchdog then ends the
// worker), with a stop time-out well above the watchdog's 5-second wind-down,
// restarted by systemd if the watchdog itself dies, and sandboxed: no
// capabilities, no new privileges, a read-only system, private /tmp and
// devices, IPv4, IPv6 and UNIX sockets only, the system-service system calls
// only, and a memory ceiling above the worker's own limit. An installation
// under a home directory keeps /home (or /root) readable instead of hidden.
std::string BuildUnitText(const UnitOptions& options);

// exePath written for ExecStart: '%' and '$' escaped, and quoted with
// backslash escapes when it holds blanks, quotes or backslashes.
std::string QuoteExecPath(const std::string& exePath);

}  // namespace nuv
