#pragma once
// Value types of the cloud simulator: what it stores, what it was sent and
// how it is told to misbehave. Plain values, copied out under the
// simulator's lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace nuv {
namespace sim {

// A message created on the cloud side and served by fetch_msg.
struct SimCloudMessage {
  uint64_t msg_id = 0;     // assigned by CreateMessage: previous + 1
  std::string cur_userid;  // sender account
  std::string chatid;
  std::string chatname;  // UTF-8
  std::vector<std::string> to_userid_list;
  std::vector<std::string> skip_userid_list;
  std::string content;                     // UTF-8
  std::vector<std::string> image_id_list;  // media ids (see PutMedia)
  std::vector<std::string> file_id_list;
  uint32_t create_time = 0;  // 0: set to the current time
  uint32_t msg_type = 0;     // 0 normal, 1 broadcast
  int64_t createdUs = 0;     // MonotonicMicros() at CreateMessage
};

// One request the API server or upload proxy received (after faults).
struct SimRequest {
  std::string endpoint;  // "send_msg", "upload_kf", "media_upload", "media_download", ...
  std::string target;    // path and query as received
  std::string vid;       // "vid" header ("" when absent)
  std::string skey;      // "skey" header ("" when absent)
  bool hasSkey = false;
  std::string contentType;
  std::string body;      // raw body bytes (for a multipart upload: the file part's bytes)
  std::string fileName;  // multipart part's file name
};

// A message the bridge sent with send_msg, as parsed from "msgitem".
struct SimSentMessage {
  std::string cur_userid, chatid, chatname, content;
  uint32_t msg_type = 0;
  std::vector<std::string> to_userid_list, skip_userid_list, image_id_list, file_id_list;
  bool hasImageIdList = false, hasFileIdList = false;  // member present in the body
  std::string rawBody;
  int64_t receivedUs = 0;  // MonotonicMicros() when send_msg was taken
};

// A stored media file.
struct SimMedia {
  std::string media_id;
  std::string fileName;  // served in Content-Disposition
  std::string type;      // "image" or "file"
  std::string data;
};

// A directory file received by upload_kf.
struct SimKfUpload {
  int type = 0;      // 1 departments, 2 users
  std::string vid;   // "vid" header
  std::string data;  // CSV bytes (GBK)
};

// An import job started by set_org_contacts (op 0) or sync_member_contacts
// (op 2); its rows come from the latest upload_kf file of the matching type,
// converted from GBK to UTF-8, header line first.
struct SimImportJob {
  std::string job_id;
  int op = 0;
  std::string kf_file_key;
  int queries = 0;     // check_contacts_job calls so far
  int percentage = 0;  // last percentage answered
  std::vector<std::vector<std::string>> rows;
};

// A fault the next `count` calls of an endpoint meet instead of a normal reply
// (after `skip` calls that are answered normally).
struct SimFault {
  enum class Kind { ErrCode, Malformed, HttpStatus, Stall };
  Kind kind = Kind::ErrCode;
  int count = 1;
  int skip = 0;          // calls answered normally before the fault starts
  int errCode = 0;       // ErrCode: reply with this errCode (message "injected fault")
  int httpStatus = 500;  // HttpStatus: reply with this status and a non-JSON body
  std::string body = "this is not json";  // Malformed / HttpStatus body
  int stallMs = 0;                        // Stall: wait this long, then answer normally
  std::string retryAfter;                 // HttpStatus: sent as the Retry-After header when not empty
  // Set: the fault ends by itself at this moment, whatever is left of count
  // (an outage of a given length).
  std::chrono::steady_clock::time_point until{};
};

struct SimCloudOptions {
  // Registers further routes on the control server before it starts (the
  // push simulator's /control/push/... routes in ondeko_sim).
  std::function<void(httplib::Server&)> extraControlRoutes;
  std::string dataDir;                       // certificate and key go here; empty: a fresh temp dir
  uint64_t vid = 1001;                       // the one enterprise this cloud knows
  std::string clientkey = "sim-client-key";  // accepted by login
  uint16_t apiPort = 0;                      // 0: ephemeral
  uint16_t uploadPort = 0;
  uint16_t controlPort = 0;
  bool control = true;  // start the control interface
};

struct SimCredentials {
  uint64_t vid = 0;
  std::string skey;
  std::string refresh_token;
};

}  // namespace sim
}  // namespace nuv
