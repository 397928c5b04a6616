// COndekoApi against the cloud simulator on loopback, over real HTTPS.

#include "cloud/ondeko_api.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "cloud/http_transport.h"
#include "sim/cloud/sim_cloud_suite.h"
#include "common/paths.h"
#include "common/test_support.h"
#include "sim/cloud/self_signed_cert.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using sim::SimFault;

class OndekoApiTest : public test::SimCloudSuite<> {
 protected:
  void SetUp() override {
    root_ = std::make_unique<test::TempInstallRoot>();
    dir_ = root_->root() + "/";
    test::WriteWholeFile(dir_ + "qy.ini", cloud_->QyIniText());
    ResetCloud();
    SetConnectionReuse(true);
  }

  CloudSettings Settings() const {
    CloudSettings s;
    s.api_host = cloud_->ApiHost();
    s.upload_host = cloud_->UploadHost();
    s.ca_file = cloud_->CaFile();
    return s;
  }
  COndekoApi Api() const { return COndekoApi(dir_, Settings()); }
  std::string LastBody(const std::string& endpoint) const {
    std::string body;
    for (const sim::SimRequest& r : cloud_->Requests())
      if (r.endpoint == endpoint) body = r.body;
    return body;
  }
  std::string WriteTemp(const std::string& name, const std::string& data) const {
    test::WriteWholeFile(dir_ + name, data);
    return dir_ + name;
  }

  std::unique_ptr<test::TempInstallRoot> root_;
  std::string dir_;
};

TEST_F(OndekoApiTest, LoginSavesCredentialsAndUnauthenticatedCallsCarryNoKeys) {
  COndekoApi api = Api();
  LoginReply bad;
  EXPECT_EQ(api.Login(LoginRequest{"wrong"}, bad), kApiOk);
  EXPECT_NE(bad.errCode, 0);
  LoginReply rsp;
  ASSERT_EQ(api.Login(LoginRequest{"sim-client-key"}, rsp), kApiOk);
  ASSERT_EQ(rsp.errCode, 0) << rsp.message;
  sim::SimCredentials c = cloud_->Credentials();
  EXPECT_EQ(rsp.vid, c.vid);
  EXPECT_EQ(api.GetSkey(), c.skey);
  EXPECT_EQ(test::ReadWholeFile(dir_ + "qy.ini"), cloud_->QyIniText());
  EmptyReply done;
  EXPECT_EQ(api.InstallDone(InstallDoneRequest{"tag"}, done), kApiOk);
  EXPECT_EQ(done.errCode, 0);
  for (const sim::SimRequest& r : cloud_->Requests()) {
    EXPECT_EQ(r.vid, "") << r.endpoint;
    EXPECT_FALSE(r.hasSkey) << r.endpoint;
  }
}

TEST_F(OndekoApiTest, MessagesBothWays) {
  COndekoApi api = Api();
  OndekoMsgItem out;
  out.cur_userid = "\xd5\xc5\xc8\xfd";  // a GBK account name
  out.chatid = "{0A1B2C3D-0000-0000-0000-123456789ABC}";
  out.content = "\xe4\xbd\xa0\xe5\xa5\xbd\xef\xbc\x8c\xe4\xb8\x96\xe7\x95\x8c";  // UTF-8 Chinese
  out.to_userid_list = {"bob", "carol"};
  EmptyReply sent;
  ASSERT_EQ(api.SendMsg(out, sent), kApiOk);
  ASSERT_EQ(sent.errCode, 0) << sent.message;
  std::vector<sim::SimSentMessage> got = cloud_->SentMessages();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().cur_userid, out.cur_userid);
  EXPECT_EQ(got.back().content, out.content);
  EXPECT_EQ(got.back().to_userid_list, out.to_userid_list);
  EXPECT_FALSE(got.back().hasImageIdList);
  EXPECT_FALSE(got.back().hasFileIdList);
  std::string body = LastBody("send_msg");
  EXPECT_NE(body.find(out.cur_userid), std::string::npos);
  EXPECT_NE(body.find(out.content), std::string::npos);

  sim::SimCloudMessage in;
  in.cur_userid = "dave";
  in.content = "\xe6\x96\x87\xe4\xbb\xb6";
  std::string fileId = cloud_->PutMedia("a.txt", "abc");
  in.file_id_list = {fileId};
  uint64_t first = cloud_->CreateMessage(in);
  in.msg_type = 1;
  in.file_id_list.clear();
  uint64_t second = cloud_->CreateMessage(in);
  FetchMsgReply fetched;
  ASSERT_EQ(api.FetchMsg(FetchMsgRequest{first, second}, fetched), kApiOk);
  ASSERT_EQ(fetched.errCode, 0);
  ASSERT_EQ(fetched.msglist.size(), 2u);
  EXPECT_EQ(fetched.msglist[0].msg_id, first);
  EXPECT_EQ(fetched.msglist[0].content, in.content);
  EXPECT_EQ(fetched.msglist[0].file_id_list, std::vector<std::string>{fileId});
  EXPECT_EQ(fetched.msglist[1].msg_type, 1u);

  EmptyReply bound;
  ASSERT_EQ(api.BindToken(BindTokenRequest{0xFFFFFFFFFFFFFFF0ULL}, bound), kApiOk);
  EXPECT_EQ(bound.errCode, 0);
  EXPECT_EQ(cloud_->BoundTokens().back(), 0xFFFFFFFFFFFFFFF0ULL);
  EmptyReply report;
  ASSERT_EQ(api.CliReport(CliReportRequest{"REBOOT#1#1700000000#TOOMANYMEM"}, report), kApiOk);
  EXPECT_EQ(cloud_->Reports().back(), "REBOOT#1#1700000000#TOOMANYMEM");
}

TEST_F(OndekoApiTest, UploadAndDownloadFiles) {
  COndekoApi api = Api();
  GetUploadFileUrlReply url;
  ASSERT_EQ(api.GetUploadFileUrl(GetUploadFileUrlRequest{1, 0}, url), kApiOk);
  ASSERT_EQ(url.errCode, 0);
  std::string data("\x89PNG\r\n\x1a\n\0\xff", 10);
  UploadFileReply up;
  ASSERT_EQ(api.UploadFile(UploadFileRequest{url.upload_file_url, WriteTemp("pic.png", data)}, up),
            kApiOk);
  ASSERT_EQ(up.errCode, 0) << up.message;
  EXPECT_EQ(up.type, "image");
  EXPECT_FALSE(up.media_id.empty());
  EXPECT_GT(up.created_at, 0);
  sim::SimMedia stored;
  ASSERT_TRUE(cloud_->GetMedia(up.media_id, stored));
  EXPECT_EQ(stored.data, data);
  EXPECT_EQ(stored.fileName, "pic.png");

  GetMediaUrlReply media;
  ASSERT_EQ(api.GetMediaUrl(GetMediaUrlRequest{up.media_id}, media), kApiOk);
  ASSERT_EQ(media.errCode, 0);
  EXPECT_NE(media.media_url.find("media_id=" + up.media_id), std::string::npos);
  std::string target = root_->root() + "/dl/";
  ASSERT_TRUE(MakeDirs(target));
  DownloadFileReply dl;
  ASSERT_EQ(api.DownloadFile(DownloadFileRequest{media.media_url, target}, dl), kApiOk);
  EXPECT_EQ(dl.errCode, 0);
  EXPECT_EQ(dl.localPath, target + up.media_id);
  EXPECT_EQ(dl.fileName, "pic.png");
  EXPECT_EQ(test::ReadWholeFile(dl.localPath), data);

  // An unknown id: JSON error body, server code reported, no file left.
  std::string unknown = "https://" + cloud_->ApiHost() + "/media/download?media_id=NOPE";
  DownloadFileReply err;
  EXPECT_EQ(api.DownloadFile(DownloadFileRequest{unknown, target}, err), kApiOk);
  EXPECT_EQ(err.errCode, 40006);
  EXPECT_FALSE(test::FileExists(target + "NOPE"));

  // Reply without a file-name marker: -4, the file stays.
  SimFault f;
  f.kind = SimFault::Kind::HttpStatus;
  f.httpStatus = 200;
  f.body = "plain";
  cloud_->InjectFault("media_download", f);
  DownloadFileReply noName;
  EXPECT_EQ(api.DownloadFile(DownloadFileRequest{media.media_url, target}, noName),
            kApiLocalFileFailed);
  EXPECT_EQ(test::ReadWholeFile(target + up.media_id), "plain");

  // URLs without a usable media id download nothing.
  DownloadFileReply bad;
  EXPECT_EQ(
      api.DownloadFile(DownloadFileRequest{"https://" + cloud_->ApiHost() + "/x", target}, bad),
      kApiNoMediaId);
  EXPECT_EQ(api.DownloadFile(DownloadFileRequest{media.media_url + "/../../escape", target}, bad),
            kApiNoMediaId);
}

TEST_F(OndekoApiTest, UploadReplyForms) {
  COndekoApi api = Api();
  GetUploadFileUrlReply url;
  ASSERT_EQ(api.GetUploadFileUrl(GetUploadFileUrlRequest{0, 0}, url), kApiOk);
  std::string path = WriteTemp("doc.txt", "text");
  SimFault f;
  f.errCode = 45009;
  cloud_->InjectFault("media_upload", f);
  UploadFileReply refused;
  EXPECT_EQ(api.UploadFile(UploadFileRequest{url.upload_file_url, path}, refused), kApiOk);
  EXPECT_EQ(refused.errCode, 45009);
  EXPECT_EQ(refused.media_id, "");
  f.kind = SimFault::Kind::Malformed;
  f.body = "<html>busy</html>";
  cloud_->InjectFault("media_upload", f);
  UploadFileReply garbled;
  EXPECT_EQ(api.UploadFile(UploadFileRequest{url.upload_file_url, path}, garbled), kApiBadReply);
  EXPECT_EQ(garbled.message, "<html>busy</html>");
  UploadFileReply missing;
  EXPECT_EQ(api.UploadFile(UploadFileRequest{url.upload_file_url, dir_ + "absent"}, missing),
            kApiTransportFailed);
}

TEST_F(OndekoApiTest, DirectoryImportAndPresence) {
  COndekoApi api = Api();
  // GBK: header line, then one department / one user.
  std::string dept =
      "\xb2\xbf\xc3\xc5\xc3\xfb\xb3\xc6,\xb2\xbf\xc3\xc5ID,\xb8\xb8\xb2\xbf\xc3\xc5ID,"
      "\xc5\xc5\xd0\xf2\r\n"
      "\xd1\xd0\xb7\xa2,2,1,0\r\n";
  std::string users = "name,account,m,e,d,p,g\r\nZhang,zhang,1,z@x,2,dev,x\r\n";
  EmptyReply up;
  ASSERT_EQ(api.UploadContactNosession(
                UploadContactNosessionRequest{1, WriteTemp("deptFramework.csv", dept), ""}, up),
            kApiOk);
  ASSERT_EQ(up.errCode, 0) << up.message;
  EXPECT_EQ(cloud_->Requests().back().vid, std::to_string(api.GetVid()));
  EXPECT_FALSE(cloud_->Requests().back().hasSkey);
  EXPECT_EQ(cloud_->KfUploads().back().data, dept);

  cloud_->SetImportProgress({30, 60, 100});
  SetOrgContactsReply job;
  ASSERT_EQ(api.SetOrgContacts(SetOrgContactsRequest{}, job), kApiOk);
  ASSERT_EQ(job.errCode, 0);
  EXPECT_NE(LastBody("set_org_contacts")
                .find("\"kf_file_key\" : \"" + std::to_string(api.GetVid()) + "\""),
            std::string::npos);
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i) {
    CheckContactsReply p;
    ASSERT_EQ(api.CheckContacts(CheckContactsRequest{0, job.job_id}, p), kApiOk);
    seen.push_back(p.percentage);
    if (p.percentage == 100) break;
  }
  EXPECT_EQ(seen, (std::vector<int>{30, 60, 100}));
  std::vector<sim::SimImportJob> jobs = cloud_->ImportJobs();
  ASSERT_EQ(jobs.back().rows.size(), 2u);
  EXPECT_EQ(jobs.back().rows[0][0],
            "\xe9\x83\xa8\xe9\x97\xa8\xe5\x90\x8d\xe7\xa7\xb0");  // 部门名称
  EXPECT_EQ(jobs.back().rows[1][0], "\xe7\xa0\x94\xe5\x8f\x91");  // 研发

  ASSERT_EQ(api.UploadContactNosession(
                UploadContactNosessionRequest{2, WriteTemp("userFramework.csv", users), ""}, up),
            kApiOk);
  SyncMemberContactsReply ujob;
  ASSERT_EQ(api.SyncMemberContacts(SyncMemberContactsRequest{"key9"}, ujob), kApiOk);
  ASSERT_EQ(ujob.errCode, 0);
  EXPECT_EQ(cloud_->ImportJobs().back().kf_file_key, "key9");

  SetMuteStatusReply mute;
  ASSERT_EQ(api.SetMuteStatus(SetMuteStatusRequest{{{"zhang", 2}, {"ghost", 0}}}, mute), kApiOk);
  ASSERT_EQ(mute.errCode, 0);
  EXPECT_EQ(mute.invalid_users, std::vector<std::string>{"ghost"});
  SetMuteStatusReply none;
  ASSERT_EQ(api.SetMuteStatus(SetMuteStatusRequest{}, none), kApiOk);
  EXPECT_EQ(LastBody("set_mute"), "null\n");
  EXPECT_TRUE(none.invalid_users.empty());

  GetErrorListReply errors;
  ASSERT_EQ(api.GetErrorList(GetErrorListRequest{ujob.job_id}, errors), kApiOk);
  EXPECT_EQ(errors.errCode, 0);
  CheckUploadKfFileReply kf;
  ASSERT_EQ(api.CheckUploadKfFile(CheckUploadKfFileRequest{"k", 2}, kf), kApiOk);
  EXPECT_EQ(kf.has_done, 1);
  std::string media = cloud_->PutMedia("users.csv", users);
  SetContactsReply sc;
  ASSERT_EQ(api.SetContacts(SetContactsRequest{2, media}, sc), kApiOk);
  EXPECT_EQ(sc.errCode, 0);
  EXPECT_FALSE(sc.job_id.empty());
  EmptyReply e;
  EXPECT_EQ(api.SetSyncContacts(SetSyncContactsRequest{1}, e), kApiOk);
  EXPECT_EQ(api.SetInviteFlag(SetInviteFlagRequest{0}, e), kApiOk);
  EXPECT_EQ(api.CheckAuthorization(e), kApiOk);
  EXPECT_EQ(e.errCode, 0);
  EXPECT_EQ(api.CheckHasSyncContacts(e), kApiOk);
  EXPECT_EQ(LastBody("check_hassynccontacts"), "");
}

TEST_F(OndekoApiTest, ExpiredKeyIsRenewedOnceAndTheCallRepeated) {
  COndekoApi api = Api();
  std::string oldSkey = api.GetSkey();
  cloud_->ExpireSkey();
  EmptyReply rsp;
  ASSERT_EQ(api.CheckAuthorization(rsp), kApiOk);
  EXPECT_EQ(rsp.errCode, 0);
  EXPECT_EQ(cloud_->CountRequests("refresh_skey"), 1u);
  EXPECT_EQ(cloud_->CountRequests("check_authorization"), 2u);
  EXPECT_NE(api.GetSkey(), oldSkey);
  EXPECT_EQ(test::ReadWholeFile(dir_ + "qy.ini"), cloud_->QyIniText());

  // A second -2 on the repeat is returned as it is: one refresh only.
  cloud_->ClearRequests();
  SimFault f;
  f.errCode = -2;
  f.count = 2;
  cloud_->InjectFault("fetch_msg", f);
  FetchMsgReply fr;
  EXPECT_EQ(api.FetchMsg(FetchMsgRequest{1, 1}, fr), kApiOk);
  EXPECT_EQ(fr.errCode, -2);
  EXPECT_EQ(cloud_->CountRequests("refresh_skey"), 1u);
  EXPECT_EQ(cloud_->CountRequests("fetch_msg"), 2u);

  // Operations without renewal pass the -2 straight back.
  cloud_->ClearRequests();
  f.count = 1;
  cloud_->InjectFault("upload_kf", f);
  EmptyReply kf;
  EXPECT_EQ(api.UploadContactNosession(
                UploadContactNosessionRequest{1, WriteTemp("d.csv", "x"), "1001"}, kf),
            kApiOk);
  EXPECT_EQ(kf.errCode, -2);
  EXPECT_EQ(cloud_->CountRequests("refresh_skey"), 0u);
}

TEST_F(OndekoApiTest, DirectoryUploadKeepsAnUnreadableReplyAndUsesTheGivenVid) {
  COndekoApi api = Api();
  SimFault f;
  f.kind = SimFault::Kind::Malformed;
  f.body = "proxy error";
  cloud_->InjectFault("upload_kf", f);
  EmptyReply rsp;
  std::string path = WriteTemp("u.csv", "x\r\n");
  EXPECT_EQ(api.UploadContactNosession(UploadContactNosessionRequest{2, path, ""}, rsp),
            kApiBadReply);
  EXPECT_EQ(rsp.message, "proxy error");
  EmptyReply other;
  EXPECT_EQ(api.UploadContactNosession(UploadContactNosessionRequest{2, path, "77"}, other),
            kApiOk);
  EXPECT_EQ(other.errCode, 40003);  // the simulator knows only its own vid
  EXPECT_EQ(cloud_->Requests().back().vid, "77");
  EXPECT_EQ(cloud_->Requests().back().target, "/cgi-bin/upload_kf?type=2");
}

TEST_F(OndekoApiTest, RefusedRefreshLeavesCredentialsAlone) {
  COndekoApi api = Api();
  std::string before = test::ReadWholeFile(dir_ + "qy.ini");
  cloud_->RevokeRefreshToken();
  cloud_->ExpireSkey();
  EmptyReply rsp;
  EXPECT_EQ(api.CliReport(CliReportRequest{"MSG#1#1#2#3"}, rsp), kApiOk);
  EXPECT_EQ(rsp.errCode, -2);  // repeated with the old key, that reply reported
  EXPECT_EQ(cloud_->CountRequests("refresh_skey"), 1u);
  EXPECT_EQ(cloud_->CountRequests("cli_report"), 2u);
  EXPECT_EQ(test::ReadWholeFile(dir_ + "qy.ini"), before);
  EXPECT_EQ(api.RefreshSkey(), kApiOk);  // the refusal is a parsed reply
  EXPECT_EQ(test::ReadWholeFile(dir_ + "qy.ini"), before);
  LoginReply lr;  // give later tests a working cloud again
  ASSERT_EQ(api.Login(LoginRequest{"sim-client-key"}, lr), kApiOk);
}

TEST_F(OndekoApiTest, RefreshThatCannotBeSavedKeepsTheNewKeyInMemory) {
  COndekoApi api = Api();
  ASSERT_TRUE(MakeDirs(dir_ + "qy.ini.tmp"));  // blocks the safe write
  std::string before = test::ReadWholeFile(dir_ + "qy.ini");
  EXPECT_EQ(api.RefreshSkey(), kApiLocalFileFailed);
  EXPECT_EQ(api.GetSkey(), cloud_->Credentials().skey);
  EXPECT_EQ(test::ReadWholeFile(dir_ + "qy.ini"), before);
  EmptyReply rsp;
  EXPECT_EQ(api.CheckAuthorization(rsp), kApiOk);
  EXPECT_EQ(rsp.errCode, 0);

  // Every later client of the process uses it too, and an expired key is
  // renewed and the call repeated though the save fails again; the failed
  // save is logged once.
  cloud_->ClearRequests();
  EmptyReply later;
  EXPECT_EQ(Api().CheckAuthorization(later), kApiOk);
  EXPECT_EQ(later.errCode, 0);
  EXPECT_EQ(cloud_->CountRequests("refresh_skey"), 0u);
  cloud_->ExpireSkey();
  EmptyReply renewed;
  EXPECT_EQ(Api().CheckAuthorization(renewed), kApiOk);
  EXPECT_EQ(renewed.errCode, 0);
  EXPECT_EQ(cloud_->CountRequests("refresh_skey"), 1u);
  EXPECT_EQ(cloud_->CountRequests("check_authorization"), 3u);
  EXPECT_EQ(Api().GetSkey(), cloud_->Credentials().skey);
  auto saveFailures = [&] {
    int n = 0;
    for (const std::string& l : root_->LogLines()) n += l.find("cannot be saved to") != std::string::npos;
    return n;
  };
  EXPECT_EQ(saveFailures(), 1);
  // A file changed from outside wins over the key kept in memory.
  test::WriteWholeFile(dir_ + "qy.ini", "skey:operator\nrefresh_token:x\nvid:1\n");
  EXPECT_EQ(Api().GetSkey(), "operator");
  ::rmdir((dir_ + "qy.ini.tmp").c_str());
  LoginReply lr;  // give later tests a working cloud again
  ASSERT_EQ(Api().Login(LoginRequest{"sim-client-key"}, lr), kApiOk);
}

TEST_F(OndekoApiTest, RepliesAndDownloadsStayWithinTheirLimits) {
  COndekoApi api = Api();
  const std::string id = cloud_->PutMedia("big.bin", std::string(5000, 'b'));
  GetMediaUrlReply media;
  ASSERT_EQ(api.GetMediaUrl(GetMediaUrlRequest{id}, media), kApiOk);
  const std::string target = root_->root() + "/dl/";
  ASSERT_TRUE(MakeDirs(target));
  DownloadFileReply big;
  EXPECT_EQ(api.DownloadFile(DownloadFileRequest{media.media_url, target, 4999}, big), kApiBadReply);
  EXPECT_TRUE(big.oversize);
  EXPECT_EQ(big.fileName, "big.bin");
  EXPECT_FALSE(IsCloudTransportFailure(kApiBadReply, big));
  EXPECT_FALSE(test::FileExists(target + id));
  DownloadFileReply fits;
  EXPECT_EQ(api.DownloadFile(DownloadFileRequest{media.media_url, target, 5000}, fits), kApiOk);
  EXPECT_EQ(test::ReadWholeFile(target + id), std::string(5000, 'b'));
  ::unlink((target + id).c_str());

  // A client error page is not kept as the file.
  SimFault f;
  f.kind = SimFault::Kind::HttpStatus;
  f.httpStatus = 404;
  f.body = "<html>not here</html>";
  cloud_->InjectFault("media_download", f);
  DownloadFileReply missing;
  EXPECT_EQ(api.DownloadFile(DownloadFileRequest{media.media_url, target}, missing), kApiBadReply);
  EXPECT_EQ(missing.message, "HTTP status 404");
  EXPECT_FALSE(test::FileExists(target + id));

  // Too little free disk: nothing is fetched, and it is tried again later.
  CloudSettings s = Settings();
  s.min_free_disk_bytes = uint64_t{1} << 60;
  const size_t before = cloud_->CountRequests("media_download");
  DownloadFileReply full;
  const int r = COndekoApi(dir_, s).DownloadFile(DownloadFileRequest{media.media_url, target}, full);
  EXPECT_TRUE(IsCloudTransportFailure(r, full));
  EXPECT_NE(full.message.find("min_free_disk_mb"), std::string::npos) << full.message;
  EXPECT_EQ(cloud_->CountRequests("media_download"), before);

  // A JSON reply beyond the limit is not taken in.
  s = Settings();
  s.max_reply_bytes = 16;
  EmptyReply tooLong;
  EXPECT_EQ(COndekoApi(dir_, s).CheckAuthorization(tooLong), kApiTransportFailed);
  EXPECT_EQ(tooLong.errCode, 63);
}

TEST_F(OndekoApiTest, MissingQyIniSendsVidZeroAndAnEmptySkey) {
  std::remove((dir_ + "qy.ini").c_str());
  COndekoApi api = Api();
  EmptyReply rsp;
  EXPECT_EQ(api.CheckAuthorization(rsp), kApiOk);
  EXPECT_NE(rsp.errCode, 0);
  const sim::SimRequest first = cloud_->Requests().front();
  EXPECT_EQ(first.vid, "0");
  EXPECT_EQ(first.skey, "");  // sent empty (the server library drops empty headers)
}

TEST_F(OndekoApiTest, BadRepliesAndTransportFailures) {
  COndekoApi api = Api();
  SimFault f;
  f.kind = SimFault::Kind::Malformed;
  cloud_->InjectFault("get_media_url", f);
  GetMediaUrlReply r1;
  EXPECT_EQ(api.GetMediaUrl(GetMediaUrlRequest{"x"}, r1), kApiBadReply);

  f.kind = SimFault::Kind::HttpStatus;
  f.httpStatus = 502;
  cloud_->InjectFault("get_media_url", f);
  GetMediaUrlReply r2;
  EXPECT_EQ(api.GetMediaUrl(GetMediaUrlRequest{"x"}, r2), kApiBadReply);

  f.kind = SimFault::Kind::ErrCode;
  f.errCode = 7;
  cloud_->InjectFault("get_media_url", f);
  GetMediaUrlReply r3;
  EXPECT_EQ(api.GetMediaUrl(GetMediaUrlRequest{"x"}, r3), kApiOk);
  EXPECT_EQ(r3.errCode, 7);
  EXPECT_EQ(r3.media_url, "");

  // Nothing listens: transport failure with libcurl's code and text. The
  // port stays bound (not listening) meanwhile, so no other test can take it.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  CloudSettings closed = Settings();
  closed.api_host = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  EmptyReply r4;
  EXPECT_EQ(COndekoApi(dir_, closed).CheckAuthorization(r4), kApiTransportFailed);
  close(s);
  EXPECT_EQ(r4.errCode, 7);  // couldn't connect
  EXPECT_EQ(r4.message, CurlErrorText(7));

  // A server that stops sending is abandoned after the stall limit.
  CloudSettings quick = Settings();
  quick.stall_timeout_ms = 300;
  f.kind = SimFault::Kind::Stall;
  f.stallMs = 5000;
  cloud_->InjectFault("fetch_msg", f);
  FetchMsgReply r5;
  EXPECT_EQ(COndekoApi(dir_, quick).FetchMsg(FetchMsgRequest{1, 2}, r5), kApiTransportFailed);
  EXPECT_EQ(r5.errCode, 28);  // timed out
}

TEST_F(OndekoApiTest, ServerErrorsAndUnreachableCloudAreTransportFailuresRefusalsAreNot) {
  COndekoApi api = Api();
  SimFault f;
  f.kind = SimFault::Kind::HttpStatus;
  f.httpStatus = 503;
  cloud_->InjectFault("send_msg", f);
  EmptyReply down;
  const int r1 = api.SendMsg(OndekoMsgItem{}, down);
  EXPECT_EQ(r1, kApiBadReply);  // as before for callers that only test success
  EXPECT_EQ(down.httpStatus, 503);
  EXPECT_TRUE(IsCloudTransportFailure(r1, down));

  f.kind = SimFault::Kind::ErrCode;
  f.errCode = 40099;
  cloud_->InjectFault("send_msg", f);
  EmptyReply refused;
  const int r2 = api.SendMsg(OndekoMsgItem{}, refused);
  EXPECT_EQ(refused.httpStatus, 200);
  EXPECT_FALSE(IsCloudTransportFailure(r2, refused));

  f.kind = SimFault::Kind::Malformed;  // a broken 2xx reply: not the cloud being away
  cloud_->InjectFault("send_msg", f);
  EmptyReply garbled;
  const int r3 = api.SendMsg(OndekoMsgItem{}, garbled);
  EXPECT_EQ(r3, kApiBadReply);
  EXPECT_FALSE(IsCloudTransportFailure(r3, garbled));

  CloudSettings closed = Settings();
  closed.api_host = "127.0.0.1:1";
  EmptyReply unreachable;
  const int r4 = COndekoApi(dir_, closed).SendMsg(OndekoMsgItem{}, unreachable);
  EXPECT_EQ(unreachable.httpStatus, 0);
  EXPECT_TRUE(IsCloudTransportFailure(r4, unreachable));

  // A server error or throttling page in place of a download is neither the
  // file nor an error reply: nothing is left behind as if it were the file.
  const std::string id = cloud_->PutMedia("e.txt", "bytes");
  GetMediaUrlReply media;
  ASSERT_EQ(api.GetMediaUrl(GetMediaUrlRequest{id}, media), kApiOk);
  const std::string target = root_->root() + "/dl/";
  ASSERT_TRUE(MakeDirs(target));
  for (int status : {500, 429}) {
    f.kind = SimFault::Kind::HttpStatus;
    f.httpStatus = status;
    f.body = "Internal Server Error";
    cloud_->InjectFault("media_download", f);
    DownloadFileReply dl;
    const int r5 = api.DownloadFile(DownloadFileRequest{media.media_url, target}, dl);
    EXPECT_EQ(r5, kApiBadReply);
    EXPECT_TRUE(IsCloudTransportFailure(r5, dl)) << status;
    EXPECT_FALSE(test::FileExists(target + id));
  }
}

// 408 and 429 ask the client to come back later, as 503 does: not refusals,
// even with a refusal's body; the longest wait asked for is kept.
TEST_F(OndekoApiTest, ThrottlingIsATransportFailureAndItsRetryAfterIsKept) {
  COndekoApi api = Api();
  TakeRetryAfterSec();
  SimFault f;
  f.kind = SimFault::Kind::HttpStatus;
  f.body = R"({"result":{"errCode":45011,"message":"slow down"}})";
  for (const char* wait : {"120", "", "Wed, 21 Oct 2015 07:28:30 GMT"}) {
    f.httpStatus = *wait ? 429 : 408;
    f.retryAfter = wait;
    cloud_->InjectFault("fetch_msg", f);
    FetchMsgReply r;
    EXPECT_TRUE(IsCloudTransportFailure(api.FetchMsg(FetchMsgRequest{1, 2}, r), r)) << f.httpStatus;
  }
  EXPECT_EQ(TakeRetryAfterSec(), 120);  // the date is long past
  EXPECT_EQ(TakeRetryAfterSec(), 0);
  EXPECT_EQ(ParseRetryAfter("Wed, 21 Oct 2015 07:28:30 GMT", 1445412480), 30);
  EXPECT_EQ(ParseRetryAfter("\n", 0), 0);  // blank: no number to read
}

TEST_F(OndekoApiTest, CancelledExchangeEndsPromptlyAndANewOneIsNotStarted) {
  SimFault f;
  f.kind = SimFault::Kind::Stall;
  f.stallMs = 60000;
  cloud_->InjectFault("cli_report", f);
  const size_t reportsBefore = cloud_->Reports().size();
  std::atomic<bool> cancel{false};
  CloudSettings s = Settings();
  s.cancel = [&] { return cancel.load(); };
  std::thread canceller([&] {
    // Once the server holds the request, give up on it.
    for (int i = 0; i < 5000 && cloud_->CountRequests("cli_report") == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    cancel = true;
  });
  const auto started = std::chrono::steady_clock::now();
  EmptyReply r;
  EXPECT_EQ(COndekoApi(dir_, s).CliReport(CliReportRequest{"MSG#1#1#2#3"}, r), kApiTransportFailed);
  const auto took = std::chrono::steady_clock::now() - started;
  canceller.join();
  EXPECT_EQ(r.errCode, 42);  // aborted by callback
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(cloud_->CountRequests("cli_report"), 1u);
  EXPECT_EQ(cloud_->Reports().size(), reportsBefore);

  // Already cancelled: nothing goes out at all.
  cloud_->ClearFaults();
  EmptyReply r2;
  EXPECT_EQ(COndekoApi(dir_, s).CliReport(CliReportRequest{"MSG#1#1#2#3"}, r2), kApiTransportFailed);
  EXPECT_EQ(r2.errCode, 42);
  EXPECT_EQ(cloud_->CountRequests("cli_report"), 1u);
}

TEST_F(OndekoApiTest, UntrustedCertificateIsRefusedUnlessVerificationIsOff) {
  std::string otherCa = dir_ + "other-ca.pem", otherKey = dir_ + "other-key.pem", err;
  ASSERT_TRUE(sim::MakeSelfSignedCert(otherCa, otherKey, err)) << err;
  CloudSettings s = Settings();
  s.ca_file = otherCa;
  EmptyReply r1;
  EXPECT_EQ(COndekoApi(dir_, s).CheckAuthorization(r1), kApiTransportFailed);
  EXPECT_EQ(r1.errCode, 60);  // peer certificate cannot be authenticated
  s.ca_file.clear();          // the system store does not know the simulator either
  EXPECT_EQ(COndekoApi(dir_, s).CheckAuthorization(r1), kApiTransportFailed);

  s.verify_tls = false;
  EmptyReply r2;
  EXPECT_EQ(COndekoApi(dir_, s).CheckAuthorization(r2), kApiOk);
  EXPECT_EQ(r2.errCode, 0);
  EXPECT_TRUE(root_->LogContains("verify_tls = false"));
}

TEST_F(OndekoApiTest, SettingsComeFromServiceIni) {
  root_->WriteServiceIni(cloud_->ServiceIniSection() + "connect_timeout = 3\n");
  CloudSettings s = CloudSettings::FromServiceIni();
  EXPECT_EQ(s.api_host, cloud_->ApiHost());
  EXPECT_EQ(s.upload_host, cloud_->UploadHost());
  EXPECT_EQ(s.connect_timeout_ms, 3000);
  EXPECT_EQ(s.stall_timeout_ms, 60000);
  EXPECT_TRUE(s.verify_tls);
  EmptyReply r;
  EXPECT_EQ(COndekoApi(dir_).CheckAuthorization(r), kApiOk);
  EXPECT_EQ(r.errCode, 0);
}

}  // namespace
}  // namespace nuv
