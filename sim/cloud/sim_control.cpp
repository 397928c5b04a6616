#include "sim/cloud/sim_control.h"

#include <httplib.h>
#include <json/json.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>

#include "sim/cloud/control_reply.h"
#include "sim/cloud/sha256_hex.h"
#include "sim/cloud/sim_cloud.h"
#include "sim/cloud/sim_json.h"

namespace nuv {
namespace sim {
namespace {

using httplib::Request;
using httplib::Response;

void Reply(Response& res, const Json::Value& v, int status = 200) { ReplyJson(res, v, status); }
bool ReadBody(const Request& req, Json::Value& out) { return ReadJsonObjectBody(req, out, false); }
void Error(Response& res, const std::string& what) { ReplyError(res, what, 400); }

Json::Value Pairs(const std::vector<std::pair<std::string, int>>& list) {
  Json::Value a(Json::arrayValue);
  for (const auto& p : list) {
    Json::Value e;
    e["username"] = p.first;
    e["mute_status"] = p.second;
    a.append(e);
  }
  return a;
}

bool ParseFault(const Json::Value& b, SimFault& f, std::string& err) {
  std::string kind = b.get("kind", "errcode").asString();
  if (kind == "errcode")
    f.kind = SimFault::Kind::ErrCode;
  else if (kind == "malformed")
    f.kind = SimFault::Kind::Malformed;
  else if (kind == "status")
    f.kind = SimFault::Kind::HttpStatus;
  else if (kind == "stall")
    f.kind = SimFault::Kind::Stall;
  else
    return err = "kind must be errcode, malformed, status or stall", false;
  const double seconds = b.get("seconds", 0).asDouble();
  if (seconds < 0 || seconds > 86400) return err = "seconds must be 0 to 86400", false;
  if (seconds > 0)
    f.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  // With a length and no count, every call within that length fails.
  f.count = b.get("count", seconds > 0 ? std::numeric_limits<int>::max() : 1).asInt();
  f.errCode = b.get("errCode", 0).asInt();
  f.httpStatus = b.get("httpStatus", 500).asInt();
  f.body = b.get("body", f.body).asString();
  f.stallMs = b.get("stallMs", 0).asInt();
  if (b.isMember("retryAfter")) f.retryAfter = b["retryAfter"].asString();
  return true;
}

}  // namespace

void RegisterControlRoutes(httplib::Server& s, SimCloud& cloud) {
  s.set_exception_handler(
      [](const Request&, Response& res, std::exception_ptr) { Error(res, "bad request"); });
  s.Get("/state", [&cloud](const Request&, Response& res) {
    Json::Value v;
    v["api_host"] = cloud.ApiHost();
    v["upload_host"] = cloud.UploadHost();
    v["ca_file"] = cloud.CaFile();
    SimCredentials c = cloud.Credentials();
    v["vid"] = Json::Value(static_cast<Json::UInt64>(c.vid));
    v["skey"] = c.skey;
    v["refresh_token"] = c.refresh_token;
    Reply(res, v);
  });
  s.Get("/qy.ini", [&cloud](const Request&, Response& res) {
    res.set_content(cloud.QyIniText(), "text/plain");
  });
  s.Get("/service.ini", [&cloud](const Request&, Response& res) {
    res.set_content(cloud.ServiceIniSection(), "text/plain");
  });
  s.Post("/skey/expire", [&cloud](const Request&, Response& res) {
    cloud.ExpireSkey();
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Post("/refresh_token/revoke", [&cloud](const Request&, Response& res) {
    cloud.RevokeRefreshToken();
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Post("/messages", [&cloud](const Request& req, Response& res) {
    Json::Value b;
    if (!ReadBody(req, b)) return Error(res, "body must be a JSON object");
    SimCloudMessage m;
    m.cur_userid = b.get("cur_userid", "").asString();
    m.chatid = b.get("chatid", "").asString();
    m.chatname = b.get("chatname", "").asString();
    m.content = b.get("content", "").asString();
    m.to_userid_list = JsonStrings(b["to_userid_list"]);
    m.skip_userid_list = JsonStrings(b["skip_userid_list"]);
    m.image_id_list = JsonStrings(b["image_id_list"]);
    m.file_id_list = JsonStrings(b["file_id_list"]);
    m.msg_type = b.get("msg_type", 0).asUInt();
    m.create_time = b.get("create_time", 0).asUInt();
    Json::Value v;
    const bool announce = b.get("announce", true).asBool();
    // repeat N: N messages one after the other, " #i" appended to the
    // content of each; the answer is about the first, with last_created_us
    // of the last.
    const int repeat = b.get("repeat", 1).asInt();
    if (repeat < 1) return Error(res, "repeat must be >= 1");
    for (int i = 0; i < repeat; ++i) {
      SimCloudMessage one = m;
      if (repeat > 1) one.content += " #" + std::to_string(i);
      int64_t createdUs = 0;
      const uint64_t id = cloud.CreateMessage(one, announce, &createdUs);
      if (i == 0) {
        v["msg_id"] = Json::Value(static_cast<Json::UInt64>(id));
        v["created_us"] = static_cast<Json::Int64>(createdUs);
      }
      v["last_created_us"] = static_cast<Json::Int64>(createdUs);
    }
    Reply(res, v);
  });
  s.Get("/counts", [&cloud](const Request&, Response& res) {
    Json::Value v;
    v["sent"] = static_cast<Json::UInt64>(cloud.SentCount());
    v["messages"] = static_cast<Json::UInt64>(cloud.CloudMessageCount());
    Json::Value calls(Json::objectValue);
    for (const auto& kv : cloud.CallCounts()) calls[kv.first] = static_cast<Json::UInt64>(kv.second);
    v["calls"] = calls;
    Reply(res, v);
  });
  s.Get("/messages", [&cloud](const Request&, Response& res) {
    Json::Value a(Json::arrayValue);
    for (const SimCloudMessage& m : cloud.CloudMessages()) a.append(CloudMessageToJson(m));
    Reply(res, a);
  });
  s.Get("/sent", [&cloud](const Request& req, Response& res) {
    Json::Value a(Json::arrayValue);
    const size_t from =
        req.has_param("from") ? std::strtoull(req.get_param_value("from").c_str(), nullptr, 10) : 0;
    const std::vector<SimSentMessage> sent = cloud.SentMessages();
    for (size_t i = from; i < sent.size(); ++i) {
      const SimSentMessage& m = sent[i];
      Json::Value v;
      v["received_us"] = static_cast<Json::Int64>(m.receivedUs);
      v["cur_userid"] = m.cur_userid;
      v["chatid"] = m.chatid;
      v["chatname"] = m.chatname;
      v["content"] = m.content;
      v["msg_type"] = m.msg_type;
      v["to_userid_list"] = JsonStringArray(m.to_userid_list);
      v["skip_userid_list"] = JsonStringArray(m.skip_userid_list);
      v["image_id_list"] = JsonStringArray(m.image_id_list);
      v["file_id_list"] = JsonStringArray(m.file_id_list);
      a.append(v);
    }
    Reply(res, a);
  });
  // The body is the file whatever its content type: read through a content
  // reader, since the server library refuses a form-encoded body over 8 KiB
  // when it parses it itself (and "curl --data-binary" sends that type).
  s.Post("/media", [&cloud](const Request& req, Response& res, const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, size_t len) {
      body.append(data, len);
      return true;
    });
    std::string name = req.get_param_value("name");
    if (name.empty()) return Error(res, "query parameter name is required");
    std::string type = req.has_param("type") ? req.get_param_value("type") : "file";
    Json::Value v;
    v["media_id"] = cloud.PutMedia(name, body, type);
    Reply(res, v);
  });
  s.Post("/fetch_limit", [&cloud](const Request& req, Response& res) {
    Json::Value b;
    if (!ReadBody(req, b) || !b["max"].isUInt()) return Error(res, "need {\"max\": n}");
    cloud.SetFetchLimit(b["max"].asUInt());
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Get("/uploads", [&cloud](const Request&, Response& res) {
    Json::Value a(Json::arrayValue);
    for (const SimMedia& m : cloud.UploadedMedia()) {
      Json::Value v;
      v["media_id"] = m.media_id;
      v["file_name"] = m.fileName;
      v["type"] = m.type;
      v["size"] = static_cast<Json::UInt64>(m.data.size());
      v["sha256"] = Sha256Hex(m.data);
      a.append(v);
    }
    Reply(res, a);
  });
  s.Get("/uploads/data", [&cloud](const Request& req, Response& res) {
    for (const SimMedia& m : cloud.UploadedMedia()) {
      if (m.media_id != req.get_param_value("media_id")) continue;
      res.set_content(m.data, "application/octet-stream");
      return;
    }
    ReplyError(res, "no such upload", 404);
  });
  s.Get("/kf_uploads", [&cloud](const Request&, Response& res) {
    Json::Value a(Json::arrayValue);
    for (const SimKfUpload& u : cloud.KfUploads()) {
      Json::Value v;
      v["type"] = u.type;
      v["vid"] = u.vid;
      v["size"] = static_cast<Json::UInt64>(u.data.size());
      a.append(v);
    }
    Reply(res, a);
  });
  s.Get("/imports", [&cloud](const Request&, Response& res) {
    Json::Value a(Json::arrayValue);
    for (const SimImportJob& j : cloud.ImportJobs()) {
      Json::Value v;
      v["job_id"] = j.job_id;
      v["op"] = j.op;
      v["kf_file_key"] = j.kf_file_key;
      v["queries"] = j.queries;
      v["percentage"] = j.percentage;
      v["rows"] = Json::Value(Json::arrayValue);
      for (const auto& row : j.rows) v["rows"].append(JsonStringArray(row));
      a.append(v);
    }
    Reply(res, a);
  });
  s.Post("/import_progress", [&cloud](const Request& req, Response& res) {
    Json::Value b;
    if (!ReadBody(req, b) || !b["steps"].isArray()) return Error(res, "need {\"steps\": [...]}");
    std::vector<int> steps;
    for (const Json::Value& e : b["steps"]) steps.push_back(e.asInt());
    cloud.SetImportProgress(steps);
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Post("/known_users", [&cloud](const Request& req, Response& res) {
    Json::Value b;
    if (!ReadBody(req, b)) return Error(res, "need {\"accounts\": [...]}");
    cloud.AddKnownUsers(JsonStrings(b["accounts"]));
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Get("/mute",
        [&cloud](const Request&, Response& res) { Reply(res, Pairs(cloud.MuteStatus())); });
  s.Get("/reports",
        [&cloud](const Request&, Response& res) { Reply(res, JsonStringArray(cloud.Reports())); });
  s.Get("/tokens", [&cloud](const Request&, Response& res) {
    Json::Value a(Json::arrayValue);
    for (uint64_t t : cloud.BoundTokens()) a.append(Json::Value(static_cast<Json::UInt64>(t)));
    Reply(res, a);
  });
  s.Get("/requests", [&cloud](const Request& req, Response& res) {
    std::string only = req.get_param_value("endpoint");
    Json::Value a(Json::arrayValue);
    for (const SimRequest& r : cloud.Requests()) {
      if (!only.empty() && r.endpoint != only) continue;
      Json::Value v;
      v["endpoint"] = r.endpoint;
      v["target"] = r.target;
      v["vid"] = r.vid;
      v["skey"] = r.skey;
      v["content_type"] = r.contentType;
      v["body"] = r.body;
      v["file_name"] = r.fileName;
      a.append(v);
    }
    Reply(res, a);
  });
  s.Post("/hand_out_urls", [&cloud](const Request& req, Response& res) {
    Json::Value b;
    if (!ReadBody(req, b)) return Error(res, "need a JSON object");
    cloud.HandOutUrls(b.get("upload_url", "").asString(), b.get("media_url", "").asString(),
                      b.get("count", 1).asInt());
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Post("/faults", [&cloud](const Request& req, Response& res) {
    Json::Value b;
    std::string err;
    SimFault f;
    if (!ReadBody(req, b) || !b["endpoint"].isString()) return Error(res, "need an endpoint");
    if (!ParseFault(b, f, err)) return Error(res, err);
    cloud.InjectFault(b["endpoint"].asString(), f);
    Reply(res, Json::Value(Json::objectValue));
  });
  s.Delete("/faults", [&cloud](const Request&, Response& res) {
    cloud.ClearFaults();
    Reply(res, Json::Value(Json::objectValue));
  });
}

}  // namespace sim
}  // namespace nuv
