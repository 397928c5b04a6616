#include "sim/cloud/sim_cloud_state.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <random>

#include "common/text_conv.h"
#include "sim/cloud/sim_json.h"
#include "sim/monotonic.h"

namespace nuv {
namespace sim {
namespace {

constexpr size_t kMaxLoggedRequests = 10000;

SimHttpReply Json200(const Json::Value& v) {
  SimHttpReply r;
  r.body = WriteJson(v);
  return r;
}

// {"result": {"errCode": c, "message": m}, "data": data} (data left out when null).
SimHttpReply Envelope(int errCode, const std::string& message,
                      const Json::Value& data = Json::Value()) {
  Json::Value v;
  v["result"]["errCode"] = errCode;
  v["result"]["message"] = message;
  if (!data.isNull()) v["data"] = data;
  return Json200(v);
}

SimHttpReply Ok(const Json::Value& data = Json::Value()) { return Envelope(0, "ok", data); }

// Root-level errcode/errmsg form of the media endpoints.
SimHttpReply MediaError(int errcode, const std::string& errmsg) {
  Json::Value v;
  v["errcode"] = errcode;
  v["errmsg"] = errmsg;
  return Json200(v);
}

SimHttpReply BadRequest() { return Envelope(40000, "bad request body"); }

std::string StringMember(const Json::Value& obj, const char* key) {
  if (!obj.isObject()) return std::string();
  const Json::Value* v = obj.find(key, key + std::char_traits<char>::length(key));
  return v && v->isString() ? v->asString() : std::string();
}

bool UInt64Member(const Json::Value& obj, const char* key, uint64_t& out) {
  if (!obj.isObject()) return false;
  const Json::Value* v = obj.find(key, key + std::char_traits<char>::length(key));
  if (!v || !v->isUInt64()) return false;
  out = v->asUInt64();
  return true;
}

bool IntMember(const Json::Value& obj, const char* key, int& out) {
  if (!obj.isObject()) return false;
  const Json::Value* v = obj.find(key, key + std::char_traits<char>::length(key));
  if (!v || !v->isInt()) return false;
  out = v->asInt();
  return true;
}

std::vector<std::string> StringList(const Json::Value& obj, const char* key, bool* present) {
  const Json::Value* v =
      obj.isObject() ? obj.find(key, key + std::char_traits<char>::length(key)) : nullptr;
  if (present) *present = v != nullptr;
  return v ? JsonStrings(*v) : std::vector<std::string>();
}

}  // namespace

std::vector<std::vector<std::string>> ParseGbkCsv(const std::string& data) {
  std::vector<std::vector<std::string>> rows;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string line = data.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields;
    size_t f = 0;
    while (true) {
      size_t comma = line.find(',', f);
      std::string raw = line.substr(f, comma == std::string::npos ? std::string::npos : comma - f);
      fields.push_back(WideToUtf8(CodepageToWide(raw, "GBK")));
      if (comma == std::string::npos) break;
      f = comma + 1;
    }
    rows.push_back(std::move(fields));
  }
  return rows;
}

SimCloudState::SimCloudState(const SimCloudOptions& options) : options_(options) {
  skey_ = NewSecret("skey");
  refreshToken_ = NewSecret("rt");
}

std::string SimCloudState::NewSecret(const char* prefix) {
  static thread_local std::mt19937_64 rng(std::random_device{}());
  return std::string(prefix) + "-" + std::to_string(++serial_) + "-" +
         std::to_string(rng() % 1000000000ULL);
}

void SimCloudState::SetEndpoints(const SimEndpoints& e) {
  std::lock_guard<std::mutex> lk(mu_);
  endpoints_ = e;
}

void SimCloudState::Shutdown() {
  std::lock_guard<std::mutex> lk(mu_);
  shutdown_ = true;
  cv_.notify_all();
}

void SimCloudState::Reopen() {
  std::lock_guard<std::mutex> lk(mu_);
  shutdown_ = false;
}

SimHttpReply SimCloudState::Handle(const SimRequest& req, const Params& params) {
  std::unique_lock<std::mutex> lk(mu_);
  requests_.push_back(req);
  if (requests_.size() > kMaxLoggedRequests) requests_.pop_front();
  ++calls_[req.endpoint];
  // A fault of the endpoint itself, else one for every endpoint ("*").
  auto it = faults_.find(req.endpoint);
  if (it == faults_.end()) it = faults_.find("*");
  if (it != faults_.end() && it->second.until != std::chrono::steady_clock::time_point{} &&
      std::chrono::steady_clock::now() >= it->second.until) {
    faults_.erase(it);
    it = faults_.end();
  }
  if (it != faults_.end() && it->second.skip > 0) {
    --it->second.skip;
  } else if (it != faults_.end()) {
    SimFault f = it->second;
    if (--it->second.count <= 0) faults_.erase(it);
    if (f.kind != SimFault::Kind::Stall) return FaultReply(req.endpoint, f);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(f.stallMs);
    cv_.wait_until(lk, until, [this] { return shutdown_; });
    if (shutdown_) return Envelope(50000, "simulator stopping");
  }
  return Dispatch(req, params);
}

SimHttpReply SimCloudState::FaultReply(const std::string& endpoint, const SimFault& f) const {
  SimHttpReply r;
  switch (f.kind) {
    case SimFault::Kind::ErrCode:
      if (endpoint == "media_upload" || endpoint == "media_download")
        return MediaError(f.errCode, "injected fault");
      return Envelope(f.errCode, "injected fault");
    case SimFault::Kind::HttpStatus:
      r.status = f.httpStatus;
      r.contentType = "text/plain";
      r.body = f.body;
      if (!f.retryAfter.empty()) r.headers.emplace_back("Retry-After", f.retryAfter);
      return r;
    case SimFault::Kind::Malformed:
    default:
      r.contentType = "text/plain";
      r.body = f.body;
      return r;
  }
}

bool SimCloudState::Authorized(const SimRequest& req, SimHttpReply& denied) const {
  if (req.vid != std::to_string(options_.vid)) {
    denied = Envelope(40003, "unknown vid");
    return false;
  }
  if (!req.hasSkey || req.skey != skey_ || skeyExpired_) {
    denied = Envelope(-2, "skey expired");
    return false;
  }
  return true;
}

SimHttpReply SimCloudState::Dispatch(const SimRequest& req, const Params& params) {
  const std::string& e = req.endpoint;
  if (e == "login") return Login(req);
  if (e == "refresh_skey") return RefreshSkey(req);
  if (e == "install_done") return Ok();
  if (e == "upload_kf") return UploadKf(req, params);
  if (e == "media_download") return MediaDownload(req, params);
  if (e == "media_upload") return MediaUpload(req, params);

  SimHttpReply denied;
  if (!Authorized(req, denied)) return denied;
  if (e == "send_msg") return SendMsg(req);
  if (e == "fetch_msg") return FetchMsg(req);
  if (e == "get_upload_file_url") return GetUploadFileUrl(req);
  if (e == "get_media_url") return GetMediaUrl(req);
  if (e == "bind_token") return BindToken(req);
  if (e == "set_org_contacts") return StartImport(req, 0);
  if (e == "sync_member_contacts") return StartImport(req, 2);
  if (e == "set_contacts") return SetContacts(req);
  if (e == "check_contacts_job") return CheckContactsJob(req);
  if (e == "get_error_list") return GetErrorList(req);
  if (e == "check_upload_kffile") return CheckUploadKfFile(req);
  if (e == "set_mute") return SetMute(req);
  if (e == "cli_report") return CliReport(req);
  if (e == "check_authorization" || e == "check_hassynccontacts") return Ok();
  if (e == "set_synccontacts" || e == "set_inviteflag") {
    Json::Value body;
    int flag = 0;
    if (!ReadJson(req.body, body) || !IntMember(body, "flag", flag)) return BadRequest();
    flags_.push_back(flag);
    return Ok();
  }
  SimHttpReply r = Envelope(40404, "no such endpoint");
  r.status = 404;
  return r;
}

SimHttpReply SimCloudState::Login(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body)) return BadRequest();
  if (StringMember(body, "clientkey") != options_.clientkey)
    return Envelope(40001, "invalid clientkey");
  skey_ = NewSecret("skey");
  skeyExpired_ = false;
  refreshToken_ = NewSecret("rt");
  refreshRevoked_ = false;
  Json::Value data;
  data["vid"] = Json::Value(static_cast<Json::UInt64>(options_.vid));
  data["skey"] = skey_;
  data["refresh_token"] = refreshToken_;
  return Ok(data);
}

SimHttpReply SimCloudState::RefreshSkey(const SimRequest& req) {
  Json::Value body;
  uint64_t vid = 0;
  if (!ReadJson(req.body, body) || !UInt64Member(body, "vid", vid)) return BadRequest();
  if (vid != options_.vid || refreshRevoked_ ||
      StringMember(body, "refresh_token") != refreshToken_)
    return Envelope(40002, "invalid refresh_token");
  skey_ = NewSecret("skey");
  skeyExpired_ = false;
  Json::Value data;
  data["skey"] = skey_;
  return Ok(data);
}

SimHttpReply SimCloudState::SendMsg(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body) || !body.isObject() || !body["msgitem"].isObject())
    return BadRequest();
  const Json::Value& item = body["msgitem"];
  SimSentMessage m;
  m.cur_userid = StringMember(item, "cur_userid");
  m.chatid = StringMember(item, "chatid");
  m.chatname = StringMember(item, "chatname");
  m.content = StringMember(item, "content");
  int type = 0;
  if (IntMember(item, "msg_type", type)) m.msg_type = static_cast<uint32_t>(type);
  m.to_userid_list = StringList(item, "to_userid_list", nullptr);
  m.skip_userid_list = StringList(item, "skip_userid_list", nullptr);
  m.image_id_list = StringList(item, "image_id_list", &m.hasImageIdList);
  m.file_id_list = StringList(item, "file_id_list", &m.hasFileIdList);
  for (const auto* list : {&m.image_id_list, &m.file_id_list})
    for (const std::string& id : *list)
      if (!media_.count(id)) return Envelope(40006, "unknown media_id " + id);
  m.rawBody = req.body;
  m.receivedUs = MonotonicMicros();
  sent_.push_back(std::move(m));
  return Ok();
}

SimHttpReply SimCloudState::FetchMsg(const SimRequest& req) {
  Json::Value body;
  uint64_t beg = 0, end = 0;
  if (!ReadJson(req.body, body) || !UInt64Member(body, "beg_msg_id", beg) ||
      !UInt64Member(body, "end_msg_id", end))
    return BadRequest();
  Json::Value data;
  data["msglist"] = Json::Value(Json::arrayValue);
  // A capped reply holds the lowest ids of the range.
  size_t n = 0;
  for (auto it = cloudMessages_.lower_bound(beg);
       it != cloudMessages_.end() && it->first <= end && (fetchLimit_ == 0 || n < fetchLimit_); ++it, ++n)
    data["msglist"].append(CloudMessageToJson(it->second));
  return Ok(data);
}

SimHttpReply SimCloudState::GetUploadFileUrl(const SimRequest& req) {
  Json::Value body;
  int type = 0;
  if (!ReadJson(req.body, body) || !IntMember(body, "type", type)) return BadRequest();
  Json::Value data;
  data["upload_file_url"] = Handed(handedUpload_,
                                   "https://" + endpoints_.apiHost + "/media/upload?type=" + std::to_string(type) +
                                       "&ticket=" + std::to_string(++serial_),
                                   "{type}", std::to_string(type));
  return Ok(data);
}

SimHttpReply SimCloudState::MediaUpload(const SimRequest& req, const Params& params) {
  if (req.vid != std::to_string(options_.vid) || !req.hasSkey || req.skey != skey_ || skeyExpired_)
    return MediaError(-2, "skey expired");
  if (req.fileName.empty() && req.body.empty()) return MediaError(40004, "no file part");
  auto t = params.find("type");
  std::string type = (t != params.end() && t->second == "1") ? "image" : "file";
  SimMedia m;
  m.media_id = "MID" + std::to_string(++serial_);
  m.fileName = req.fileName;
  m.type = type;
  m.data = req.body;
  media_[m.media_id] = m;
  uploadedMediaIds_.push_back(m.media_id);
  Json::Value v;
  v["type"] = type;
  v["media_id"] = m.media_id;
  v["created_at"] = static_cast<Json::Int>(std::time(nullptr));
  return Json200(v);
}

SimHttpReply SimCloudState::GetMediaUrl(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body)) return BadRequest();
  std::string id = StringMember(body, "media_id");
  if (!media_.count(id)) return Envelope(40006, "unknown media_id");
  Json::Value data;
  data["media_url"] =
      Handed(handedMedia_, "https://" + endpoints_.apiHost + "/media/download?media_id=" + id, "{media_id}", id);
  return Ok(data);
}

SimHttpReply SimCloudState::MediaDownload(const SimRequest& req, const Params& params) {
  if (req.vid != std::to_string(options_.vid) || !req.hasSkey || req.skey != skey_ || skeyExpired_)
    return MediaError(-2, "skey expired");
  auto p = params.find("media_id");
  auto it = p == params.end() ? media_.end() : media_.find(p->second);
  if (it == media_.end()) return MediaError(40006, "media not found");
  SimHttpReply r;
  r.contentType = "application/octet-stream";
  r.body = it->second.data;
  r.headers.push_back(
      {"Content-Disposition", "attachment; filename=\"" + it->second.fileName + "\""});
  return r;
}

SimHttpReply SimCloudState::UploadKf(const SimRequest& req, const Params& params) {
  if (req.vid != std::to_string(options_.vid)) return Envelope(40003, "unknown vid");
  auto t = params.find("type");
  int type = t == params.end() ? 0 : std::atoi(t->second.c_str());
  if (type != 1 && type != 2) return Envelope(40008, "type must be 1 or 2");
  if (req.fileName.empty() && req.body.empty()) return Envelope(40004, "no file part");
  kfUploads_.push_back(SimKfUpload{type, req.vid, req.body});
  return Ok();
}

SimHttpReply SimCloudState::StartImport(const SimRequest& req, int op) {
  Json::Value body;
  if (!ReadJson(req.body, body)) return BadRequest();
  int type = op == 0 ? 1 : 2;
  const SimKfUpload* file = nullptr;
  for (const SimKfUpload& u : kfUploads_)
    if (u.type == type) file = &u;
  if (!file) return Envelope(40007, "no directory file uploaded");
  SimImportJob job;
  job.job_id = "JOB" + std::to_string(++serial_);
  job.op = op;
  job.kf_file_key = StringMember(body, "kf_file_key");
  job.rows = ParseGbkCsv(file->data);
  jobs_.push_back(job);
  Json::Value data;
  data["job_id"] = job.job_id;
  return Ok(data);
}

SimHttpReply SimCloudState::SetContacts(const SimRequest& req) {
  Json::Value body;
  int op = 0;
  if (!ReadJson(req.body, body) || !IntMember(body, "op", op)) return BadRequest();
  auto it = media_.find(StringMember(body, "media_id"));
  if (it == media_.end()) return Envelope(40006, "unknown media_id");
  SimImportJob job;
  job.job_id = "JOB" + std::to_string(++serial_);
  job.op = op;
  job.rows = ParseGbkCsv(it->second.data);
  jobs_.push_back(job);
  Json::Value data;
  data["job_id"] = job.job_id;
  return Ok(data);
}

SimHttpReply SimCloudState::CheckContactsJob(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body)) return BadRequest();
  std::string id = StringMember(body, "job_id");
  for (SimImportJob& job : jobs_) {
    if (job.job_id != id) continue;
    ++job.queries;
    size_t step = std::min<size_t>(job.queries, progressSteps_.size()) - 1;
    job.percentage = progressSteps_.empty() ? 100 : progressSteps_[step];
    Json::Value data;
    data["status"] = job.percentage >= 100 ? 2 : 1;
    data["percentage"] = job.percentage;
    return Ok(data);
  }
  return Envelope(40005, "unknown job_id");
}

SimHttpReply SimCloudState::GetErrorList(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body)) return BadRequest();
  std::string id = StringMember(body, "jobid");
  for (const SimImportJob& job : jobs_) {
    if (job.job_id != id) continue;
    Json::Value data;
    data["fail_list"] = Json::Value(Json::arrayValue);
    // A user row without an account cannot be imported.
    for (size_t i = 1; job.op == 2 && i < job.rows.size(); ++i) {
      if (job.rows[i].size() > 1 && !job.rows[i][1].empty()) continue;
      Json::Value f;
      f["userid"] = job.rows[i].empty() ? std::string() : job.rows[i][0];
      f["errcode"] = 40010;
      f["errmsg"] = "missing account";
      data["fail_list"].append(f);
    }
    return Ok(data);
  }
  return Envelope(40005, "unknown job_id");
}

SimHttpReply SimCloudState::CheckUploadKfFile(const SimRequest& req) {
  Json::Value body;
  int fileType = 0;
  if (!ReadJson(req.body, body) || !IntMember(body, "file_type", fileType)) return BadRequest();
  int done = 0;
  for (const SimKfUpload& u : kfUploads_)
    if (u.type == fileType) done = 1;
  Json::Value data;
  data["has_done"] = done;
  return Ok(data);
}

bool SimCloudState::IsKnownUser(const std::string& account) const {
  if (std::find(knownUsers_.begin(), knownUsers_.end(), account) != knownUsers_.end()) return true;
  std::string utf8 = WideToUtf8(CodepageToWide(account, "GBK"));
  for (const SimImportJob& job : jobs_)
    for (size_t i = 1; job.op == 2 && i < job.rows.size(); ++i)
      if (job.rows[i].size() > 1 && job.rows[i][1] == utf8) return true;
  return false;
}

SimHttpReply SimCloudState::SetMute(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body)) return BadRequest();
  Json::Value invalid(Json::arrayValue);
  std::vector<std::pair<std::string, int>> batch;
  if (body.isObject() && body["status_list"].isArray()) {
    for (const Json::Value& e : body["status_list"]) {
      std::string user = StringMember(e, "username");
      int status = 0;
      IntMember(e, "mute_status", status);
      if (!IsKnownUser(user)) {
        invalid.append(user);
        continue;
      }
      mute_[user] = status;
      batch.push_back({user, status});
    }
  } else if (!body.isNull()) {
    return BadRequest();
  }
  muteBatches_.push_back(std::move(batch));
  Json::Value data;
  data["invalid_users"] = invalid;
  return Ok(data);
}

SimHttpReply SimCloudState::CliReport(const SimRequest& req) {
  Json::Value body;
  if (!ReadJson(req.body, body) || !body.isObject() || !body["report_content"].isString())
    return BadRequest();
  reports_.push_back(body["report_content"].asString());
  return Ok();
}

SimHttpReply SimCloudState::BindToken(const SimRequest& req) {
  Json::Value body;
  uint64_t token = 0;
  if (!ReadJson(req.body, body) || !UInt64Member(body, "token", token)) return BadRequest();
  tokens_.push_back(token);
  return Ok();
}

SimCredentials SimCloudState::Credentials() const {
  std::lock_guard<std::mutex> lk(mu_);
  return SimCredentials{options_.vid, skey_, refreshToken_};
}

void SimCloudState::ExpireSkey() {
  std::lock_guard<std::mutex> lk(mu_);
  skeyExpired_ = true;
}

void SimCloudState::RevokeRefreshToken() {
  std::lock_guard<std::mutex> lk(mu_);
  refreshRevoked_ = true;
}

uint64_t SimCloudState::CreateMessage(SimCloudMessage m, bool announce, int64_t* createdUs) {
  std::function<void(const SimCloudMessage&)> hook;
  {
    std::lock_guard<std::mutex> lk(mu_);
    m.msg_id = ++lastMsgId_;
    m.createdUs = MonotonicMicros();
    if (createdUs) *createdUs = m.createdUs;
    if (m.create_time == 0) m.create_time = static_cast<uint32_t>(std::time(nullptr));
    cloudMessages_[m.msg_id] = m;
    if (announce) hook = messageHook_;
  }
  if (hook) hook(m);
  return m.msg_id;
}

std::vector<SimCloudMessage> SimCloudState::CloudMessages() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<SimCloudMessage> out;
  for (const auto& kv : cloudMessages_) out.push_back(kv.second);
  return out;
}

std::vector<SimSentMessage> SimCloudState::SentMessages() const {
  std::lock_guard<std::mutex> lk(mu_);
  return sent_;
}

size_t SimCloudState::CloudMessageCount() const {
  std::lock_guard<std::mutex> lk(mu_);
  return cloudMessages_.size();
}

size_t SimCloudState::SentCount() const {
  std::lock_guard<std::mutex> lk(mu_);
  return sent_.size();
}

void SimCloudState::SetMessageCreatedHook(std::function<void(const SimCloudMessage&)> hook) {
  std::lock_guard<std::mutex> lk(mu_);
  messageHook_ = std::move(hook);
}

std::vector<uint64_t> SimCloudState::BoundTokens() const {
  std::lock_guard<std::mutex> lk(mu_);
  return tokens_;
}

void SimCloudState::SetFetchLimit(size_t limit) {
  std::lock_guard<std::mutex> lk(mu_);
  fetchLimit_ = limit;
}

std::string SimCloudState::PutMedia(const std::string& fileName, const std::string& data,
                                    const std::string& type) {
  std::lock_guard<std::mutex> lk(mu_);
  SimMedia m{"MID" + std::to_string(++serial_), fileName, type, data};
  media_[m.media_id] = m;
  return m.media_id;
}

bool SimCloudState::GetMedia(const std::string& mediaId, SimMedia& out) const {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = media_.find(mediaId);
  if (it == media_.end()) return false;
  out = it->second;
  return true;
}

std::vector<SimMedia> SimCloudState::UploadedMedia() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<SimMedia> out;
  for (const std::string& id : uploadedMediaIds_) out.push_back(media_.at(id));
  return out;
}

std::vector<SimKfUpload> SimCloudState::KfUploads() const {
  std::lock_guard<std::mutex> lk(mu_);
  return kfUploads_;
}

std::vector<SimImportJob> SimCloudState::ImportJobs() const {
  std::lock_guard<std::mutex> lk(mu_);
  return jobs_;
}

void SimCloudState::SetImportProgress(std::vector<int> steps) {
  std::lock_guard<std::mutex> lk(mu_);
  progressSteps_ = std::move(steps);
}

void SimCloudState::AddKnownUsers(const std::vector<std::string>& accounts) {
  std::lock_guard<std::mutex> lk(mu_);
  knownUsers_.insert(knownUsers_.end(), accounts.begin(), accounts.end());
}

std::vector<std::pair<std::string, int>> SimCloudState::MuteStatus() const {
  std::lock_guard<std::mutex> lk(mu_);
  return {mute_.begin(), mute_.end()};
}

std::vector<std::vector<std::pair<std::string, int>>> SimCloudState::MuteBatches() const {
  std::lock_guard<std::mutex> lk(mu_);
  return muteBatches_;
}

std::vector<std::string> SimCloudState::Reports() const {
  std::lock_guard<std::mutex> lk(mu_);
  return reports_;
}

std::vector<SimRequest> SimCloudState::Requests() const {
  std::lock_guard<std::mutex> lk(mu_);
  return {requests_.begin(), requests_.end()};
}

size_t SimCloudState::CountRequests(const std::string& endpoint) const {
  std::lock_guard<std::mutex> lk(mu_);
  return std::count_if(requests_.begin(), requests_.end(),
                       [&](const SimRequest& r) { return r.endpoint == endpoint; });
}

std::map<std::string, uint64_t> SimCloudState::CallCounts() const {
  std::lock_guard<std::mutex> lk(mu_);
  return calls_;
}

void SimCloudState::ClearRequests() {
  std::lock_guard<std::mutex> lk(mu_);
  requests_.clear();
}

void SimCloudState::InjectFault(const std::string& endpoint, const SimFault& fault) {
  std::lock_guard<std::mutex> lk(mu_);
  if (fault.count > 0)
    faults_[endpoint] = fault;
  else
    faults_.erase(endpoint);
}

void SimCloudState::ClearFaults() {
  std::lock_guard<std::mutex> lk(mu_);
  faults_.clear();
}

void SimCloudState::HandOutUrls(const std::string& uploadUrl, const std::string& mediaUrl, int count) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!uploadUrl.empty()) handedUpload_ = HandedUrl{uploadUrl, count};
  if (!mediaUrl.empty()) handedMedia_ = HandedUrl{mediaUrl, count};
}

std::string SimCloudState::Handed(HandedUrl& h, std::string own, const std::string& key, const std::string& value) {
  if (h.count <= 0) return own;
  --h.count;
  std::string url = h.url;
  for (size_t at = url.find(key); at != std::string::npos; at = url.find(key, at + value.size()))
    url.replace(at, key.size(), value);
  return url;
}

}  // namespace sim
}  // namespace nuv
