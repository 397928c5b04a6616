// Feeds arbitrary bytes to every reply parser of the cloud client (and the
// Retry-After header's): none may crash, leak or read out of bounds,
// whatever the body holds.

#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/http_transport.h"
#include "cloud/reply_parsers.h"

namespace {

// A reply that every parser accepts; the fuzzer's bytes edit and cut it, so
// that the inputs stay close to JSON and reach the member checks.
const std::string kSample =
    "{\"result\":{\"errCode\":0,\"message\":\"ok\"},\"data\":{\"msglist\":[{\"msg_id\":1,"
    "\"cur_userid\":\"a\",\"to_userid_list\":[\"b\",2],\"content\":\"c\",\"msg_type\":0,"
    "\"create_time\":5}],\"invalid_users\":[\"x\"],\"fail_list\":[{\"userid\":\"u\"}],"
    "\"skey\":\"s\",\"vid\":1,\"refresh_token\":\"r\",\"job_id\":\"j\",\"media_url\":\"m\","
    "\"upload_file_url\":\"u\",\"has_done\":1,\"status\":1,\"percentage\":3},"
    "\"errcode\":0,\"errmsg\":\"e\",\"type\":\"file\",\"media_id\":\"M\",\"created_at\":1}";

std::string EditSample(const uint8_t* data, size_t size) {
  std::string s = kSample;
  for (size_t i = 0; i + 1 < size; i += 2)
    s[(data[i] * 7u + i) % s.size()] = static_cast<char>(data[i + 1]);
  if (size > 0) s.resize(s.size() - data[0] % 16);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nuv;
  std::string body(reinterpret_cast<const char*>(data), size);
  std::string edited = EditSample(data, size);
  for (const std::string* b : {&body, &edited}) {
    ApiResult a;
    ParseEnvelopeReply(*b, a);
    LoginReply l;
    ParseLoginReply(*b, l);
    RefreshSkeyReply rs;
    ParseRefreshSkeyReply(*b, rs);
    GetUploadFileUrlReply gu;
    ParseGetUploadFileUrlReply(*b, gu);
    JobIdReply j;
    ParseJobIdReply(*b, j);
    CheckContactsReply cc;
    ParseCheckContactsReply(*b, cc);
    GetMediaUrlReply gm;
    ParseGetMediaUrlReply(*b, gm);
    FetchMsgReply f;
    ParseFetchMsgReply(*b, f);
    GetErrorListReply el;
    ParseGetErrorListReply(*b, el);
    CheckUploadKfFileReply ck;
    ParseCheckUploadKfFileReply(*b, ck);
    SetMuteStatusReply sm;
    ParseSetMuteStatusReply(*b, sm);
    UploadFileReply u;
    ParseUploadFileReply(*b, u);
    ApiResult d;
    ParseDownloadErrorReply(*b, d);
    std::string name;
    FindDownloadFileName(*b, name);
    IsJsonReplyHeaders(*b);
    ParseRetryAfter(*b, 1445412480);
  }
  return 0;
}
