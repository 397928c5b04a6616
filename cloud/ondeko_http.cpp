#include "cloud/ondeko_http.h"

#include <sys/statvfs.h>

#include <cstdio>
#include <fstream>

#include "cloud/http_transport.h"
#include "cloud/reply_parsers.h"
#include "cloud/request_bodies.h"
#include "common/bridge_metrics.h"
#include "common/str_format.h"

namespace nuv {
namespace {

// "vid" and "skey" headers. An empty value still goes out: libcurl drops a
// header written "Name:" with nothing after it, but sends "Name;" as empty.
HeaderList AuthHeaders(uint64_t vid, const std::string& skey) {
  HeaderList h;
  h.push_back(StrFormat("vid: %llu", static_cast<unsigned long long>(vid)));
  h.push_back(skey.empty() ? std::string("skey;") : "skey: " + skey);
  return h;
}

HeaderList VidOnlyHeader(const std::string& vidText) {
  return {vidText.empty() ? std::string("vid;") : "vid: " + vidText};
}

// The operation a cloud URL names: the last part of its path, as one of the
// catalogue's names (the metrics keep the name by pointer).
const char* OpOf(const std::string& url) {
  static const char* const kOps[] = {
      "login", "refresh_skey", "install_done", "get_upload_file_url", "set_contacts",
      "check_contacts_job", "send_msg", "get_media_url", "fetch_msg", "bind_token",
      "check_authorization", "check_hassynccontacts", "sync_member_contacts", "set_org_contacts",
      "set_synccontacts", "set_inviteflag", "get_error_list", "check_upload_kffile", "set_mute",
      "cli_report"};
  size_t end = url.find('?');
  if (end == std::string::npos) end = url.size();
  const size_t slash = url.rfind('/', end);
  const std::string last = url.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash + 1));
  for (const char* op : kOps)
    if (last == op) return op;
  return "other";
}

// Counts one request's outcome in the worker's metrics; passes ret on.
int Counted(const char* op, int ret, const ApiResult& rsp) {
  CloudCallResult r = CloudCallResult::kRefused;
  if (ret == kApiOk && rsp.errCode == 0) r = CloudCallResult::kOk;
  else if (IsCloudTransportFailure(ret, rsp)) r = CloudCallResult::kTransport;
  Metrics().CountCloudRequest(op, r);
  return ret;
}

int TransportFailed(int rc, ApiResult& rsp) {
  rsp.errCode = rc;
  rsp.message = CurlErrorText(rc);
  return kApiTransportFailed;
}

// One JSON exchange: body already built (or not), POST, parse.
template <class Reply>
int Exchange(const CloudSettings& s, const std::string& url, const HeaderList& headers, bool built,
             const std::string& body, Reply& rsp, int (*parse)(const std::string&, Reply&)) {
  if (!built) return kApiBuildFailed;
  std::string reply;
  int rc = HttpPost(url, headers, body, reply, s);
  if (rc != 0) return Counted(OpOf(url), TransportFailed(rc, rsp), rsp);
  const int parsed = parse(reply, rsp) == kParseOk ? kApiOk : kApiBadReply;
  rsp.httpStatus = static_cast<int32_t>(LastHttpStatus());
  return Counted(OpOf(url), parsed, rsp);
}

// Builds the body with build(req) and runs the exchange.
template <class Req, class Reply>
int Post(const CloudSettings& s, const std::string& url, const HeaderList& headers,
         bool (*build)(const Req&, std::string&), const Req& req, Reply& rsp,
         int (*parse)(const std::string&, Reply&)) {
  std::string body;
  bool built = build(req, body);
  return Exchange(s, url, headers, built, body, rsp, parse);
}

// Joins the lines of a downloaded error body without their line ends.
std::string ReadJoinedLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string joined, line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    joined += line;
  }
  return joined;
}

// The credential headers go only to the configured API and upload hosts;
// a URL the cloud hands out that points elsewhere is fetched without them.
HeaderList CredentialsFor(const CloudSettings& s, const std::string& url, uint64_t vid,
                          const std::string& skey) {
  if (UrlIsOnHost(url, s.api_host) || UrlIsOnHost(url, s.upload_host)) return AuthHeaders(vid, skey);
  return {};
}

// A URL from a reply that the transport would not fetch: the reply is refused.
bool RefusedUrl(const CloudSettings& s, const char* what, const std::string& url, ApiResult& rsp) {
  std::string why;
  if (UrlAllowed(url, s, &why)) return false;
  rsp.message = std::string(what) + " '" + url + "' refused: " + why;
  return true;
}

// Free bytes for an unprivileged writer in dir; false when unknown.
bool FreeBytes(const std::string& dir, uint64_t& free) {
  struct statvfs st;
  if (::statvfs(dir.c_str(), &st) != 0) return false;
  free = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

// A media id names a file in the target directory: it must stay inside it.
bool SafeFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

int COndekoHttp::Login(const std::string& url, const LoginRequest& req, LoginReply& rsp) {
  return Post(settings_, url, {}, BuildLoginBody, req, rsp, ParseLoginReply);
}

int COndekoHttp::RefreshSkey(const std::string& url, uint64_t vid, const std::string& refreshToken,
                             RefreshSkeyReply& rsp) {
  std::string body;
  bool built = BuildRefreshSkeyBody(vid, refreshToken, body);
  return Exchange(settings_, url, {}, built, body, rsp, ParseRefreshSkeyReply);
}

int COndekoHttp::InstallDone(const std::string& url, const InstallDoneRequest& req,
                             EmptyReply& rsp) {
  return Post(settings_, url, {}, BuildInstallDoneBody, req, rsp, ParseEnvelopeReply);
}

int COndekoHttp::GetUploadFileUrl(const std::string& url, uint64_t vid, const std::string& skey,
                                  const GetUploadFileUrlRequest& req, GetUploadFileUrlReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildGetUploadFileUrlBody, req, rsp,
              ParseGetUploadFileUrlReply);
}

int COndekoHttp::SetContacts(const std::string& url, uint64_t vid, const std::string& skey,
                             const SetContactsRequest& req, SetContactsReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildSetContactsBody, req, rsp,
              ParseJobIdReply);
}

int COndekoHttp::CheckContacts(const std::string& url, uint64_t vid, const std::string& skey,
                               const CheckContactsRequest& req, CheckContactsReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildCheckContactsBody, req, rsp,
              ParseCheckContactsReply);
}

int COndekoHttp::SendMsg(const std::string& url, uint64_t vid, const std::string& skey,
                         const OndekoMsgItem& req, EmptyReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildSendMsgBody, req, rsp,
              ParseEnvelopeReply);
}

int COndekoHttp::GetMediaUrl(const std::string& url, uint64_t vid, const std::string& skey,
                             const GetMediaUrlRequest& req, GetMediaUrlReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildGetMediaUrlBody, req, rsp,
              ParseGetMediaUrlReply);
}

int COndekoHttp::FetchMsg(const std::string& url, uint64_t vid, const std::string& skey,
                          const FetchMsgRequest& req, FetchMsgReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildFetchMsgBody, req, rsp,
              ParseFetchMsgReply);
}

int COndekoHttp::BindToken(const std::string& url, uint64_t vid, const std::string& skey,
                           const BindTokenRequest& req, EmptyReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildBindTokenBody, req, rsp,
              ParseEnvelopeReply);
}

int COndekoHttp::PostEmpty(const std::string& url, uint64_t vid, const std::string& skey,
                           EmptyReply& rsp) {
  return Exchange(settings_, url, AuthHeaders(vid, skey), true, std::string(), rsp,
                  ParseEnvelopeReply);
}

int COndekoHttp::PostKfFileKey(const std::string& url, uint64_t vid, const std::string& skey,
                               const std::string& kfFileKey, JobIdReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildKfFileKeyBody, kfFileKey, rsp,
              ParseJobIdReply);
}

int COndekoHttp::PostFlag(const std::string& url, uint64_t vid, const std::string& skey,
                          const FlagRequest& req, EmptyReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildFlagBody, req, rsp, ParseEnvelopeReply);
}

int COndekoHttp::GetErrorList(const std::string& url, uint64_t vid, const std::string& skey,
                              const GetErrorListRequest& req, GetErrorListReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildGetErrorListBody, req, rsp,
              ParseGetErrorListReply);
}

int COndekoHttp::CheckUploadKfFile(const std::string& url, uint64_t vid, const std::string& skey,
                                   const CheckUploadKfFileRequest& req,
                                   CheckUploadKfFileReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildCheckUploadKfFileBody, req, rsp,
              ParseCheckUploadKfFileReply);
}

int COndekoHttp::SetMuteStatus(const std::string& url, uint64_t vid, const std::string& skey,
                               const SetMuteStatusRequest& req, SetMuteStatusReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildSetMuteStatusBody, req, rsp,
              ParseSetMuteStatusReply);
}

int COndekoHttp::CliReport(const std::string& url, uint64_t vid, const std::string& skey,
                           const CliReportRequest& req, EmptyReply& rsp) {
  return Post(settings_, url, AuthHeaders(vid, skey), BuildCliReportBody, req, rsp,
              ParseEnvelopeReply);
}

int COndekoHttp::UploadFile(uint64_t vid, const std::string& skey, const UploadFileRequest& req,
                            UploadFileReply& rsp) {
  return Counted("upload_file", UploadFileOnce(vid, skey, req, rsp), rsp);
}

int COndekoHttp::UploadFileOnce(uint64_t vid, const std::string& skey, const UploadFileRequest& req,
                                UploadFileReply& rsp) {
  if (RefusedUrl(settings_, "upload URL", req.url, rsp)) return kApiBadReply;
  std::string reply;
  int rc = HttpPostFile(req.url, CredentialsFor(settings_, req.url, vid, skey), req.localPath, reply, settings_);
  if (rc != 0) return TransportFailed(rc, rsp);
  const int32_t status = static_cast<int32_t>(LastHttpStatus());
  if (ParseUploadFileReply(reply, rsp) != kParseOk) {
    rsp.httpStatus = status;
    rsp.message = reply;
    return kApiBadReply;
  }
  rsp.httpStatus = status;
  return kApiOk;
}

int COndekoHttp::UploadContactNosession(const std::string& url, const std::string& vidText,
                                        const std::string& localPath, EmptyReply& rsp) {
  return Counted("upload_kf", UploadContactOnce(url, vidText, localPath, rsp), rsp);
}

int COndekoHttp::UploadContactOnce(const std::string& url, const std::string& vidText,
                                   const std::string& localPath, EmptyReply& rsp) {
  std::string reply;
  int rc = HttpPostFile(url, VidOnlyHeader(vidText), localPath, reply, settings_);
  if (rc != 0) return TransportFailed(rc, rsp);
  if (ParseEnvelopeReply(reply, rsp) != kParseOk) {
    rsp.message = reply;
    return kApiBadReply;
  }
  return kApiOk;
}

int COndekoHttp::DownloadFile(uint64_t vid, const std::string& skey, const DownloadFileRequest& req,
                              DownloadFileReply& rsp) {
  return Counted("download_file", DownloadFileOnce(vid, skey, req, rsp), rsp);
}

int COndekoHttp::DownloadFileOnce(uint64_t vid, const std::string& skey, const DownloadFileRequest& req,
                                  DownloadFileReply& rsp) {
  static const std::string kMarker = "media_id=";
  size_t pos = req.url.find(kMarker);
  if (pos == std::string::npos) return kApiNoMediaId;
  std::string mediaId = req.url.substr(pos + kMarker.size());
  if (!SafeFileName(mediaId)) return kApiNoMediaId;
  std::string localPath = req.targetDir + mediaId;
  if (RefusedUrl(settings_, "media URL", req.url, rsp)) return kApiBadReply;
  // The download directory shares its disk with the journal: a download
  // never takes the last of it. Not the message's fault, so it is kept and
  // tried again later.
  uint64_t free = 0;
  if (settings_.min_free_disk_bytes > 0 && FreeBytes(req.targetDir, free) && free < settings_.min_free_disk_bytes) {
    rsp.errCode = 23;  // libcurl's write error
    rsp.message = StrFormat("only %llu MiB free in '%s', below the %llu MiB kept free ([cloud] min_free_disk_mb): "
                            "not downloaded",
                            static_cast<unsigned long long>(free >> 20), req.targetDir.c_str(),
                            static_cast<unsigned long long>(settings_.min_free_disk_bytes >> 20));
    return kApiTransportFailed;
  }

  std::string headers;
  int rc = HttpDownload(req.url, CredentialsFor(settings_, req.url, vid, skey), localPath, headers, settings_,
                        req.maxBytes);
  if (rc == 63 && req.maxBytes > 0) {  // CURLE_FILESIZE_EXCEEDED
    std::remove(localPath.c_str());
    rsp.oversize = true;
    FindDownloadFileName(headers, rsp.fileName);  // for the receivers' notice, when given
    rsp.message = StrFormat("the file is larger than the limit of %llu bytes: not downloaded",
                            static_cast<unsigned long long>(req.maxBytes));
    return kApiBadReply;
  }
  if (rc != 0) {
    std::remove(localPath.c_str());  // a torn download must not pass for the file
    return TransportFailed(rc, rsp);
  }
  rsp.httpStatus = static_cast<int32_t>(LastHttpStatus());
  const bool json = IsJsonReplyHeaders(headers);
  if (rsp.httpStatus >= 500 || IsThrottleStatus(rsp.httpStatus) || (rsp.httpStatus >= 400 && !json)) {
    // A server error, a throttling page or any other error page is neither
    // the file nor an error reply.
    std::remove(localPath.c_str());
    rsp.message = "HTTP status " + std::to_string(rsp.httpStatus);
    return kApiBadReply;
  }
  if (!json) {
    rsp.errCode = 0;
    rsp.localPath = localPath;
    return FindDownloadFileName(headers, rsp.fileName) ? kApiOk : kApiLocalFileFailed;
  }
  // The body was an error reply instead of the file.
  std::string joined = ReadJoinedLines(localPath);
  if (ParseDownloadErrorReply(joined, rsp) != kParseOk) {
    rsp.message = joined;
    return kApiBadReply;
  }
  if (std::remove(localPath.c_str()) != 0) {
    // An empty error body created no file: nothing to delete.
    std::ifstream probe(localPath);
    if (probe.good()) return kApiLocalFileFailed;
  }
  return kApiOk;
}

}  // namespace nuv
