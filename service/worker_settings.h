#pragma once
// The worker's look at its two installation files before the bridge starts:
// service.ini (where the IM server, the cloud and the push server are) and
// qy.ini (the cloud credentials), both in the configuration directory. Each
// problem - file missing or unreadable, a line that is not "key = value", a
// value the service cannot use, a required key without a value - gives one
// log line naming the file and the key and saying what the worker does
// instead. Nothing here stops the worker: the IM start, the push connection
// and every cloud call keep retrying with what they have, and qy.ini is read
// again by every cloud call, so a corrected file takes effect at once.
// Called once by the worker's main thread.

#include <string>
#include <vector>

namespace nuv {

// The problems found, one text per problem (what was logged, without the
// "CheckWorkerSettings " prefix). configDir ends in '/'.
std::vector<std::string> CheckWorkerSettings(const std::string& configDir);

// The pure checks behind it (text of the file, or a read error).
std::vector<std::string> CheckServiceIniText(const std::string& path, const std::string& text);
std::vector<std::string> CheckQyIniText(const std::string& path, const std::string& text);

}  // namespace nuv
