#include "cloud/reply_parsers.h"

#include <json/json.h>

#include <functional>
#include <memory>

namespace nuv {
namespace {

bool ParseJson(const std::string& body, Json::Value& root) {
  try {
    // Building a reader costs more than parsing a small reply: one per thread.
    thread_local std::unique_ptr<Json::CharReader> reader(
        Json::CharReaderBuilder().newCharReader());
    std::string errs;
    return reader->parse(body.data(), body.data() + body.size(), &root, &errs);
  } catch (const std::exception&) {
    return false;
  }
}

// A JSON integer (not a real) in the signed 32-bit range.
bool IsInt32(const Json::Value& v) {
  return (v.type() == Json::intValue || v.type() == Json::uintValue) && v.isInt();
}

bool IsArrayOrNull(const Json::Value& v) { return v.isArray() || v.isNull(); }

// Member lookup that never throws: nullptr unless obj is an object holding key.
const Json::Value* Member(const Json::Value& obj, const char* key) {
  if (!obj.isObject()) return nullptr;
  return obj.find(key, key + std::char_traits<char>::length(key));
}

bool TakeString(const Json::Value& obj, const char* key, std::string& out) {
  const Json::Value* v = Member(obj, key);
  if (!v || !v->isString()) return false;
  out = v->asString();
  return true;
}

bool TakeInt32(const Json::Value& obj, const char* key, int32_t& out) {
  const Json::Value* v = Member(obj, key);
  if (!v || !IsInt32(*v)) return false;
  out = v->asInt();
  return true;
}

// String elements of an array (or null) member; others are skipped.
void TakeStringList(const Json::Value& obj, const char* key, std::vector<std::string>& out) {
  const Json::Value* v = Member(obj, key);
  if (!v || !v->isArray()) return;
  for (const Json::Value& e : *v)
    if (e.isString()) out.push_back(e.asString());
}

using DataReader = std::function<int(const Json::Value& data)>;

// The envelope steps; readData (may be empty) reads "data" when errCode is 0.
int ParseEnvelope(const std::string& body, ApiResult& r, const DataReader& readData) {
  Json::Value root;
  if (!ParseJson(body, root)) return kParseNotJson;
  try {
    const Json::Value* result = Member(root, "result");
    if (!result || !result->isObject()) return kParseBadMember;
    const Json::Value* code = Member(*result, "errCode");
    const Json::Value* msg = Member(*result, "message");
    if (!code || !IsInt32(*code) || !msg || !msg->isString()) return kParseBadMember;
    r.errCode = code->asInt();
    r.message = msg->asString();
    if (r.errCode != 0 || !readData) return kParseOk;
    const Json::Value* data = Member(root, "data");
    if (!data || !(data->isObject() || data->isNull())) return kParseBadMember;
    return readData(*data);
  } catch (const std::exception&) {
    return kParseBadMember;
  }
}

// One "msglist" element into a message record; only well-typed members count.
void ReadMsgItem(const Json::Value& e, OndekoMsgItem& m) {
  const Json::Value* id = Member(e, "msg_id");
  if (id && id->isUInt64()) m.msg_id = id->asUInt64();
  TakeString(e, "cur_userid", m.cur_userid);
  TakeString(e, "chatid", m.chatid);
  TakeString(e, "chatname", m.chatname);
  TakeStringList(e, "to_userid_list", m.to_userid_list);
  TakeStringList(e, "skip_userid_list", m.skip_userid_list);
  TakeString(e, "content", m.content);
  TakeStringList(e, "image_id_list", m.image_id_list);
  TakeStringList(e, "file_id_list", m.file_id_list);
  int32_t n = 0;
  if (TakeInt32(e, "create_time", n)) m.create_time = static_cast<uint32_t>(n);
  if (TakeInt32(e, "msg_type", n)) m.msg_type = static_cast<uint32_t>(n);
}

int RequireString(const Json::Value& data, const char* key, std::string& out) {
  return TakeString(data, key, out) ? kParseOk : kParseBadMember;
}

// Root errcode/errmsg pair of the upload and download replies.
int ReadErrcodePair(const Json::Value& root, ApiResult& r) {
  const Json::Value* code = Member(root, "errcode");
  if (!code || !IsInt32(*code)) return kParseBadMember;
  r.errCode = code->asInt();
  if (!TakeString(root, "errmsg", r.message)) return kParseBadMember;
  return kParseOk;
}

}  // namespace

int ParseEnvelopeReply(const std::string& body, ApiResult& r) {
  return ParseEnvelope(body, r, nullptr);
}

int ParseLoginReply(const std::string& body, LoginReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    const Json::Value* vid = Member(d, "vid");
    // A vid that is no unsigned integer has no value to store: rejected.
    if (!vid || !vid->isUInt64()) return kParseBadMember;
    r.vid = vid->asUInt64();
    if (RequireString(d, "skey", r.skey) != kParseOk) return kParseBadMember;
    return RequireString(d, "refresh_token", r.refresh_token);
  });
}

int ParseRefreshSkeyReply(const std::string& body, RefreshSkeyReply& r) {
  return ParseEnvelope(body, r,
                       [&r](const Json::Value& d) { return RequireString(d, "skey", r.skey); });
}

int ParseGetUploadFileUrlReply(const std::string& body, GetUploadFileUrlReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    return RequireString(d, "upload_file_url", r.upload_file_url);
  });
}

int ParseJobIdReply(const std::string& body, JobIdReply& r) {
  return ParseEnvelope(body, r,
                       [&r](const Json::Value& d) { return RequireString(d, "job_id", r.job_id); });
}

int ParseCheckContactsReply(const std::string& body, CheckContactsReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    // Absent (or ill-typed) members read as 0.
    r.status = 0;
    r.percentage = 0;
    TakeInt32(d, "status", r.status);
    TakeInt32(d, "percentage", r.percentage);
    return kParseOk;
  });
}

int ParseGetMediaUrlReply(const std::string& body, GetMediaUrlReply& r) {
  return ParseEnvelope(
      body, r, [&r](const Json::Value& d) { return RequireString(d, "media_url", r.media_url); });
}

int ParseFetchMsgReply(const std::string& body, FetchMsgReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    const Json::Value* list = Member(d, "msglist");
    if (!list || !IsArrayOrNull(*list)) return kParseBadMember;
    if (list->isNull()) return kParseOk;
    for (const Json::Value& e : *list) {
      if (!e.isObject()) return kParseBadMember;
      OndekoMsgItem m;
      ReadMsgItem(e, m);
      r.msglist.push_back(std::move(m));
    }
    return kParseOk;
  });
}

int ParseGetErrorListReply(const std::string& body, GetErrorListReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    const Json::Value* list = Member(d, "fail_list");
    if (!list || !IsArrayOrNull(*list)) return kParseBadMember;
    if (list->isNull()) return kParseOk;
    for (const Json::Value& e : *list) {
      if (!e.isObject()) return kParseBadMember;
      FailItem f;
      TakeInt32(e, "errcode", f.errcode);
      TakeString(e, "errmsg", f.errmsg);
      TakeString(e, "userid", f.userid);
      r.fail_list.push_back(std::move(f));
    }
    return kParseOk;
  });
}

int ParseCheckUploadKfFileReply(const std::string& body, CheckUploadKfFileReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    return TakeInt32(d, "has_done", r.has_done) ? kParseOk : kParseBadMember;
  });
}

int ParseSetMuteStatusReply(const std::string& body, SetMuteStatusReply& r) {
  return ParseEnvelope(body, r, [&r](const Json::Value& d) {
    const Json::Value* list = Member(d, "invalid_users");
    if (!list || !IsArrayOrNull(*list)) return kParseBadMember;
    if (list->isNull()) return kParseOk;
    std::vector<std::string> users;
    for (const Json::Value& e : *list) {
      if (!e.isString()) return kParseBadMember;
      users.push_back(e.asString());
    }
    r.invalid_users = std::move(users);
    return kParseOk;
  });
}

int ParseUploadFileReply(const std::string& body, UploadFileReply& r) {
  Json::Value root;
  if (!ParseJson(body, root)) return kParseNotJson;
  try {
    if (Member(root, "errcode")) return ReadErrcodePair(root, r);
    r.errCode = 0;
    if (!TakeString(root, "type", r.type) || !TakeString(root, "media_id", r.media_id) ||
        !TakeInt32(root, "created_at", r.created_at))
      return kParseBadMember;
    return kParseOk;
  } catch (const std::exception&) {
    return kParseBadMember;
  }
}

int ParseDownloadErrorReply(const std::string& body, ApiResult& r) {
  Json::Value root;
  if (!ParseJson(body, root)) return kParseNotJson;
  try {
    return ReadErrcodePair(root, r);
  } catch (const std::exception&) {
    return kParseBadMember;
  }
}

bool IsJsonReplyHeaders(const std::string& headers) {
  static const std::string kNeedle = "content-type: application/json";
  std::string lower(headers);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower.find(kNeedle) != std::string::npos;
}

bool FindDownloadFileName(const std::string& headers, std::string& name) {
  static const std::string kMarker = "filename=\"";
  size_t pos = headers.find(kMarker);
  if (pos == std::string::npos) return false;
  pos += kMarker.size();
  size_t end = headers.find('"', pos);
  if (end == std::string::npos) return false;
  name = headers.substr(pos, end - pos);
  return true;
}

}  // namespace nuv
