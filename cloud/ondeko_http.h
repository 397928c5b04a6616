#pragma once
// The request layer of the cloud client: one call per endpoint that builds
// the JSON body, performs the exchange over the transport and parses the
// reply into the reply record. Keeps no credentials: vid and skey come with
// every call. Holds only the transport settings; one object per thread.
//
// Every call returns kApiOk (the caller still checks errCode), kApiBuildFailed,
// kApiTransportFailed (errCode/message = libcurl's code/text) or kApiBadReply.
// UploadFile, UploadContactNosession and a download's error body copy the raw
// reply into message when it cannot be parsed; DownloadFile may also return
// kApiLocalFileFailed and kApiNoMediaId.
//
// The upload and media URLs come from the cloud's replies and are not
// trusted: one the transport would not fetch (not https) is refused with
// kApiBadReply before any connection, and the "vid" and "skey" headers go
// only to the configured api_host and upload_host. DownloadFile refuses a
// file larger than the request's maxBytes (kApiBadReply, oversize set,
// nothing kept), never keeps an HTTP error page as the file, and does not
// start with less free disk than the settings keep free (kApiTransportFailed,
// so that the message is kept and tried later).

#include <cstdint>
#include <string>

#include "cloud/cloud_settings.h"
#include "cloud/ondeko_records.h"

namespace nuv {

class COndekoHttp {
 public:
  explicit COndekoHttp(CloudSettings settings) : settings_(std::move(settings)) {}

  const CloudSettings& settings() const { return settings_; }

  // Unauthenticated.
  int Login(const std::string& url, const LoginRequest& req, LoginReply& rsp);
  int RefreshSkey(const std::string& url, uint64_t vid, const std::string& refreshToken,
                  RefreshSkeyReply& rsp);
  int InstallDone(const std::string& url, const InstallDoneRequest& req, EmptyReply& rsp);

  // With the "vid" and "skey" headers.
  int GetUploadFileUrl(const std::string& url, uint64_t vid, const std::string& skey,
                       const GetUploadFileUrlRequest& req, GetUploadFileUrlReply& rsp);
  int SetContacts(const std::string& url, uint64_t vid, const std::string& skey,
                  const SetContactsRequest& req, SetContactsReply& rsp);
  int CheckContacts(const std::string& url, uint64_t vid, const std::string& skey,
                    const CheckContactsRequest& req, CheckContactsReply& rsp);
  int SendMsg(const std::string& url, uint64_t vid, const std::string& skey,
              const OndekoMsgItem& req, EmptyReply& rsp);
  int GetMediaUrl(const std::string& url, uint64_t vid, const std::string& skey,
                  const GetMediaUrlRequest& req, GetMediaUrlReply& rsp);
  int FetchMsg(const std::string& url, uint64_t vid, const std::string& skey,
               const FetchMsgRequest& req, FetchMsgReply& rsp);
  int BindToken(const std::string& url, uint64_t vid, const std::string& skey,
                const BindTokenRequest& req, EmptyReply& rsp);
  // Zero-length body: check_authorization, check_hassynccontacts.
  int PostEmpty(const std::string& url, uint64_t vid, const std::string& skey, EmptyReply& rsp);
  // set_org_contacts, sync_member_contacts (the key is sent as given).
  int PostKfFileKey(const std::string& url, uint64_t vid, const std::string& skey,
                    const std::string& kfFileKey, JobIdReply& rsp);
  // set_synccontacts, set_inviteflag.
  int PostFlag(const std::string& url, uint64_t vid, const std::string& skey,
               const FlagRequest& req, EmptyReply& rsp);
  int GetErrorList(const std::string& url, uint64_t vid, const std::string& skey,
                   const GetErrorListRequest& req, GetErrorListReply& rsp);
  int CheckUploadKfFile(const std::string& url, uint64_t vid, const std::string& skey,
                        const CheckUploadKfFileRequest& req, CheckUploadKfFileReply& rsp);
  int SetMuteStatus(const std::string& url, uint64_t vid, const std::string& skey,
                    const SetMuteStatusRequest& req, SetMuteStatusReply& rsp);
  int CliReport(const std::string& url, uint64_t vid, const std::string& skey,
                const CliReportRequest& req, EmptyReply& rsp);
  int UploadFile(uint64_t vid, const std::string& skey, const UploadFileRequest& req,
                 UploadFileReply& rsp);
  int DownloadFile(uint64_t vid, const std::string& skey, const DownloadFileRequest& req,
                   DownloadFileReply& rsp);

  // With only the "vid" header (vidText as given).
  int UploadContactNosession(const std::string& url, const std::string& vidText,
                             const std::string& localPath, EmptyReply& rsp);

 private:
  // The file transfers themselves; the public ones count their outcome.
  int UploadFileOnce(uint64_t vid, const std::string& skey, const UploadFileRequest& req, UploadFileReply& rsp);
  int DownloadFileOnce(uint64_t vid, const std::string& skey, const DownloadFileRequest& req,
                       DownloadFileReply& rsp);
  int UploadContactOnce(const std::string& url, const std::string& vidText, const std::string& localPath,
                        EmptyReply& rsp);

  CloudSettings settings_;
};

}  // namespace nuv
