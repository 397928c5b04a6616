#include "service/systemd_unit.h"

#include "service/registration.h"

namespace nuv {

const char kServiceUser[] = "nuv4ondeko";

namespace {

// A path as one word of a unit setting: '%' (specifiers) escaped, '$'
// (variables) too where the setting expands them, and quoted with backslash
// escapes when it holds blanks, quotes or backslashes.
std::string QuoteUnitWord(const std::string& path, bool expandsVariables) {
  bool quote = false;
  std::string out;
  for (char c : path) {
    switch (c) {
      case '%': out += "%%"; break;
      case '$': out += expandsVariables ? "$$" : "$"; break;
      case '"':
      case '\\':
        quote = true;
        out += '\\';
        out += c;
        break;
      case ' ':
      case '\t':
      case '\'':
        quote = true;
        out += c;
        break;
      default: out += c;
    }
  }
  return quote ? "\"" + out + "\"" : out;
}

bool UnderHome(const std::string& path) {
  for (const char* top : {"/home/", "/root/", "/run/user/"})
    if (path.compare(0, std::char_traits<char>::length(top), top) == 0) return true;
  return false;
}

}  // namespace

std::string UnitFileName() { return std::string(kServiceName) + ".service"; }

std::string QuoteExecPath(const std::string& exePath) { return QuoteUnitWord(exePath, true); }

std::string BuildUnitText(const UnitOptions& o) {
  bool home = UnderHome(o.exePath);
  std::string writable;
  for (const std::string& p : o.writablePaths) {
    writable += (writable.empty() ? "" : " ") + QuoteUnitWord(p, false);
    home = home || UnderHome(p);
  }
  std::string t;
  t += "[Unit]\n";
  t += "Description=" + std::string(kServiceName) +
       " (Nuv IM server and Ondeko cloud bridge: watchdog and worker)\n";
  t += "Wants=network-online.target\n";
  t += "After=network-online.target\n";
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "ExecStart=" + QuoteExecPath(o.exePath) + "\n";
  // SIGTERM goes to the watchdog only; it ends the worker itself and exits
  // about 5 s later. Whatever is left after the time-out is killed.
  t += "KillMode=mixed\n";
  t += "TimeoutStopSec=30\n";
  t += "Restart=on-failure\n";
  t += "RestartSec=5\n";
  if (!o.user.empty()) {
    t += "User=" + o.user + "\n";
    t += "Group=" + o.user + "\n";
  }
  t += "UMask=0077\n";
  t += "# The worker ends itself when it passes maxmem (generalconf.ini, 1024 MB\n"
       "# by default); this ceiling for watchdog and worker lies above it. Raise\n"
       "# both together (systemctl edit " + UnitFileName() + ").\n";
  t += "MemoryMax=1536M\n";
  t += "# Every connection is outbound and every file written lies below\n"
       "# ReadWritePaths. Left out: ProcSubset=pid (the CPU check reads /proc/stat).\n";
  t += "NoNewPrivileges=yes\n";
  t += "CapabilityBoundingSet=\n";
  t += "AmbientCapabilities=\n";
  t += "ProtectSystem=strict\n";
  if (!writable.empty()) t += "ReadWritePaths=" + writable + "\n";
  t += std::string("ProtectHome=") + (home ? "read-only" : "yes") + "\n";
  t += "PrivateTmp=yes\n";
  t += "PrivateDevices=yes\n";
  t += "PrivateUsers=yes\n";
  t += "ProtectHostname=yes\n";
  t += "ProtectClock=yes\n";
  t += "ProtectKernelTunables=yes\n";
  t += "ProtectKernelModules=yes\n";
  t += "ProtectKernelLogs=yes\n";
  t += "ProtectControlGroups=yes\n";
  t += "ProtectProc=invisible\n";
  t += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
  t += "RestrictNamespaces=yes\n";
  t += "RestrictRealtime=yes\n";
  t += "RestrictSUIDSGID=yes\n";
  t += "LockPersonality=yes\n";
  t += "MemoryDenyWriteExecute=yes\n";
  t += "RemoveIPC=yes\n";
  t += "SystemCallArchitectures=native\n";
  t += "SystemCallFilter=@system-service\n";
  t += "SystemCallFilter=~@privileged @resources\n";
  t += "SystemCallErrorNumber=EPERM\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

}  // namespace nuv
