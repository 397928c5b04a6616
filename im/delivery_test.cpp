// Delivery into the IM: cloud texts, broadcasts and files sent through the
// IM server simulator, files fetched from the cloud simulator, and the
// presence lists.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "sim/cloud/sim_cloud_suite.h"
#include "common/paths.h"
#include "common/sdk_error.h"
#include "common/test_support.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/im_app_fixture.h"
#include "im/im_connection.h"
#include "im/msg_body.h"
#include "processor/combine_queue.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using test::DirEntries;
using test::WaitUntil;

// The text a sent message's content carries, read the way the IM reads it.
test::SentContent ReadSent(const WireFields& m) {
  test::SentContent s = test::ReadSentContent(m);
  EXPECT_TRUE(s.bodyParsed);
  return s;
}

class DeliveryTest : public test::SimCloudSuite<test::StartedAppTest> {
 protected:
  void SetUp() override {
    env_.AppendServiceIni(cloud_->ServiceIniSection());
    test::WriteWholeFile(env_.root().config() + "qy.ini", cloud_->QyIniText());
    ResetCloud();
    StartedAppTest::SetUp();
    std::vector<WorkItem> stale;
    GetCombineQueue().DrainAll(stale);
  }

  static CQueueMsg Text(int mt, const std::wstring& from, const std::wstring& to,
                        const std::wstring& content, const std::wstring& key, uint64_t id = 7) {
    CQueueMsg m;
    m.mt = mt;
    m.msgid = id;
    m.from = from;
    m.to = to;
    m.content = content;
    m.key = key;
    return m;
  }
  static CQueueFile Attachment(const std::string& mediaId, int kind = FILE_KIND_FILE) {
    CQueueFile f;
    f.kind = kind;
    f.fid = Utf8ToWide(mediaId);
    return f;
  }
  CQueueMsg FileMsg(std::vector<CQueueFile> files) {
    CQueueMsg m = Text(0, L"alice", L"bob", L"", L"{00000000-0000-4000-8000-ABCDEF012345}", 9);
    m.files = std::move(files);
    return m;
  }
  std::string DownloadDir() { return env_.root().root() + "/Download"; }
  bool Logged(const std::string& line) { return env_.root().LogContains(line); }
};

const char kGuidForm[] = "\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}";

TEST_F(DeliveryTest, TextKeepsA20CharacterKeyAndReplacesA19CharacterOneOnce) {
  CQueueMsg kept = Text(0, L"alice", L"bob;carol", L"hi", L"12345678901234567890");
  EXPECT_EQ(1, app_->SendText2Nuv(kept, false));
  EXPECT_EQ(L"12345678901234567890", kept.key);

  CQueueMsg fresh = Text(0, L"alice", L"bob", L"again", L"1234567890123456789", 8);
  EXPECT_EQ(1, app_->SendTxtMsg2Nuv(fresh));
  ASSERT_TRUE(std::regex_match(WideToUtf8(fresh.key), std::regex(kGuidForm))) << WideToUtf8(fresh.key);
  EXPECT_TRUE(Logged("SendTxtMsg2Nuv set dkkey invalid '1234567890123456789' to '" + WideToUtf8(fresh.key) + "'"));
  const std::wstring firstKey = fresh.key;
  EXPECT_EQ(1, app_->SendTxtMsg2Nuv(fresh));  // a retry keeps the new key
  EXPECT_EQ(firstKey, fresh.key);
  EXPECT_FALSE(Logged("set dkkey invalid '12345678901234567890'"));

  const std::vector<WireFields> sent = env_.server().Messages();
  ASSERT_EQ(3u, sent.size());
  EXPECT_EQ("alice", sent[0].Get("sender"));
  EXPECT_EQ("bob;carol", sent[0].Get("receivers"));
  EXPECT_EQ("Morvane.NUV.IM", sent[0].Get("type1"));
  EXPECT_EQ("Morvane.NUV.IM", sent[0].Get("type2"));
  EXPECT_EQ("0", sent[0].Get("number"));
  test::SentContent a = ReadSent(sent[0]), b = ReadSent(sent[1]), c = ReadSent(sent[2]);
  EXPECT_EQ(L"12345678901234567890", a.key);
  EXPECT_EQ(L"hi", a.text);
  EXPECT_EQ(L"0", a.mode);
  EXPECT_EQ(L"alice", a.sender);
  EXPECT_EQ(L"alice", a.title);
  EXPECT_EQ(L"alice", a.initiator);
  EXPECT_EQ(firstKey, b.key);
  EXPECT_EQ(firstKey, c.key);
  // A fresh 16-byte message id for every message sent.
  EXPECT_EQ(32u, a.imMessageId.size());
  EXPECT_NE(a.imMessageId, b.imMessageId);
  EXPECT_NE(b.imMessageId, c.imMessageId);
  EXPECT_TRUE(Logged("SendTxtMsg2Nuv dkmsgid 7 'alice' to 'bob;carol' 'hi' key 890123456789  OK"));
}

TEST_F(DeliveryTest, TextWithXmlReservedCharactersArrivesUnchanged) {
  const std::wstring text = L"if a<b && c>d then \"quote\" 'apos' </Txt><File FID=\"x\"/> 完";
  CQueueMsg m = Text(0, L"alice", L"bob", text, L"{11111111-2222-4333-8444-555555555555}");
  ASSERT_EQ(1, app_->SendText2Nuv(m, false));
  const std::vector<WireFields> sent = env_.server().Messages();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(text, ReadSent(sent[0]).text);
}

TEST_F(DeliveryTest, BroadcastSplitsReceiversAndFillsEmptyTitleAndText) {
  CQueueMsg trailing = Text(1, L"通知", L"a;b;", L"停电", L"{BROADCASTMSG}", 11);
  EXPECT_EQ(1, app_->SendText2Nuv(trailing, false));
  CQueueMsg inner = Text(1, L"", L"a;;b", L"", L"{BROADCASTMSG}", 12);
  EXPECT_EQ(1, app_->SendText2Nuv(inner, false));
  EXPECT_EQ(L"[无标题]", inner.from);
  EXPECT_EQ(L"[无内容]", inner.content);

  const std::vector<WireFields> sys = env_.server().SysMessages();
  ASSERT_EQ(5u, sys.size());
  std::vector<std::string> receivers;
  for (const auto& s : sys) receivers.push_back(s.Get("receiver"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "a", "", "b"}), receivers);
  EXPECT_EQ("通知", sys[0].Get("title"));
  EXPECT_EQ("停电", sys[0].Get("content"));
  EXPECT_EQ("100", sys[0].Get("kind"));
  EXPECT_EQ("[无标题]", sys[3].Get("title"));
  EXPECT_EQ("[无内容]", sys[3].Get("content"));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 11 BCAST to 2 users '停电' key BROADCASTMSG 2 OK 0 Fail"));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 12 BCAST to 3 users '[无内容]' key BROADCASTMSG 3 OK 0 Fail"));

  CQueueMsg nobody = Text(1, L"t", L"", L"x", L"{BROADCASTMSG}", 13);
  EXPECT_EQ(1, app_->SendText2Nuv(nobody, false));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 13 no recvs, skip msg"));
  CQueueMsg odd = Text(5, L"t", L"a", L"x", L"k", 14);
  EXPECT_EQ(1, app_->SendText2Nuv(odd, false));
  EXPECT_TRUE(Logged("SendText2Nuv dkmsgid 14 has invalid type 5, skip it"));
  EXPECT_EQ(5u, env_.server().SysMessages().size());
  EXPECT_TRUE(env_.server().Messages().empty());
}

TEST_F(DeliveryTest, SdkErrorsWhileSendingAreCaughtAndCountAsAFailedAttempt) {
  env_.server().Stop();
  CQueueMsg text = Text(0, L"alice", L"bob", L"hi", L"{11111111-2222-4333-8444-555555555555}");
  EXPECT_EQ(0, app_->SendText2Nuv(text, false));
  EXPECT_TRUE(Logged("SendTxtMsg2Nuv dkmsgid 7 'alice' to 'bob' 'hi' key 555555555555 FAIL, SDK error 800706ba"));
  // Each receiver of a broadcast fails alone; with nobody reached the
  // broadcast did not go out (transport: the worker tries it again).
  CQueueMsg bcast = Text(1, L"t", L"a;b", L"x", L"{BROADCASTMSG}", 8);
  EXPECT_EQ(-1, app_->SendText2Nuv(bcast, false));
  EXPECT_TRUE(bcast.served.empty());
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 8 BCAST to 'b' 'x' key BROADCASTMSG FAIL, hr=-2147023174"));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 8 BCAST to 2 users 'x' key BROADCASTMSG 0 OK 2 Fail"));

  // A file is fetched, but the IM server cannot be reached: tried again
  // later, with the fetched copy kept and no echo expected for it.
  const std::string bytes("\x00\x01zip\xff", 6);
  CQueueMsg file = FileMsg({Attachment(cloud_->PutMedia("a.zip", bytes))});
  EXPECT_EQ(-1, app_->SendFileMsg2Nuv(file, false));
  EXPECT_TRUE(Logged("SendFileMsg2Nuv dkmsgid 9 SendFile 'a.zip' to 'bob' key ABCDEF012345 FAIL, SDK error 800706ba"));
  ASSERT_EQ(1u, file.files.size());
  EXPECT_FALSE(app_->TakeSentFileEcho(L"a.zip", file.key, 6));

  env_.StartServer();
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(file, true));
  EXPECT_TRUE(Logged("GetOndekoFile mediaid '" + WideToUtf8(file.files[0].fid) + "' file has downloaded"));
  const auto files = env_.server().SentFiles();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(bytes, files[0].data);
  EXPECT_EQ(1u, cloud_->CountRequests("media_download"));
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

TEST_F(DeliveryTest, WithoutSdkObjectsEveryAttemptFailsAndTheLastLeavesNoFilesBehind) {
  CAppManager bare([] { return std::shared_ptr<INuvRoot>(); });
  bare.InitApp();
  CQueueMsg text = Text(0, L"alice", L"bob", L"hi", L"{11111111-2222-4333-8444-555555555555}");
  EXPECT_EQ(0, bare.SendText2Nuv(text, false));
  CQueueMsg bcast = Text(1, L"t", L"a;b", L"x", L"{BROADCASTMSG}", 8);
  EXPECT_EQ(0, bare.SendText2Nuv(bcast, false));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 8 BCAST 'x' key BROADCASTMSG FAIL, SDK error 80004005"));
  CQueueMsg file = FileMsg({Attachment(cloud_->PutMedia("one.txt", "1")), Attachment(cloud_->PutMedia("two.txt", "2"))});
  EXPECT_EQ(0, bare.SendFileMsg2Nuv(file, false));
  EXPECT_EQ(2u, DirEntries(DownloadDir()).size());  // kept for the retry
  EXPECT_EQ(0, bare.SendFileMsg2Nuv(file, true));
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
  EXPECT_EQ(2u, cloud_->CountRequests("media_download"));
  std::string on, off, away;
  EXPECT_THROW(bare.GetPresenceLists(on, off, away), NuvSdkError);
  EXPECT_TRUE(env_.server().Messages().empty());
  EXPECT_TRUE(env_.server().SysMessages().empty());
}

TEST_F(DeliveryTest, SecondAttachmentFailingTwiceDeliversTheFirstOnTheRetry) {
  std::string bytes(200 * 1024, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  CQueueMsg m = FileMsg({Attachment(cloud_->PutMedia("报表.xlsx", bytes)), Attachment("MID-missing", FILE_KIND_IMAGE)});
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(m, false));
  EXPECT_TRUE(Logged("GetOndekoFile GetMediaUrl() failed, mediaid 'MID-missing' iRet = 0 errcode 40006 errmsg 'unknown media_id'"));
  EXPECT_TRUE(Logged("SendFileMsg2Nuv dkmsgid 9 从Ondeko下载文件有失败，稍后重试 ok 1 err 1 size 2"));
  EXPECT_EQ(FILE_STATUS_OK, m.files[0].status);
  EXPECT_EQ(FILE_STATUS_ERR, m.files[1].status);
  EXPECT_EQ(L"报表.xlsx", m.files[0].fileName);
  EXPECT_EQ(static_cast<int>(bytes.size()), m.files[0].size);
  EXPECT_TRUE(env_.server().SentFiles().empty());

  EXPECT_EQ(1, app_->SendFileMsg2Nuv(m, true));
  EXPECT_EQ(3u, cloud_->CountRequests("get_media_url"));  // the retry asked for the second only
  EXPECT_EQ(1u, cloud_->CountRequests("media_download"));
  const auto files = env_.server().SentFiles();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(bytes, files[0].data);
  EXPECT_EQ("报表.xlsx", files[0].fields.Get("name"));
  EXPECT_EQ("alice", files[0].fields.Get("sender"));
  EXPECT_EQ("bob", files[0].fields.Get("receiver"));
  EXPECT_EQ("1", files[0].fields.Get("isFile"));
  EXPECT_EQ(WideToUtf8(m.key), files[0].fields.Get("key"));
  EXPECT_TRUE(Logged("SendFileMsg2Nuv dkmsgid 9 'alice' to 'bob' filecount 2 key ABCDEF012345 finished"));
  EXPECT_TRUE(Logged("SendFileMsg2Nuv() TOTALTIME"));
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

TEST_F(DeliveryTest, NothingDownloadableIsRetriedOnceThenDroppedUndelivered) {
  CQueueMsg empty = FileMsg({});
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(empty, false));
  EXPECT_TRUE(Logged("SendFileMsg2Nuv dkmsgid 9 文件列表size为0，不下发消息"));

  sim::SimFault fault;
  fault.errCode = 45009;
  fault.count = 2;
  cloud_->InjectFault("media_download", fault);
  CQueueMsg m = FileMsg({Attachment("MID-gone"), Attachment(cloud_->PutMedia("b.txt", "bee"))});
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(m, false));
  EXPECT_TRUE(Logged("GetOndekoFile DownloadFile() failed, url 'https://" + cloud_->ApiHost() +
                     "/media/download?media_id=" + WideToUtf8(m.files[1].fid) +
                     "' iRet = 0 errcode 45009 errmsg 'injected fault'"));
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(m, true));
  EXPECT_TRUE(Logged("SendFileMsg2Nuv dkmsgid 9 从Ondeko下载文件不成功，retry TRUE 不下发消息 ok 0 err 2 size 2"));
  EXPECT_TRUE(env_.server().SentFiles().empty());
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

TEST_F(DeliveryTest, UnreachableCloudOnTheRetryGivesNothingUp) {
  // The media store answers with server errors on both attempts: the retry
  // reports a transport failure (the work journal parks the message) instead
  // of dropping it, and the copy it already has stays for the next round.
  sim::SimFault fault;
  fault.kind = sim::SimFault::Kind::HttpStatus;
  fault.httpStatus = 503;
  fault.skip = 1;
  fault.count = 2;
  cloud_->InjectFault("media_download", fault);
  CQueueMsg m = FileMsg({Attachment(cloud_->PutMedia("a.txt", "aaa")), Attachment(cloud_->PutMedia("b.txt", "bee"))});
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(m, false));
  EXPECT_EQ(-1, app_->SendFileMsg2Nuv(m, true));
  EXPECT_TRUE(env_.server().SentFiles().empty());
  EXPECT_EQ(FILE_STATUS_OK, m.files[0].status);
  EXPECT_EQ("aaa", test::ReadWholeFile(WideToPath(m.files[0].localPath)));
  // The cloud is back: both are delivered.
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(m, false));
  EXPECT_EQ(2u, env_.server().SentFiles().size());
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

TEST_F(DeliveryTest, AttachmentsOfOneNameKeepTheirOwnBytesAndReceivers) {
  // The IM server refuses the first file: its copy waits for the retry
  // while another message's attachment of the same name goes through.
  env_.SetFaults([](sim::ImSimServer::Faults& f) { f.sendFileFail = 1; });
  CQueueMsg a = FileMsg({Attachment(cloud_->PutMedia("image.png", "bytes of A", "image"), FILE_KIND_IMAGE)});
  a.to = L"bob";
  CQueueMsg b = FileMsg({Attachment(cloud_->PutMedia("image.png", "bytes of B", "image"), FILE_KIND_IMAGE)});
  b.msgid = 10;
  b.to = L"carol";
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(a, false));
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(b, false));
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(a, true));
  const auto files = env_.server().SentFiles();
  ASSERT_EQ(2u, files.size());
  for (const auto& f : files) EXPECT_EQ("image.png", f.fields.Get("name"));
  EXPECT_EQ("carol", files[0].fields.Get("receiver"));
  EXPECT_EQ("bytes of B", files[0].data);
  EXPECT_EQ("bob", files[1].fields.Get("receiver"));
  EXPECT_EQ("bytes of A", files[1].data);
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

TEST_F(DeliveryTest, AFileWhoseCopyIsGoneIsFetchedAgainNotReportedDone) {
  // Both attempts refused: the copy goes, and a later round (the journal's)
  // fetches it again instead of finishing with nothing delivered.
  env_.SetFaults([](sim::ImSimServer::Faults& f) { f.sendFileFail = 2; });
  CQueueMsg m = FileMsg({Attachment(cloud_->PutMedia("r.txt", "report"))});
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(m, false));
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(m, true));
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
  env_.SetFaults([](sim::ImSimServer::Faults& f) { f.sendFileFail = 0; });
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(m, false));
  ASSERT_EQ(1u, env_.server().SentFiles().size());
  EXPECT_EQ("report", env_.server().SentFiles()[0].data);
  EXPECT_EQ(2u, cloud_->CountRequests("media_download"));

  // A copy kept for the retry and removed meanwhile is fetched again too.
  env_.SetFaults([](sim::ImSimServer::Faults& f) { f.sendFileFail = 1; });
  CQueueMsg n = FileMsg({Attachment(cloud_->PutMedia("s.txt", "second"))});
  EXPECT_EQ(0, app_->SendFileMsg2Nuv(n, false));
  ASSERT_EQ(0, std::remove(WideToPath(n.files[0].localPath).c_str()));
  EXPECT_EQ(1, app_->SendFileMsg2Nuv(n, true));
  EXPECT_TRUE(Logged("GetOndekoFile mediaid '" + WideToUtf8(n.files[0].fid) + "' local copy '"));
  ASSERT_EQ(2u, env_.server().SentFiles().size());
  EXPECT_EQ("second", env_.server().SentFiles()[1].data);
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

// The real root object, except that sending a system message to one chosen
// receiver fails once as a lost connection does.
class LosesOneReceiver : public INuvRoot {
 public:
  LosesOneReceiver(std::shared_ptr<INuvRoot> real, std::wstring victim)
      : real_(std::move(real)), victim_(std::move(victim)) {}
  void SetServerIP(const std::wstring& ip) override { real_->SetServerIP(ip); }
  void SetServerPort(uint16_t port) override { real_->SetServerPort(port); }
  std::shared_ptr<INuvApp> AppObject() override { return real_->AppObject(); }
  std::shared_ptr<INuvFileMonitor> FileMonitorObject() override { return real_->FileMonitorObject(); }
  std::shared_ptr<INUVSData> CreateNUVSData() override { return real_->CreateNUVSData(); }
  std::wstring QueryUsersByState(const std::wstring& s) override { return real_->QueryUsersByState(s); }
  void SendSysMessage(const std::wstring& receiver, const std::wstring& title, int32_t kind,
                      const std::wstring& content) override {
    if (receiver == victim_) {
      victim_.clear();
      throw NuvSdkError(kSdkErrServerUnavailable, "SendSysMessage: connection to the IM server lost");
    }
    real_->SendSysMessage(receiver, title, kind, content);
  }
  void SendFile(const std::wstring& sender, const std::wstring& extra, const std::wstring& receiver,
                const std::wstring& path, int32_t isFile, const std::wstring& key) override {
    real_->SendFile(sender, extra, receiver, path, isFile, key);
  }

 private:
  std::shared_ptr<INuvRoot> real_;
  std::wstring victim_;
};

TEST_F(DeliveryTest, BroadcastThatLostAReceiverIsRetriedForThatReceiverOnly) {
  CAppManager flaky([] { return std::make_shared<LosesOneReceiver>(CreateNuvRoot(), L"b"); });
  flaky.InitApp();
  CQueueMsg m = Text(1, L"通知", L"a;b;c", L"停电", L"{BROADCASTMSG}", 21);
  EXPECT_EQ(-1, flaky.SendText2Nuv(m, false));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"c"}), m.served);
  EXPECT_EQ(1, flaky.SendText2Nuv(m, true));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 21 BCAST 2 users served by an earlier attempt, not sent again"));
  EXPECT_TRUE(Logged("SendSysMsg2Nuv dkmsgid 21 BCAST to 3 users '停电' key BROADCASTMSG 1 OK 0 Fail"));
  std::vector<std::string> receivers;
  for (const auto& sys : env_.server().SysMessages()) receivers.push_back(sys.Get("receiver"));
  EXPECT_EQ((std::vector<std::string>{"a", "c", "b"}), receivers);
}

TEST_F(DeliveryTest, EchoOfADeliveredFileIsDropped) {
  CQueueMsg m = FileMsg({Attachment(cloud_->PutMedia("pic.png", "PNGDATA", "image"), FILE_KIND_IMAGE)});
  ASSERT_EQ(1, app_->SendFileMsg2Nuv(m, false));
  ASSERT_EQ(1u, env_.server().SentFiles().size());
  EXPECT_EQ("0", env_.server().SentFiles()[0].fields.Get("isFile"));
  // A user's message after the echo: once it is queued, the echo before it
  // on the same connection has been handled.
  sim::ImSimServer::UserMessage after;
  after.from = "bob";
  after.to = {"alice"};
  after.text = "got it";
  std::string key;
  ASSERT_TRUE(env_.server().UserSend(after, &key, nullptr)) << key;
  ASSERT_TRUE(WaitUntil([] { return GetCombineQueue().Size() >= 1; }));
  std::vector<WorkItem> queued;
  GetCombineQueue().DrainAll(queued);
  ASSERT_EQ(1u, queued.size());
  EXPECT_EQ(L"got it", queued[0].msg->content);
  EXPECT_FALSE(app_->TakeSentFileEcho(L"pic.png", m.key, 7));  // the echo took the record
}

TEST_F(DeliveryTest, HostileCloudFileNamesStayInsideTheDownloadDirectory) {
  const std::string root = env_.root().root();
  CQueueMsg m = FileMsg({Attachment(cloud_->PutMedia("../../escape.txt", "one")),
                         Attachment(cloud_->PutMedia("..\\..\\win.txt", "two")),
                         Attachment(cloud_->PutMedia("..", "three")),
                         Attachment(cloud_->PutMedia("a\x01\x1f" "b.txt", "four"))});
  ASSERT_EQ(1, app_->SendFileMsg2Nuv(m, false));
  const auto files = env_.server().SentFiles();
  ASSERT_EQ(4u, files.size());
  EXPECT_EQ("escape.txt", files[0].fields.Get("name"));
  EXPECT_EQ("one", files[0].data);
  EXPECT_EQ("win.txt", files[1].fields.Get("name"));
  EXPECT_EQ("two", files[1].data);
  EXPECT_EQ(WideToUtf8(m.files[2].fid), files[2].fields.Get("name"));  // nothing left: the media id
  EXPECT_EQ("three", files[2].data);
  EXPECT_EQ("ab.txt", files[3].fields.Get("name"));
  EXPECT_EQ("four", files[3].data);
  EXPECT_TRUE(Logged("GetOndekoFile mediaid '" + WideToUtf8(m.files[0].fid) +
                     "' unsafe file name '../../escape.txt', deliver it as 'escape.txt'"));
  EXPECT_FALSE(test::FileExists(root + "/escape.txt"));
  EXPECT_FALSE(test::FileExists(root + "/../escape.txt"));
  EXPECT_TRUE(DirEntries(DownloadDir()).empty());
}

TEST_F(DeliveryTest, PresenceListsAreTheServersTextsNarrowed) {
  env_.server().SetPresence("张三", "online");
  env_.server().SetPresence("bob", "offline");
  env_.server().SetPresence("carol", "away");
  env_.server().SetPresence("dave", "online");
  std::string online = "x", offline = "x", away = "x";
  EXPECT_EQ(1, app_->GetPresenceLists(online, offline, away));
  EXPECT_EQ("\xd5\xc5\xc8\xfd;dave;", online);  // GBK, the ANSI code page
  EXPECT_EQ("bob;", offline);
  EXPECT_EQ("carol;", away);

  env_.server().Stop();
  online = offline = away = "kept";
  EXPECT_THROW(app_->GetPresenceLists(online, offline, away), NuvSdkError);
  EXPECT_EQ("kept", online);
  EXPECT_EQ("kept", away);
}

}  // namespace
}  // namespace nuv
