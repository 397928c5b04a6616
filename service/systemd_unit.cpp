#include "service/systemd_unit.h"

#include "service/registration.h"

namespace nuv {

std::string UnitFileName() { return std::string(kServiceName) + ".service"; }

std::string QuoteExecPath(const std::string& exePath) {
  bool quote = false;
  std::string out;
  for (char c : exePath) {
    switch (c) {
      case '%': out += "%%"; break;
      case '$': out += "$$"; break;
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

std::string BuildUnitText(const std::string& exePath) {
  std::string t;
  t += "[Unit]\n";
  t += "Description=" + std::string(kServiceName) +
       " (Nuv IM server and Ondeko cloud bridge: watchdog and worker)\n";
  t += "Wants=network-online.target\n";
  t += "After=network-online.target\n";
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "ExecStart=" + QuoteExecPath(exePath) + "\n";
  // SIGTERM goes to the watchdog only; it ends the worker itself and exits
  // about 5 s later. Whatever is left after the time-out is killed.
  t += "KillMode=mixed\n";
  t += "TimeoutStopSec=30\n";
  t += "Restart=on-failure\n";
  t += "RestartSec=5\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

}  // namespace nuv
