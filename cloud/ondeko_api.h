#pragma once
// COndekoApi: the cloud API client the rest of the service uses. Owns the
// installation's credentials (loaded from <dir>qy.ini at construction),
// knows the endpoint URLs, renews an expired session key once and repeats
// the call, and maps every result onto the kApi* codes of ondeko_records.h.
//
// Built on the stack for each use and used by one thread. Several threads may
// hold clients at once; they share only qy.ini, whose reads and writes are
// serialised within the process. Writes no log lines (callers log results)
// but one: a renewed session key that cannot be saved, once until a save
// succeeds again.

#include <cstdint>
#include <string>

#include "cloud/cloud_settings.h"
#include "cloud/ondeko_http.h"
#include "cloud/ondeko_records.h"

namespace nuv {

// One status report to the cloud (cli_report): a statistics report ("MSG",
// the items handled in a period) or a restart report ("REBOOT", the reason
// the worker ends itself). A plain value owned by whoever sends the report.
struct ReportItem {
  std::string kind;         // "MSG" or "REBOOT"
  std::string marker;       // "1"
  int32_t periodStart = 0;  // MSG: start of the reported period, seconds since 1970
  int32_t periodEnd = 0;    // MSG: end of the reported period (now)
  int32_t itemCount = 0;    // MSG: work items handled in the period
  int32_t rebootTime = 0;   // REBOOT: time of the report
  std::string reason;       // REBOOT: the report code (ANSI code page)
};

class COndekoApi {
 public:
  // dir: directory holding qy.ini (ends with '/'); settings from service.ini.
  explicit COndekoApi(const std::string& dir);
  COndekoApi(const std::string& dir, const CloudSettings& settings);

  uint64_t GetVid() const { return vid_; }
  const std::string& GetSkey() const { return skey_; }
  const std::string& GetRefreshToken() const { return refresh_token_; }

  // Rewrites qy.ini with the three values, then adopts them; -1 when the
  // file cannot be written (nothing changes).
  int SaveCredentials(const std::string& skey, const std::string& refreshToken, uint64_t vid);
  // Buys a new session key with the refresh token and saves it; -4 when it
  // cannot be saved (the new key is still used, by this client and, kept in
  // memory, by every later one of the process). A refusal changes nothing.
  int RefreshSkey();
  int Login(const LoginRequest& req, LoginReply& rsp);

  int GetUploadFileUrl(const GetUploadFileUrlRequest& req, GetUploadFileUrlReply& rsp);
  int UploadFile(const UploadFileRequest& req, UploadFileReply& rsp);
  int SetContacts(const SetContactsRequest& req, SetContactsReply& rsp);
  int CheckContacts(const CheckContactsRequest& req, CheckContactsReply& rsp);
  int SendMsg(const OndekoMsgItem& req, EmptyReply& rsp);
  int GetMediaUrl(const GetMediaUrlRequest& req, GetMediaUrlReply& rsp);
  int DownloadFile(const DownloadFileRequest& req, DownloadFileReply& rsp);
  int FetchMsg(const FetchMsgRequest& req, FetchMsgReply& rsp);
  int BindToken(const BindTokenRequest& req, EmptyReply& rsp);
  int CheckAuthorization(EmptyReply& rsp);
  int CheckHasSyncContacts(EmptyReply& rsp);
  int SyncMemberContacts(const SyncMemberContactsRequest& req, SyncMemberContactsReply& rsp);
  int SetOrgContacts(const SetOrgContactsRequest& req, SetOrgContactsReply& rsp);
  int SetSyncContacts(const SetSyncContactsRequest& req, EmptyReply& rsp);
  int SetInviteFlag(const SetInviteFlagRequest& req, EmptyReply& rsp);
  int GetErrorList(const GetErrorListRequest& req, GetErrorListReply& rsp);
  int CheckUploadKfFile(const CheckUploadKfFileRequest& req, CheckUploadKfFileReply& rsp);
  int InstallDone(const InstallDoneRequest& req, EmptyReply& rsp);
  int SetMuteStatus(const SetMuteStatusRequest& req, SetMuteStatusReply& rsp);
  int CliReport(const CliReportRequest& req, EmptyReply& rsp);
  int UploadContactNosession(const UploadContactNosessionRequest& req, EmptyReply& rsp);

  // The report_content text of a report: "MSG#1#start#end#count",
  // "REBOOT#1#time#CODE"; any other kind gives only "kind#marker#".
  static std::string BuildReportContent(const ReportItem& item);

  // "https://" + api_host + "/cgi-bin/" + path.
  std::string ApiUrl(const char* path) const;

 private:
  // Runs call(); on errCode -2 refreshes once and, if the refresh went
  // through, resets rsp and runs call() once more. Returns the mapped result.
  template <class Reply, class Call>
  int WithRenewal(Reply& rsp, Call call);

  std::string skey_;
  std::string refresh_token_;
  uint64_t vid_ = 0;
  COndekoHttp http_;
  std::string dir_;
};

// Keeps 0 and -1 ... -5; anything else becomes -100.
int MapApiResult(int result);

}  // namespace nuv
