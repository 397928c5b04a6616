#include "sim/im/im_sim_control.h"

#include <httplib.h>
#include <json/json.h>
#include <pugixml.hpp>

#include <thread>
#include <vector>

#include "sim/cloud/sha256_hex.h"
#include "sim/cloud/http_serve.h"
#include "sim/im/base64.h"
#include "sim/im/im_sim_server.h"

namespace nuv {
namespace sim {
namespace {

std::string ToJson(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = " ";
  b["emitUTF8"] = true;
  return Json::writeString(b, v) + "\n";
}

Json::Value FieldsJson(const WireFields& f) {
  Json::Value o(Json::objectValue);
  for (const auto& kv : f.map()) o[kv.first] = kv.second;
  return o;
}

// The named values of a NUVSData text, for display.
Json::Value DataValues(const std::string& xml) {
  Json::Value o(Json::objectValue);
  pugi::xml_document doc;
  if (!doc.load_buffer(xml.data(), xml.size())) return o;
  for (pugi::xml_node v : doc.child("NUVSData").children("Value")) {
    o[v.attribute("Name").value()] = v.text().get();
  }
  return o;
}

ControlReply Error(int status, const std::string& message) {
  Json::Value o;
  o["error"] = message;
  return ControlReply{status, ToJson(o)};
}

bool ParseBody(const ControlRequest& req, Json::Value* out, ControlReply* err) {
  if (req.body.empty()) {
    *out = Json::Value(Json::objectValue);
    return true;
  }
  Json::CharReaderBuilder rb;
  std::unique_ptr<Json::CharReader> r(rb.newCharReader());
  std::string e;
  if (!r->parse(req.body.data(), req.body.data() + req.body.size(), out, &e) || !out->isObject()) {
    *err = Error(400, "body is not a JSON object");
    return false;
  }
  return true;
}

// File bytes are given as "data" (base64) or "text" (as it stands).
bool FileBytes(const Json::Value& f, std::string* bytes) {
  if (f.isMember("data")) return f["data"].isString() && Base64Decode(f["data"].asString(), bytes);
  *bytes = f.get("text", "").asString();
  return true;
}

}  // namespace

struct ImSimControl::Impl {
  explicit Impl(ImSimServer& s) : server(s) {}
  ImSimServer& server;
  httplib::Server http;
  std::thread thread;
  int port = 0;

  void Route(const std::string& method, const std::string& path, ControlHandler h) {
    auto adapter = [h](const httplib::Request& rq, httplib::Response& rs) {
      ControlReply r = h(ControlRequest{rq.method, rq.path, rq.body});
      rs.status = r.status;
      rs.set_content(r.body, r.contentType.c_str());
    };
    if (method == "GET") {
      http.Get(path, adapter);
    } else {
      http.Post(path, adapter);
    }
  }

  void JsonRoute(const std::string& method, const std::string& path,
                 std::function<ControlReply(const Json::Value&)> h) {
    Route(method, path, [h](const ControlRequest& req) {
      Json::Value body;
      ControlReply err;
      if (!ParseBody(req, &body, &err)) return err;
      return h(body);
    });
  }

  void AddBuiltins();
};

void ImSimControl::Impl::AddBuiltins() {
  ImSimServer& s = server;
  JsonRoute("GET", "/state", [&s](const Json::Value&) {
    ImSimServer::AppState st = s.State();
    Json::Value o;
    o["registered"] = st.registered;
    o["started"] = st.started;
    o["fm_started"] = st.fmStarted;
    o["registration"] = FieldsJson(st.registration);
    return ControlReply{200, ToJson(o)};
  });
  JsonRoute("GET", "/calls", [&s](const Json::Value&) {
    Json::Value a(Json::arrayValue);
    for (const auto& c : s.Calls()) a.append(FieldsJson(c));
    return ControlReply{200, ToJson(a)};
  });
  JsonRoute("GET", "/messages", [&s](const Json::Value&) {
    Json::Value a(Json::arrayValue);
    const std::vector<WireFields> messages = s.Messages();
    const std::vector<int64_t> times = s.MessageTimesUs();
    for (size_t i = 0; i < messages.size(); ++i) {
      Json::Value o = FieldsJson(messages[i]);
      o["values"] = DataValues(messages[i].Get("content"));
      if (i < times.size()) o["recv_us"] = static_cast<Json::Int64>(times[i]);
      a.append(o);
    }
    return ControlReply{200, ToJson(a)};
  });
  JsonRoute("GET", "/counts", [&s](const Json::Value&) {
    ImSimServer::Counts c = s.RecordCounts();
    Json::Value o;
    o["calls"] = static_cast<Json::UInt64>(c.calls);
    o["messages"] = static_cast<Json::UInt64>(c.messages);
    o["sysmessages"] = static_cast<Json::UInt64>(c.sysMessages);
    o["sentfiles"] = static_cast<Json::UInt64>(c.sentFiles);
    o["acks"] = static_cast<Json::UInt64>(c.acks);
    o["unacked"] = static_cast<Json::UInt64>(c.unacked);
    return ControlReply{200, ToJson(o)};
  });
  JsonRoute("GET", "/sysmessages", [&s](const Json::Value&) {
    Json::Value a(Json::arrayValue);
    for (const auto& m : s.SysMessages()) a.append(FieldsJson(m));
    return ControlReply{200, ToJson(a)};
  });
  // /sentfiles/meta: the same without the bytes (for large files).
  for (const bool withData : {true, false}) {
    JsonRoute("GET", withData ? "/sentfiles" : "/sentfiles/meta", [&s, withData](const Json::Value&) {
      Json::Value a(Json::arrayValue);
      for (const auto& f : s.SentFiles()) {
        Json::Value o = FieldsJson(f.fields);
        if (withData) o["data"] = Base64Encode(f.data);
        o["size_bytes"] = static_cast<Json::UInt64>(f.data.size());
        o["sha256"] = Sha256Hex(f.data);
        o["recv_us"] = static_cast<Json::Int64>(f.receivedUs);
        a.append(o);
      }
      return ControlReply{200, ToJson(a)};
    });
  }
  JsonRoute("GET", "/users", [&s](const Json::Value&) {
    Json::Value o(Json::objectValue);
    for (const auto& kv : s.Presence()) o[kv.first] = kv.second;
    return ControlReply{200, ToJson(o)};
  });
  JsonRoute("POST", "/users", [&s](const Json::Value& b) {
    const std::string state = b.get("state", "").asString();
    if (!b["user"].isString() || (state != "online" && state != "offline" && state != "away")) {
      return Error(400, "need user and state online|offline|away");
    }
    s.SetPresence(b["user"].asString(), state);
    return ControlReply{200, "{}\n"};
  });
  JsonRoute("POST", "/send", [&s](const Json::Value& b) {
    ImSimServer::UserMessage m;
    m.from = b.get("from", "").asString();
    for (const auto& t : b["to"]) m.to.push_back(t.asString());
    if (m.from.empty() || m.to.empty()) return Error(400, "need from and to");
    m.text = b.get("text", "").asString();
    m.key = b.get("key", "").asString();
    m.gapMs = b.get("gap_ms", 2).asInt();
    m.announce = b.get("announce", "before").asString();
    m.rawBody = b.get("raw_body", "").asString();
    m.rawContent = b.get("raw_content", "").asString();
    for (const auto& f : b["files"]) {
      ImSimServer::UserFile uf;
      uf.name = f.get("name", "").asString();
      if (!FileBytes(f, &uf.data)) return Error(400, "bad base64 in file data");
      uf.image = f.get("image", false).asBool();
      uf.p2p = f.get("p2p", false).asBool();
      m.files.push_back(uf);
    }
    // repeat N: N messages one after the other, " #i" appended to the text
    // of each, every one with its own key; the answer is about the first,
    // with last_raised_us of the last.
    const int repeat = b.get("repeat", 1).asInt();
    if (repeat < 1 || (repeat > 1 && !m.key.empty())) return Error(400, "repeat needs no key and >= 1");
    std::string keyOrError;
    std::vector<std::string> fids;
    int64_t raisedUs = 0, lastRaisedUs = 0;
    Json::Value o;
    for (int i = 0; i < repeat; ++i) {
      ImSimServer::UserMessage one = m;
      if (repeat > 1) one.text += " #" + std::to_string(i);
      std::string k;
      if (!s.UserSend(one, &k, i == 0 ? &fids : nullptr, i == 0 ? &raisedUs : &lastRaisedUs)) {
        if (i == 0) return Error(409, k);
        o["sent"] = i;
        break;
      }
      if (i == 0) keyOrError = k;
    }
    if (!o.isMember("sent")) o["sent"] = repeat;
    o["raised_us"] = static_cast<Json::Int64>(raisedUs);
    o["last_raised_us"] = static_cast<Json::Int64>(repeat > 1 ? lastRaisedUs : raisedUs);
    o["key"] = keyOrError;
    o["fids"] = Json::Value(Json::arrayValue);
    for (const auto& f : fids) o["fids"].append(f);
    return ControlReply{200, ToJson(o)};
  });
  JsonRoute("POST", "/upload", [&s](const Json::Value& b) {
    std::string bytes;
    if (!FileBytes(b, &bytes)) return Error(400, "bad base64 in file data");
    Json::Value o;
    o["fid"] = s.UserUpload(b.get("name", "").asString(), bytes, b.get("announce", true).asBool());
    return ControlReply{200, ToJson(o)};
  });
  JsonRoute("POST", "/announce", [&s](const Json::Value& b) {
    if (!s.Announce(b.get("fid", "").asString())) return Error(409, "not announced");
    return ControlReply{200, "{}\n"};
  });
  JsonRoute("POST", "/faults", [&s](const Json::Value& b) {
    ImSimServer::Faults f = s.GetFaults();
    f.refuseRegister = b.get("refuse_register", f.refuseRegister).asBool();
    f.failAppStart = b.get("fail_app_start", f.failAppStart).asBool();
    f.failFmStart = b.get("fail_fm_start", f.failFmStart).asBool();
    f.neverAnnounce = b.get("never_announce", f.neverAnnounce).asBool();
    f.holdDownloads = b.get("hold_downloads", f.holdDownloads).asBool();
    // A fault that can hit none, the next one or every one: 0, 1, 2.
    auto howOften = [&b](const char* key, int* value) {
      if (!b.isMember(key)) return true;
      const std::string d = b[key].asString();
      if (d != "none" && d != "once" && d != "always") return false;
      *value = d == "none" ? 0 : d == "once" ? 1 : 2;
      return true;
    };
    if (!howOften("download_fail", &f.downloadFail)) return Error(400, "download_fail: none|once|always");
    if (!howOften("send_file_fail", &f.sendFileFail)) return Error(400, "send_file_fail: none|once|always");
    s.SetFaults(f);
    return ControlReply{200, "{}\n"};
  });
  JsonRoute("POST", "/release-downloads", [&s](const Json::Value&) {
    s.ReleaseDownloads();
    return ControlReply{200, "{}\n"};
  });
  JsonRoute("POST", "/stop-app", [&s](const Json::Value& b) {
    const std::string target = b.get("target", "app").asString();
    if (!s.RaiseAppStopped(b.get("code", 0).asInt(), target)) return Error(409, "no started application");
    return ControlReply{200, "{}\n"};
  });
  JsonRoute("POST", "/drop", [&s](const Json::Value&) {
    s.DropConnections();
    return ControlReply{200, "{}\n"};
  });
  JsonRoute("POST", "/reset", [&s](const Json::Value&) {
    s.ClearRecords();
    return ControlReply{200, "{}\n"};
  });
}

ImSimControl::ImSimControl(ImSimServer& server) : impl_(std::make_unique<Impl>(server)) {
  impl_->http.set_tcp_nodelay(true);
  impl_->AddBuiltins();
}

ImSimControl::~ImSimControl() { Stop(); }

void ImSimControl::AddRoute(const std::string& method, const std::string& path, ControlHandler handler) {
  impl_->Route(method, path, std::move(handler));
}

bool ImSimControl::Start(const std::string& ip, uint16_t port, std::string* error) {
  if (port == 0) {
    impl_->port = impl_->http.bind_to_any_port(ip);
  } else {
    impl_->port = impl_->http.bind_to_port(ip, port) ? port : -1;
  }
  if (impl_->port <= 0) {
    *error = "control interface cannot listen on " + ip + ":" + std::to_string(port);
    return false;
  }
  impl_->thread = ServeInBackground(impl_->http);
  return true;
}

void ImSimControl::Stop() {
  if (impl_->thread.joinable()) StopServing(impl_->http, impl_->thread);
}

uint16_t ImSimControl::port() const { return static_cast<uint16_t>(impl_->port); }

}  // namespace sim
}  // namespace nuv
