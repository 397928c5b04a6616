#pragma once
// JSON helpers shared by the simulator's cloud endpoints and its control
// interface (jsoncpp stays behind this forward declaration). Stateless.

#include <string>
#include <vector>

#include "sim/cloud/sim_cloud_types.h"

namespace Json {
class Value;
}

namespace nuv {
namespace sim {

// Parses body; false (out untouched or partial) when it is not JSON.
bool ReadJson(const std::string& body, Json::Value& out);
// Compact form, or with the given indentation; strings as their bytes.
std::string WriteJson(const Json::Value& v, const char* indentation = "");
// The JSON strings of an array; other elements and non-arrays are skipped.
std::vector<std::string> JsonStrings(const Json::Value& v);
Json::Value JsonStringArray(const std::vector<std::string>& list);
// A cloud message in the fetch_msg element form.
Json::Value CloudMessageToJson(const SimCloudMessage& m);

}  // namespace sim
}  // namespace nuv
