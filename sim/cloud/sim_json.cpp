#include "sim/cloud/sim_json.h"

#include <json/json.h>

#include <memory>

namespace nuv {
namespace sim {

bool ReadJson(const std::string& body, Json::Value& out) {
  try {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string errs;
    return r->parse(body.data(), body.data() + body.size(), &out, &errs);
  } catch (const std::exception&) {
    return false;
  }
}

std::string WriteJson(const Json::Value& v, const char* indentation) {
  Json::StreamWriterBuilder b;
  b["indentation"] = indentation;
  b["emitUTF8"] = true;  // GBK account bytes go back as they came
  return Json::writeString(b, v);
}

std::vector<std::string> JsonStrings(const Json::Value& v) {
  std::vector<std::string> out;
  if (v.isArray())
    for (const Json::Value& e : v)
      if (e.isString()) out.push_back(e.asString());
  return out;
}

Json::Value JsonStringArray(const std::vector<std::string>& list) {
  Json::Value a(Json::arrayValue);
  for (const std::string& s : list) a.append(s);
  return a;
}

Json::Value CloudMessageToJson(const SimCloudMessage& m) {
  Json::Value v;
  v["msg_id"] = Json::Value(static_cast<Json::UInt64>(m.msg_id));
  v["cur_userid"] = m.cur_userid;
  v["chatid"] = m.chatid;
  v["chatname"] = m.chatname;
  v["to_userid_list"] = JsonStringArray(m.to_userid_list);
  v["skip_userid_list"] = JsonStringArray(m.skip_userid_list);
  v["content"] = m.content;
  v["image_id_list"] = JsonStringArray(m.image_id_list);
  v["file_id_list"] = JsonStringArray(m.file_id_list);
  v["create_time"] = Json::Value(static_cast<Json::UInt>(m.create_time));
  v["msg_type"] = Json::Value(static_cast<Json::UInt>(m.msg_type));
  return v;
}

}  // namespace sim
}  // namespace nuv
