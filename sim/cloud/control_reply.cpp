#include "sim/cloud/control_reply.h"

#include <httplib.h>
#include <json/json.h>

#include "sim/cloud/sim_json.h"

namespace nuv {
namespace sim {

void ReplyJson(httplib::Response& res, const Json::Value& v, int status) {
  res.status = status;
  res.set_content(WriteJson(v, "  ") + "\n", "application/json");
}

void ReplyError(httplib::Response& res, const std::string& what, int status) {
  Json::Value v;
  v["error"] = what;
  ReplyJson(res, v, status);
}

bool ReadJsonObjectBody(const httplib::Request& req, Json::Value& out, bool emptyIsObject) {
  if (emptyIsObject && req.body.empty()) {
    out = Json::Value(Json::objectValue);
    return true;
  }
  return ReadJson(req.body, out) && out.isObject();
}

}  // namespace sim
}  // namespace nuv
