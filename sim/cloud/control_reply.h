#pragma once
// Reply helpers shared by the simulators' HTTP+JSON control interfaces:
// every control reply is an indented JSON body; errors are {"error": "..."}.
// Stateless; called on the HTTP server's threads.

#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib
namespace Json {
class Value;
}

namespace nuv {
namespace sim {

void ReplyJson(httplib::Response& res, const Json::Value& v, int status = 200);
void ReplyError(httplib::Response& res, const std::string& what, int status = 400);
// The request body as a JSON object; with emptyIsObject an empty body is {}.
bool ReadJsonObjectBody(const httplib::Request& req, Json::Value& out, bool emptyIsObject);

}  // namespace sim
}  // namespace nuv
