#include "cloud/ondeko_api.h"

#include "cloud/qy_ini.h"
#include "common/log.h"
#include "common/str_format.h"

namespace nuv {
namespace {

std::string WithSlash(const std::string& dir) {
  if (!dir.empty() && dir.back() != '/') return dir + '/';
  return dir;
}

}  // namespace

int MapApiResult(int result) { return (result <= 0 && result >= -5) ? result : kApiOther; }

COndekoApi::COndekoApi(const std::string& dir) : COndekoApi(dir, CloudSettings::FromServiceIni()) {}

COndekoApi::COndekoApi(const std::string& dir, const CloudSettings& settings)
    : http_(settings), dir_(WithSlash(dir)) {
  Credentials c;
  LoadQyIni(dir_ + "qy.ini", c);  // missing file: empty credentials, no error
  skey_ = c.skey;
  refresh_token_ = c.refresh_token;
  vid_ = c.vid;
}

std::string COndekoApi::BuildReportContent(const ReportItem& item) {
  std::string text = item.kind + "#" + item.marker + "#";
  if (item.kind == "MSG") {
    text += StrFormat("%d#%d#%d", item.periodStart, item.periodEnd, item.itemCount);
  } else if (item.kind == "REBOOT") {
    text += StrFormat("%d#", item.rebootTime) + item.reason;
  }
  return text;
}

std::string COndekoApi::ApiUrl(const char* path) const {
  return "https://" + http_.settings().api_host + "/cgi-bin/" + path;
}

int COndekoApi::SaveCredentials(const std::string& skey, const std::string& refreshToken,
                                uint64_t vid) {
  Credentials c{skey, refreshToken, vid};
  if (SaveQyIni(dir_ + "qy.ini", c) != 0) return -1;
  skey_ = skey;
  refresh_token_ = refreshToken;
  vid_ = vid;
  return 0;
}

int COndekoApi::RefreshSkey() {
  RefreshSkeyReply rsp;
  int ret = http_.RefreshSkey(ApiUrl("refresh_skey"), vid_, refresh_token_, rsp);
  if (ret == kApiOk && rsp.errCode == 0) {
    skey_ = rsp.skey;
    // A renewed key that cannot be saved (disk full, read-only Config/) is
    // still the only one the cloud accepts: every client of this process
    // keeps using it, or each call would renew it again and fail again.
    const std::string path = dir_ + "qy.ini";
    bool first = false;
    if (SaveQyIni(path, Credentials{skey_, refresh_token_, vid_}, true, &first) != 0) {
      if (first)
        WriteLogF("COndekoApi::RefreshSkey the renewed session key cannot be saved to '%s': it is kept in "
                  "memory and used by every cloud call until the file can be written",
                  path.c_str());
      return kApiLocalFileFailed;
    }
  }
  return MapApiResult(ret);
}

int COndekoApi::Login(const LoginRequest& req, LoginReply& rsp) {
  int ret = http_.Login(ApiUrl("login"), req, rsp);
  if (ret == kApiOk && rsp.errCode == 0) {
    // The new credentials are used even when the file cannot be written.
    skey_ = rsp.skey;
    refresh_token_ = rsp.refresh_token;
    vid_ = rsp.vid;
    SaveQyIni(dir_ + "qy.ini", Credentials{skey_, refresh_token_, vid_}, true);
  }
  return MapApiResult(ret);
}

template <class Reply, class Call>
int COndekoApi::WithRenewal(Reply& rsp, Call call) {
  int ret = call();
  if (ret != kApiOk || rsp.errCode != kErrSkeyExpired) return MapApiResult(ret);
  // A new key that could only be kept in memory is as good for the repeat.
  const int refreshed = RefreshSkey();
  if (refreshed == kApiOk || refreshed == kApiLocalFileFailed) {
    rsp = Reply{};
    ret = call();
  }
  return MapApiResult(ret);
}

int COndekoApi::GetUploadFileUrl(const GetUploadFileUrlRequest& req, GetUploadFileUrlReply& rsp) {
  return WithRenewal(rsp, [&] {
    return http_.GetUploadFileUrl(ApiUrl("get_upload_file_url"), vid_, skey_, req, rsp);
  });
}

int COndekoApi::UploadFile(const UploadFileRequest& req, UploadFileReply& rsp) {
  return MapApiResult(http_.UploadFile(vid_, skey_, req, rsp));
}

int COndekoApi::SetContacts(const SetContactsRequest& req, SetContactsReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.SetContacts(ApiUrl("set_contacts"), vid_, skey_, req, rsp); });
}

int COndekoApi::CheckContacts(const CheckContactsRequest& req, CheckContactsReply& rsp) {
  return WithRenewal(rsp, [&] {
    return http_.CheckContacts(ApiUrl("check_contacts_job"), vid_, skey_, req, rsp);
  });
}

int COndekoApi::SendMsg(const OndekoMsgItem& req, EmptyReply& rsp) {
  return WithRenewal(rsp, [&] { return http_.SendMsg(ApiUrl("send_msg"), vid_, skey_, req, rsp); });
}

int COndekoApi::GetMediaUrl(const GetMediaUrlRequest& req, GetMediaUrlReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.GetMediaUrl(ApiUrl("get_media_url"), vid_, skey_, req, rsp); });
}

int COndekoApi::DownloadFile(const DownloadFileRequest& req, DownloadFileReply& rsp) {
  return MapApiResult(http_.DownloadFile(vid_, skey_, req, rsp));
}

int COndekoApi::FetchMsg(const FetchMsgRequest& req, FetchMsgReply& rsp) {
  return WithRenewal(rsp,
                     [&] { return http_.FetchMsg(ApiUrl("fetch_msg"), vid_, skey_, req, rsp); });
}

int COndekoApi::BindToken(const BindTokenRequest& req, EmptyReply& rsp) {
  return WithRenewal(rsp,
                     [&] { return http_.BindToken(ApiUrl("bind_token"), vid_, skey_, req, rsp); });
}

int COndekoApi::CheckAuthorization(EmptyReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.PostEmpty(ApiUrl("check_authorization"), vid_, skey_, rsp); });
}

int COndekoApi::CheckHasSyncContacts(EmptyReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.PostEmpty(ApiUrl("check_hassynccontacts"), vid_, skey_, rsp); });
}

int COndekoApi::SyncMemberContacts(const SyncMemberContactsRequest& req,
                                   SyncMemberContactsReply& rsp) {
  std::string key = req.kf_file_key.empty() ? std::to_string(vid_) : req.kf_file_key;
  return WithRenewal(rsp, [&] {
    return http_.PostKfFileKey(ApiUrl("sync_member_contacts"), vid_, skey_, key, rsp);
  });
}

int COndekoApi::SetOrgContacts(const SetOrgContactsRequest& req, SetOrgContactsReply& rsp) {
  std::string key = req.kf_file_key.empty() ? std::to_string(vid_) : req.kf_file_key;
  return WithRenewal(
      rsp, [&] { return http_.PostKfFileKey(ApiUrl("set_org_contacts"), vid_, skey_, key, rsp); });
}

int COndekoApi::SetSyncContacts(const SetSyncContactsRequest& req, EmptyReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.PostFlag(ApiUrl("set_synccontacts"), vid_, skey_, req, rsp); });
}

int COndekoApi::SetInviteFlag(const SetInviteFlagRequest& req, EmptyReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.PostFlag(ApiUrl("set_inviteflag"), vid_, skey_, req, rsp); });
}

int COndekoApi::GetErrorList(const GetErrorListRequest& req, GetErrorListReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.GetErrorList(ApiUrl("get_error_list"), vid_, skey_, req, rsp); });
}

int COndekoApi::CheckUploadKfFile(const CheckUploadKfFileRequest& req,
                                  CheckUploadKfFileReply& rsp) {
  return WithRenewal(rsp, [&] {
    return http_.CheckUploadKfFile(ApiUrl("check_upload_kffile"), vid_, skey_, req, rsp);
  });
}

int COndekoApi::InstallDone(const InstallDoneRequest& req, EmptyReply& rsp) {
  return MapApiResult(http_.InstallDone(ApiUrl("install_done"), req, rsp));
}

int COndekoApi::SetMuteStatus(const SetMuteStatusRequest& req, SetMuteStatusReply& rsp) {
  return WithRenewal(
      rsp, [&] { return http_.SetMuteStatus(ApiUrl("set_mute"), vid_, skey_, req, rsp); });
}

int COndekoApi::CliReport(const CliReportRequest& req, EmptyReply& rsp) {
  return WithRenewal(rsp,
                     [&] { return http_.CliReport(ApiUrl("cli_report"), vid_, skey_, req, rsp); });
}

int COndekoApi::UploadContactNosession(const UploadContactNosessionRequest& req, EmptyReply& rsp) {
  std::string vidText = req.vid.empty() ? std::to_string(vid_) : req.vid;
  std::string url = StrFormat("https://%s/cgi-bin/upload_kf?type=%d",
                              http_.settings().upload_host.c_str(), req.type);
  return MapApiResult(http_.UploadContactNosession(url, vidText, req.localPath, rsp));
}

}  // namespace nuv
