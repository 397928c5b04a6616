#include "sim/push/push_control.h"

#include <httplib.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "sim/cloud/control_reply.h"
#include "sim/cloud/sim_json.h"
#include "sim/push/push_server.h"
#include "sim/push/server_frames.h"

namespace nuv {
namespace sim {
namespace {

using httplib::Request;
using httplib::Response;

void Reply(Response& res, const Json::Value& v, int status = 200) { ReplyJson(res, v, status); }
void Error(Response& res, const std::string& what, int status = 400) { ReplyError(res, what, status); }

void Ok(Response& res, bool sent) {
  if (!sent) {
    Error(res, "no established push client", 409);
    return;
  }
  Json::Value v;
  v["ok"] = true;
  Reply(res, v);
}

bool ReadBody(const Request& req, Json::Value& out) { return ReadJsonObjectBody(req, out, true); }

uint64_t U64(const Json::Value& v, uint64_t def = 0) {
  return v.isUInt64() ? v.asUInt64() : v.isIntegral() && v.asInt64() >= 0 ? v.asUInt64() : def;
}

OndekoMsgItem MessageFromJson(const Json::Value& v) {
  OndekoMsgItem m;
  m.msg_id = U64(v["msg_id"]);
  m.cur_userid = v["cur_userid"].asString();
  m.chatid = v["chatid"].asString();
  m.chatname = v["chatname"].asString();
  m.to_userid_list = JsonStrings(v["to_userid_list"]);
  m.skip_userid_list = JsonStrings(v["skip_userid_list"]);
  m.content = v["content"].asString();
  m.image_id_list = JsonStrings(v["image_id_list"]);
  m.file_id_list = JsonStrings(v["file_id_list"]);
  m.create_time = static_cast<uint32_t>(U64(v["create_time"]));
  m.msg_type = static_cast<uint32_t>(U64(v["msg_type"]));
  return m;
}

// {"msg_id", "sequence", "flag", "message": {...}} or "payload_hex".
bool EntryFromJson(const Json::Value& v, NotifyEntry* e) {
  if (!v.isObject()) return false;
  e->msgId = U64(v["msg_id"]);
  e->sequence = static_cast<uint32_t>(U64(v["sequence"]));
  e->flag = static_cast<uint8_t>(U64(v["flag"]));
  if (v.isMember("payload_hex")) {
    const std::string hex = v["payload_hex"].asString();
    if (hex.size() % 2 != 0) return false;
    e->payload.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
      char* end = nullptr;
      const std::string byte = hex.substr(i, 2);
      long b = std::strtol(byte.c_str(), &end, 16);
      if (*end != '\0') return false;
      e->payload += static_cast<char>(b);
    }
    return true;
  }
  OndekoMsgItem m = MessageFromJson(v["message"]);
  if (!v["message"].isMember("msg_id")) m.msg_id = e->msgId;
  e->payload = EncodeNotifyPayload(m);
  return true;
}

bool FrameFromJson(const Json::Value& items, std::vector<NotifyEntry>* out) {
  if (!items.isArray()) return false;
  for (const Json::Value& v : items) {
    NotifyEntry e;
    if (!EntryFromJson(v, &e)) return false;
    out->push_back(std::move(e));
  }
  return true;
}

Json::Value StatsJson(const PushServer& push) {
  const PushServerStats st = push.Stats();
  Json::Value v;
  v["port"] = push.port();
  v["accepted"] = st.accepted;
  v["open"] = st.open;
  v["established"] = st.established;
  v["key_requests"] = st.keyRequests;
  v["bad_frames"] = st.badFrames;
  v["heartbeat_requests"] = st.heartbeatRequests;
  v["heartbeat_replies"] = st.heartbeatReplies;
  v["pending"] = static_cast<Json::UInt64>(push.PendingCount());
  Json::Value connects(Json::arrayValue);
  for (const ConnectRecord& c : st.connects) {
    Json::Value e;
    e["token"] = Json::Value(static_cast<Json::UInt64>(c.token));
    e["createtime"] = c.createtime;
    e["last_seq"] = c.lastSeq;
    connects.append(e);
  }
  v["connects"] = connects;
  Json::Value acks(Json::arrayValue);
  for (uint32_t a : st.acks) acks.append(a);
  v["acks"] = acks;
  return v;
}

Json::Value FaultsJson(const PushFaults& f) {
  Json::Value v;
  v["withhold_key_reply"] = f.withholdKeyReply;
  v["key_reply_delay_ms"] = f.keyReplyDelayMs;
  v["withhold_connect_reply"] = f.withholdConnectReply;
  v["connect_reply_delay_ms"] = f.connectReplyDelayMs;
  v["reject_connects"] = f.rejectConnects;
  v["reject_result"] = f.rejectResult;
  v["bad_key_checksums"] = f.badKeyChecksums;
  v["split_writes"] = f.splitWrites;
  v["answer_heartbeats"] = f.answerHeartbeats;
  return v;
}

// Members present in the body change; the others keep their value.
PushFaults FaultsFromJson(const Json::Value& v, PushFaults f) {
  auto flag = [&](const char* k, bool& out) {
    if (v[k].isBool()) out = v[k].asBool();
  };
  auto num = [&](const char* k, int& out) {
    if (v[k].isInt()) out = v[k].asInt();
  };
  flag("withhold_key_reply", f.withholdKeyReply);
  num("key_reply_delay_ms", f.keyReplyDelayMs);
  flag("withhold_connect_reply", f.withholdConnectReply);
  num("connect_reply_delay_ms", f.connectReplyDelayMs);
  num("reject_connects", f.rejectConnects);
  if (v["reject_result"].isUInt()) f.rejectResult = v["reject_result"].asUInt();
  num("bad_key_checksums", f.badKeyChecksums);
  num("split_writes", f.splitWrites);
  flag("answer_heartbeats", f.answerHeartbeats);
  return f;
}

}  // namespace

void RegisterPushControlRoutes(httplib::Server& server, PushServer& push) {
  server.Get("/control/push/status", [&push](const Request&, Response& res) {
    Reply(res, StatsJson(push));
  });
  server.Post("/control/push/announce", [&push](const Request& req, Response& res) {
    Json::Value body;
    if (!ReadBody(req, body)) return Error(res, "body must be a JSON object");
    Json::Value v;
    v["sequence"] = push.AnnounceMessage(MessageFromJson(body));
    Reply(res, v);
  });
  server.Post("/control/push/notify", [&push](const Request& req, Response& res) {
    Json::Value body;
    if (!ReadBody(req, body)) return Error(res, "body must be a JSON object");
    std::vector<std::vector<NotifyEntry>> frames;
    if (body.isMember("frames")) {
      if (!body["frames"].isArray()) return Error(res, "frames must be an array");
      for (const Json::Value& f : body["frames"]) {
        frames.emplace_back();
        if (!FrameFromJson(f, &frames.back())) return Error(res, "bad item in frames");
      }
    } else {
      frames.emplace_back();
      if (!FrameFromJson(body["items"], &frames.back())) return Error(res, "items must be an array of items");
    }
    Ok(res, push.AnnounceFrames(frames, body["one_write"].asBool()));
  });
  server.Post("/control/push/heartbeat", [&push](const Request&, Response& res) {
    Ok(res, push.SendHeartbeat());
  });
  server.Post("/control/push/bad-frame", [&push](const Request& req, Response& res) {
    Json::Value body;
    if (!ReadBody(req, body)) return Error(res, "body must be a JSON object");
    const std::string kind = body["kind"].asString();
    if (kind == "undecryptable") return Ok(res, push.SendUndecryptableFrame());
    if (kind == "checksum") return Ok(res, push.SendBadChecksumFrame());
    Error(res, "kind must be \"undecryptable\" or \"checksum\"");
  });
  server.Post("/control/push/close", [&push](const Request&, Response& res) {
    push.CloseConnections();
    Ok(res, true);
  });
  server.Post("/control/push/release", [&push](const Request&, Response& res) {
    push.ReleaseHeldReplies();
    Ok(res, true);
  });
  server.Get("/control/push/faults", [&push](const Request&, Response& res) {
    Reply(res, FaultsJson(push.faults()));
  });
  server.Post("/control/push/faults", [&push](const Request& req, Response& res) {
    Json::Value body;
    if (!ReadBody(req, body)) return Error(res, "body must be a JSON object");
    PushFaults f = body["reset"].asBool() ? PushFaults() : push.faults();
    push.SetFaults(FaultsFromJson(body, f));
    Reply(res, FaultsJson(push.faults()));
  });
  server.Post("/control/push/token", [&push](const Request& req, Response& res) {
    Json::Value body;
    if (!ReadBody(req, body)) return Error(res, "body must be a JSON object");
    if (body.isMember("new_client_token"))
      push.SetNewClientToken(U64(body["new_client_token"]),
                             static_cast<uint32_t>(U64(body["createtime"])));
    if (body.isMember("reply_override")) push.SetReplyTokenOverride(U64(body["reply_override"]));
    Ok(res, true);
  });
}

}  // namespace sim
}  // namespace nuv
