#include "sim/imdb/imdb_control.h"

#include <json/json.h>

#include <memory>

#include "sim/imdb/im_directory_db.h"

namespace nuv {
namespace sim {
namespace {

std::string Write(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  return Json::writeString(b, v);
}

int Reply(std::string& out, int status, const std::string& error = "") {
  Json::Value v;
  v["ok"] = status == 200;
  if (!error.empty()) v["error"] = error;
  out = Write(v);
  return status;
}

bool Parse(const std::string& body, Json::Value& v, std::string& error) {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  if (!r->parse(body.data(), body.data() + body.size(), &v, &error)) return false;
  if (!v.isObject()) {
    error = "the body must be a JSON object";
    return false;
  }
  return true;
}

// Reads a required integer member.
bool Int(const Json::Value& v, const char* key, int& out, std::string& error) {
  if (!v.isMember(key) || !v[key].isInt()) {
    error = std::string("\"") + key + "\" must be an integer";
    return false;
  }
  out = v[key].asInt();
  return true;
}

std::string Str(const Json::Value& v, const char* key) {
  return v.isMember(key) && v[key].isString() ? v[key].asString() : std::string();
}

}  // namespace

int HandleImDbControl(ImDirectoryDb& db, const std::string& method, const std::string& route,
                      const std::string& body, std::string& out) {
  if (method == "GET" && route == "/counts") {
    DirectoryCounts c = db.Counts();
    Json::Value v;
    v["ok"] = true;
    v["depts"] = static_cast<Json::Int64>(c.depts);
    v["users"] = static_cast<Json::Int64>(c.users);
    v["members"] = static_cast<Json::Int64>(c.members);
    out = Write(v);
    return 200;
  }
  if (method != "POST") return Reply(out, 404, "no such route");
  Json::Value v;
  std::string error;
  if (!Parse(body, v, error)) return Reply(out, 400, error);
  int id = 0, other = 0, sort = 0;
  bool ok = false;
  if (route == "/dept/add") {
    if (!Int(v, "id", id, error) || !Int(v, "parent", other, error)) return Reply(out, 400, error);
    sort = v.get("sort", 0).isInt() ? v.get("sort", 0).asInt() : 0;
    ok = db.AddDept(id, other, Str(v, "name"), sort);
  } else if (route == "/dept/rename") {
    if (!Int(v, "id", id, error)) return Reply(out, 400, error);
    ok = db.RenameDept(id, Str(v, "name"));
  } else if (route == "/dept/remove") {
    if (!Int(v, "id", id, error)) return Reply(out, 400, error);
    ok = db.RemoveDept(id);
  } else if (route == "/user/add") {
    SimUser u;
    if (!Int(v, "id", u.id, error)) return Reply(out, 400, error);
    u.account = Str(v, "account");
    u.name = Str(v, "name");
    u.mobile = Str(v, "mobile");
    u.email = Str(v, "email");
    u.position = Str(v, "position");
    u.gender = v.get("gender", 0).isInt() ? v.get("gender", 0).asInt() : 0;
    ok = db.AddUser(u);
  } else if (route == "/user/rename") {
    if (!Int(v, "id", id, error)) return Reply(out, 400, error);
    ok = db.RenameUser(id, Str(v, "name"));
  } else if (route == "/user/remove") {
    if (!Int(v, "id", id, error)) return Reply(out, 400, error);
    ok = db.RemoveUser(id);
  } else if (route == "/member/add") {
    if (!Int(v, "dept", id, error) || !Int(v, "user", other, error)) return Reply(out, 400, error);
    sort = v.get("sort", 0).isInt() ? v.get("sort", 0).asInt() : 0;
    ok = db.AddMembership(id, other, sort);
  } else if (route == "/member/remove") {
    if (!Int(v, "dept", id, error) || !Int(v, "user", other, error)) return Reply(out, 400, error);
    ok = db.RemoveMembership(id, other);
  } else {
    return Reply(out, 404, "no such route");
  }
  if (!ok) return Reply(out, 409, db.lastError().empty() ? "no such record" : db.lastError());
  return Reply(out, 200);
}

}  // namespace sim
}  // namespace nuv
