#include "im/wire_codec.h"

#include <json/json.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace nuv {

std::string WireFields::Get(const std::string& name, const std::string& def) const {
  auto it = map_.find(name);
  return it == map_.end() ? def : it->second;
}

long long WireFields::GetInt(const std::string& name, long long def) const {
  auto it = map_.find(name);
  if (it == map_.end()) return def;
  const char* s = it->second.c_str();
  char* end = nullptr;
  long long v = std::strtoll(s, &end, 10);
  return end == s ? def : v;
}

std::string EncodeWireFrame(const WireFields& fields, const std::string& body) {
  Json::Value obj(Json::objectValue);
  for (const auto& kv : fields.map()) {
    if (kv.first != "bytes") obj[kv.first] = kv.second;
  }
  if (!body.empty()) obj["bytes"] = std::to_string(body.size());
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  std::string line = Json::writeString(b, obj);
  line.push_back('\n');
  line += body;
  return line;
}

WireStatus DecodeWireFrame(const char* data, size_t len, WireFrame* out, size_t* consumed,
                           std::string* error) {
  const size_t scan = len < kWireMaxLine + 1 ? len : kWireMaxLine + 1;
  const char* nl = static_cast<const char*>(std::memchr(data, '\n', scan));
  if (!nl) {
    if (len > kWireMaxLine) {
      *error = "line longer than " + std::to_string(kWireMaxLine) + " bytes";
      return WireStatus::kBad;
    }
    return WireStatus::kNeedMore;
  }
  const size_t lineLen = static_cast<size_t>(nl - data);
  Json::CharReaderBuilder rb;
  rb["collectComments"] = false;
  rb["failIfExtra"] = true;
  rb["rejectDupKeys"] = true;
  std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
  Json::Value obj;
  std::string jsonErr;
  if (!reader->parse(data, data + lineLen, &obj, &jsonErr) || !obj.isObject()) {
    *error = "frame line is not a JSON object";
    return WireStatus::kBad;
  }
  WireFrame f;
  for (const auto& name : obj.getMemberNames()) {
    const Json::Value& v = obj[name];
    if (v.isString()) {
      f.fields.Set(name, v.asString());
    } else if (v.isInt64()) {
      f.fields.SetInt(name, v.asInt64());
    } else if (v.isUInt64()) {
      f.fields.Set(name, std::to_string(v.asUInt64()));
    } else {
      *error = "field '" + name + "' is neither text nor integer";
      return WireStatus::kBad;
    }
  }
  uint64_t bodyLen = 0;
  if (f.fields.Has("bytes")) {
    const std::string s = f.fields.Get("bytes");
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) {
      *error = "bad bytes field";
      return WireStatus::kBad;
    }
    bodyLen = std::strtoull(s.c_str(), nullptr, 10);
    if (bodyLen > kWireMaxBody) {
      *error = "body of " + s + " bytes exceeds the limit";
      return WireStatus::kBad;
    }
  }
  const size_t avail = len - lineLen - 1;
  if (avail < bodyLen) return WireStatus::kNeedMore;
  f.body.assign(nl + 1, static_cast<size_t>(bodyLen));
  *consumed = lineLen + 1 + static_cast<size_t>(bodyLen);
  *out = std::move(f);
  return WireStatus::kOk;
}

}  // namespace nuv
