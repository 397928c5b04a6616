#pragma once
// Records exchanged with the cloud API: the reply head ApiResult, the result
// codes of every client call, the cloud message record OndekoMsgItem and one
// request and reply record per operation. Plain values; whoever builds one
// owns it, and a record is used by one thread at a time.

#include <cstdint>
#include <string>
#include <vector>

namespace nuv {

// Result codes of every COndekoHttp call and COndekoApi operation. A call
// succeeded only when it returns kApiOk AND the reply's errCode is 0.
constexpr int kApiOk = 0;                // exchange done, reply parsed
constexpr int kApiBuildFailed = -1;      // request body could not be built
constexpr int kApiTransportFailed = -2;  // libcurl failed: errCode/message = its code/text
constexpr int kApiBadReply = -3;         // reply not JSON or a required member missing/ill-typed
constexpr int kApiLocalFileFailed = -4;  // credentials not saved; download file name/cleanup
constexpr int kApiNoMediaId = -5;        // download URL holds no "media_id="
constexpr int kApiOther = -100;          // anything else

// errCode the cloud answers when the session key has expired.
constexpr int kErrSkeyExpired = -2;

// Head of every reply record.
struct ApiResult {
  int32_t errCode = 0;  // server's code; after a transport failure the libcurl code
  std::string message;  // server's text; libcurl's text; or the raw reply (some parse failures)
  int32_t httpStatus = 0;  // HTTP status of the reply (0: none received)
};

// HTTP statuses that ask the client to come back later rather than refuse
// the request: 408 (request time-out) and 429 (too many requests); 503 is
// among the server errors below.
inline bool IsThrottleStatus(int32_t status) { return status == 408 || status == 429; }

// A failed call that says nothing about the request itself: the cloud could
// not be reached (connect refused, time-out, TLS failure: kApiTransportFailed),
// answered with a server error (HTTP 5xx, whatever the body) or asked to be
// called later (HTTP 408, 429). A refusal -- a well-formed reply with a
// non-zero errCode and any other status -- is not one.
inline bool IsCloudTransportFailure(int ret, const ApiResult& rsp) {
  const bool failed = ret != kApiOk || rsp.errCode != 0;
  return ret == kApiTransportFailed || (failed && (rsp.httpStatus >= 500 || IsThrottleStatus(rsp.httpStatus)));
}

// One cloud message, in both directions. Narrow strings: accounts, ids and
// keys in the ANSI code page, content and chatname in UTF-8.
struct OndekoMsgItem {
  uint64_t msg_id = 0;  // not sent by send_msg
  std::string cur_userid;
  std::string chatid;
  std::string chatname;
  std::vector<std::string> to_userid_list;
  std::vector<std::string> skip_userid_list;
  std::string content;
  std::vector<std::string> image_id_list;
  std::vector<std::string> file_id_list;
  uint32_t create_time = 0;  // not sent by send_msg
  uint32_t msg_type = 0;     // 0 normal, 1 broadcast
};

// Element of the get_error_list reply.
struct FailItem {
  std::string userid;
  int32_t errcode = 0;
  std::string errmsg;
};

// Element of the set_mute request.
struct MuteItem {
  std::string username;
  int32_t mute_status = 0;  // 0 online, 1 offline, 2 away
};

// ---- requests --------------------------------------------------------------

struct LoginRequest {
  std::string clientkey;
};
struct GetUploadFileUrlRequest {
  int32_t type = 0;  // 1 image, 0 other file
  int32_t contact_type = 0;
};
struct SetContactsRequest {
  int32_t op = 0;
  std::string media_id;
};
struct CheckContactsRequest {
  int32_t op = 0;
  std::string job_id;
};
struct GetMediaUrlRequest {
  std::string media_id;
};
struct FetchMsgRequest {
  uint64_t beg_msg_id = 0;  // closed range
  uint64_t end_msg_id = 0;
};
struct BindTokenRequest {
  uint64_t token = 0;
};
// set_org_contacts and sync_member_contacts. An empty key is replaced by the
// client's vid in decimal.
struct KfFileKeyRequest {
  std::string kf_file_key;
};
using SetOrgContactsRequest = KfFileKeyRequest;
using SyncMemberContactsRequest = KfFileKeyRequest;
// set_synccontacts and set_inviteflag.
struct FlagRequest {
  int32_t flag = 0;
};
using SetSyncContactsRequest = FlagRequest;
using SetInviteFlagRequest = FlagRequest;
struct GetErrorListRequest {
  std::string jobid;
};
struct CheckUploadKfFileRequest {
  std::string file_key;
  int32_t file_type = 0;
};
struct InstallDoneRequest {
  std::string stag;
};
struct SetMuteStatusRequest {
  std::vector<MuteItem> status_list;  // empty: the body is the JSON literal null
};
struct CliReportRequest {
  std::string report_content;
};
struct UploadFileRequest {
  std::string url;        // upload_file_url from GetUploadFileUrl
  std::string localPath;  // file to send (its base name travels as the part's file name)
};
struct DownloadFileRequest {
  std::string url;        // media_url from GetMediaUrl; must hold "media_id="
  std::string targetDir;  // ends with '/'; the file lands at targetDir + media id
  uint64_t maxBytes = 0;  // largest file accepted; 0: no limit
};
struct UploadContactNosessionRequest {
  int32_t type = 0;  // 1 departments, 2 users
  std::string localPath;
  std::string vid;  // empty: the client's own vid
};

// ---- replies ---------------------------------------------------------------

struct LoginReply : ApiResult {
  uint64_t vid = 0;
  std::string skey;
  std::string refresh_token;
};
struct RefreshSkeyReply : ApiResult {
  std::string skey;
};
struct GetUploadFileUrlReply : ApiResult {
  std::string upload_file_url;
};
// set_contacts, set_org_contacts, sync_member_contacts.
struct JobIdReply : ApiResult {
  std::string job_id;
};
using SetContactsReply = JobIdReply;
using SetOrgContactsReply = JobIdReply;
using SyncMemberContactsReply = JobIdReply;
struct CheckContactsReply : ApiResult {
  int32_t status = 0;
  int32_t percentage = 0;
};
struct GetMediaUrlReply : ApiResult {
  std::string media_url;
};
struct FetchMsgReply : ApiResult {
  std::vector<OndekoMsgItem> msglist;  // appended in reply order
};
struct GetErrorListReply : ApiResult {
  std::vector<FailItem> fail_list;
};
struct CheckUploadKfFileReply : ApiResult {
  int32_t has_done = 0;
};
struct SetMuteStatusReply : ApiResult {
  std::vector<std::string> invalid_users;
};
struct UploadFileReply : ApiResult {
  std::string type;
  std::string media_id;
  int32_t created_at = 0;
};
struct DownloadFileReply : ApiResult {
  std::string localPath;  // targetDir + media id
  std::string fileName;   // from the reply's Content-Disposition
  bool oversize = false;  // refused: larger than the request's maxBytes (nothing kept)
};
// Envelope-only replies: send_msg, bind_token, check_authorization,
// check_hassynccontacts, set_synccontacts, set_inviteflag, install_done,
// cli_report, upload_kf.
using EmptyReply = ApiResult;

}  // namespace nuv
