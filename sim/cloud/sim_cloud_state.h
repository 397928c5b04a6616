#pragma once
// The simulated cloud's state and its answers, apart from any HTTP server:
// credentials, cloud messages, sent messages, media, directory imports,
// presence, reports, the request log and injected faults. Handle() turns one
// received request into the reply the cloud would give. The base of SimCloud;
// called from the servers' threads and the owner's threads, all state under
// mu_.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/cloud/sim_cloud_types.h"

namespace nuv {
namespace sim {

struct SimHttpReply {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Where the servers are, for the URLs the cloud hands out.
struct SimEndpoints {
  std::string apiHost;  // host:port of the API server (media URLs point there)
};

class SimCloudState {
 public:
  explicit SimCloudState(const SimCloudOptions& options);

  void SetEndpoints(const SimEndpoints& e);
  // Answers one request: req.endpoint names it ("send_msg", "upload_kf",
  // "media_upload", "media_download", ...); params holds the query values.
  // Applies and consumes injected faults (a stall waits, interruptibly).
  SimHttpReply Handle(const SimRequest& req, const std::map<std::string, std::string>& params);
  // Wakes every stalled request and makes later stalls return at once,
  // until Reopen.
  void Shutdown();
  void Reopen();

  // ---- credentials ----
  SimCredentials Credentials() const;  // current vid, skey, refresh_token
  void ExpireSkey();                   // the current skey answers -2 until refreshed
  void RevokeRefreshToken();           // refresh_skey is refused until the next login

  // ---- messages ----
  // Stores a cloud message (msg_id = previous + 1; create_time 0 = now) and,
  // when announce is true, calls the hook on this thread without the lock
  // held (an unannounced message is found only by fetch_msg). Returns the id;
  // createdUs receives the message's stamp (MonotonicMicros()).
  uint64_t CreateMessage(SimCloudMessage m, bool announce = true, int64_t* createdUs = nullptr);
  size_t CloudMessageCount() const;
  std::vector<SimCloudMessage> CloudMessages() const;
  std::vector<SimSentMessage> SentMessages() const;
  size_t SentCount() const;
  void SetMessageCreatedHook(std::function<void(const SimCloudMessage&)> hook);
  std::vector<uint64_t> BoundTokens() const;
  // fetch_msg answers at most this many messages of a range, the lowest ids
  // first (0, the default: all of them).
  void SetFetchLimit(size_t limit);

  // ---- media ----
  std::string PutMedia(const std::string& fileName, const std::string& data,
                       const std::string& type = "file");  // returns media_id
  bool GetMedia(const std::string& mediaId, SimMedia& out) const;
  std::vector<SimMedia> UploadedMedia() const;  // what media_upload stored, in order

  // ---- directory and presence ----
  std::vector<SimKfUpload> KfUploads() const;
  std::vector<SimImportJob> ImportJobs() const;
  // Percentages check_contacts_job answers on successive queries of a job
  // (default 30, 60, 100; the last repeats).
  void SetImportProgress(std::vector<int> steps);
  // Accounts set_mute accepts besides those of imported user files.
  void AddKnownUsers(const std::vector<std::string>& accounts);
  std::vector<std::pair<std::string, int>> MuteStatus() const;  // account -> last status
  std::vector<std::vector<std::pair<std::string, int>>> MuteBatches() const;

  // ---- reports ----
  std::vector<std::string> Reports() const;

  // ---- URLs handed out ----
  // The next count replies of get_upload_file_url (when uploadUrl is not
  // empty) and of get_media_url (when mediaUrl is not empty) carry the given
  // URL instead of the simulator's own, "{type}" and "{media_id}" replaced by
  // the request's values: plain http, file:// or another host, to see what
  // the bridge does with them.
  void HandOutUrls(const std::string& uploadUrl, const std::string& mediaUrl, int count);

  // ---- requests and faults ----
  std::vector<SimRequest> Requests() const;  // bounded: the latest 10000
  size_t CountRequests(const std::string& endpoint) const;
  // Every call taken since the start, per endpoint, faulted ones included
  // (not bounded like the request log, not cleared with it).
  std::map<std::string, uint64_t> CallCounts() const;
  void ClearRequests();
  void InjectFault(const std::string& endpoint, const SimFault& fault);
  void ClearFaults();

 private:
  using Params = std::map<std::string, std::string>;
  // Each handler runs with mu_ held and returns the reply.
  SimHttpReply Dispatch(const SimRequest& req, const Params& params);
  bool Authorized(const SimRequest& req, SimHttpReply& denied) const;
  SimHttpReply Login(const SimRequest& req);
  SimHttpReply RefreshSkey(const SimRequest& req);
  SimHttpReply SendMsg(const SimRequest& req);
  SimHttpReply FetchMsg(const SimRequest& req);
  SimHttpReply GetUploadFileUrl(const SimRequest& req);
  SimHttpReply MediaUpload(const SimRequest& req, const Params& params);
  SimHttpReply GetMediaUrl(const SimRequest& req);
  SimHttpReply MediaDownload(const SimRequest& req, const Params& params);
  SimHttpReply UploadKf(const SimRequest& req, const Params& params);
  SimHttpReply StartImport(const SimRequest& req, int op);
  SimHttpReply SetContacts(const SimRequest& req);
  SimHttpReply CheckContactsJob(const SimRequest& req);
  SimHttpReply GetErrorList(const SimRequest& req);
  SimHttpReply CheckUploadKfFile(const SimRequest& req);
  SimHttpReply SetMute(const SimRequest& req);
  SimHttpReply CliReport(const SimRequest& req);
  SimHttpReply BindToken(const SimRequest& req);
  SimHttpReply FaultReply(const std::string& endpoint, const SimFault& f) const;
  std::string NewSecret(const char* prefix);
  bool IsKnownUser(const std::string& account) const;

  const SimCloudOptions options_;

  // Guards everything below.
  mutable std::mutex mu_;
  std::condition_variable cv_;  // wakes stalls at Shutdown
  bool shutdown_ = false;
  SimEndpoints endpoints_;
  uint64_t serial_ = 0;  // for keys, ids and tickets
  std::string skey_;
  bool skeyExpired_ = false;
  std::string refreshToken_;
  bool refreshRevoked_ = false;
  std::map<uint64_t, SimCloudMessage> cloudMessages_;
  uint64_t lastMsgId_ = 0;
  size_t fetchLimit_ = 0;
  std::function<void(const SimCloudMessage&)> messageHook_;
  std::vector<SimSentMessage> sent_;
  std::vector<uint64_t> tokens_;
  std::map<std::string, SimMedia> media_;
  std::vector<std::string> uploadedMediaIds_;
  std::vector<SimKfUpload> kfUploads_;
  std::vector<SimImportJob> jobs_;
  std::vector<int> progressSteps_{30, 60, 100};
  std::vector<std::string> knownUsers_;
  std::map<std::string, int> mute_;
  std::vector<std::vector<std::pair<std::string, int>>> muteBatches_;
  std::vector<std::string> reports_;
  std::vector<int> flags_;
  std::deque<SimRequest> requests_;
  std::map<std::string, uint64_t> calls_;
  std::map<std::string, SimFault> faults_;
  struct HandedUrl {
    std::string url;
    int count = 0;
  };
  HandedUrl handedUpload_, handedMedia_;
  // The URL to hand out instead of own (and one use of it gone), or own.
  static std::string Handed(HandedUrl& h, std::string own, const std::string& key, const std::string& value);
};

// Rows of a GBK CSV text, fields converted to UTF-8 (CR LF or LF lines).
std::vector<std::vector<std::string>> ParseGbkCsv(const std::string& data);

}  // namespace sim
}  // namespace nuv
