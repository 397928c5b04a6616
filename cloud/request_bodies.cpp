#include "cloud/request_bodies.h"

#include <json/json.h>

#include <memory>

namespace nuv {
namespace {

// Serialises v the way the cloud expects; false when jsoncpp throws.
bool Write(const Json::Value& v, std::string& body) {
  try {
    Json::StreamWriterBuilder b;
    b["indentation"] = "   ";
    b["emitUTF8"] = true;
    body = Json::writeString(b, v);
    body += '\n';
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

Json::Value Str(const std::string& s) { return Json::Value(s); }

void PutList(Json::Value& obj, const char* key, const std::vector<std::string>& list) {
  if (list.empty()) return;
  Json::Value arr(Json::arrayValue);
  for (const std::string& s : list) arr.append(Str(s));
  obj[key] = arr;
}

}  // namespace

bool BuildLoginBody(const LoginRequest& r, std::string& body) {
  Json::Value v;
  v["clientkey"] = Str(r.clientkey);
  return Write(v, body);
}

bool BuildRefreshSkeyBody(uint64_t vid, const std::string& refreshToken, std::string& body) {
  Json::Value v;
  v["vid"] = Json::Value(static_cast<Json::UInt64>(vid));
  v["refresh_token"] = Str(refreshToken);
  return Write(v, body);
}

bool BuildGetUploadFileUrlBody(const GetUploadFileUrlRequest& r, std::string& body) {
  Json::Value v;
  v["type"] = r.type;
  v["contact_type"] = r.contact_type;
  return Write(v, body);
}

bool BuildSetContactsBody(const SetContactsRequest& r, std::string& body) {
  Json::Value v;
  v["op"] = r.op;
  v["media_id"] = Str(r.media_id);
  return Write(v, body);
}

bool BuildCheckContactsBody(const CheckContactsRequest& r, std::string& body) {
  Json::Value v;
  v["job_id"] = Str(r.job_id);
  v["op"] = r.op;
  return Write(v, body);
}

bool BuildSendMsgBody(const OndekoMsgItem& m, std::string& body) {
  Json::Value item;
  item["cur_userid"] = Str(m.cur_userid);
  item["chatid"] = Str(m.chatid);
  item["chatname"] = Str(m.chatname);
  item["msg_type"] = Json::Value(static_cast<Json::UInt>(m.msg_type));
  PutList(item, "to_userid_list", m.to_userid_list);
  PutList(item, "skip_userid_list", m.skip_userid_list);
  item["content"] = Str(m.content);
  PutList(item, "image_id_list", m.image_id_list);
  PutList(item, "file_id_list", m.file_id_list);
  Json::Value v;
  v["msgitem"] = item;
  return Write(v, body);
}

bool BuildGetMediaUrlBody(const GetMediaUrlRequest& r, std::string& body) {
  Json::Value v;
  v["media_id"] = Str(r.media_id);
  return Write(v, body);
}

bool BuildFetchMsgBody(const FetchMsgRequest& r, std::string& body) {
  Json::Value v;
  v["beg_msg_id"] = Json::Value(static_cast<Json::UInt64>(r.beg_msg_id));
  v["end_msg_id"] = Json::Value(static_cast<Json::UInt64>(r.end_msg_id));
  return Write(v, body);
}

bool BuildBindTokenBody(const BindTokenRequest& r, std::string& body) {
  Json::Value v;
  v["token"] = Json::Value(static_cast<Json::UInt64>(r.token));
  return Write(v, body);
}

bool BuildKfFileKeyBody(const std::string& kfFileKey, std::string& body) {
  Json::Value v;
  v["kf_file_key"] = Str(kfFileKey);
  return Write(v, body);
}

bool BuildFlagBody(const FlagRequest& r, std::string& body) {
  Json::Value v;
  v["flag"] = r.flag;
  return Write(v, body);
}

bool BuildGetErrorListBody(const GetErrorListRequest& r, std::string& body) {
  Json::Value v;
  v["jobid"] = Str(r.jobid);
  return Write(v, body);
}

bool BuildCheckUploadKfFileBody(const CheckUploadKfFileRequest& r, std::string& body) {
  Json::Value v;
  v["file_key"] = Str(r.file_key);
  v["file_type"] = r.file_type;
  return Write(v, body);
}

bool BuildInstallDoneBody(const InstallDoneRequest& r, std::string& body) {
  Json::Value v;
  v["stag"] = Str(r.stag);
  return Write(v, body);
}

bool BuildSetMuteStatusBody(const SetMuteStatusRequest& r, std::string& body) {
  Json::Value v;  // stays null for an empty list
  for (const MuteItem& m : r.status_list) {
    Json::Value e;
    e["username"] = Str(m.username);
    e["mute_status"] = m.mute_status;
    v["status_list"].append(e);
  }
  return Write(v, body);
}

bool BuildCliReportBody(const CliReportRequest& r, std::string& body) {
  Json::Value v;
  v["report_content"] = Str(r.report_content);
  return Write(v, body);
}

}  // namespace nuv
