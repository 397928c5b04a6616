#pragma once
// The systemd unit that installs the watchdog as a service. Pure text
// building; any thread.

#include <string>

namespace nuv {

// "Nuv4OndekoService.service"
std::string UnitFileName();

// The unit for the executable at exePath: a notify-type service started at
// boot once the network is up, whose stop signal reaches the watchdog alone
// (the watchdog then ends the worker), with a stop time-out well above the
// watchdog's 5-second wind-down, and restarted by systemd if the watchdog
// itself dies.
std::string BuildUnitText(const std::string& exePath);

// exePath written for ExecStart: '%' and '$' escaped, and quoted with
// backslash escapes when it holds blanks, quotes or backslashes.
std::string QuoteExecPath(const std::string& exePath);

}  // namespace nuv
