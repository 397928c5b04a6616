// The outbound handlers against the cloud simulator on loopback: what reaches
// the cloud (messages, uploaded bytes and names), what is queued as notices,
// what is left on disk, and the retry contract with the worker dispatch.

#include "processor/outbound.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cloud/http_transport.h"
#include "sim/cloud/sim_cloud_suite.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "config/config_center.h"
#include "processor/journal.h"
#include "processor/processor_test_util.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace {

using sim::SimFault;
using sim::SimMedia;
using sim::SimSentMessage;

const std::wstring kKey = L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}";

// The IM connector as the file worker sees it: DownloadAllFiles writes the
// bytes it knows for an attachment's fid to its localPath (as the file
// monitor would), leaves the fids of an unreachable file monitor READY and
// refuses the others (ERR); NextMsgId counts from 9000.
class FileImApp : public test::FakeImApp {
 public:
  void DownloadAllFiles(CQueueMsg& msg, std::vector<CQueueFile>& failed) override {
    ++downloads;
    std::vector<CQueueFile> kept;
    for (CQueueFile& f : msg.files) {
      auto it = bytes.find(f.fid);
      if (f.status != FILE_STATUS_OK && unreachable.count(f.fid)) {
        f.status = FILE_STATUS_READY;
      } else if (f.status != FILE_STATUS_OK && it != bytes.end()) {
        test::WriteWholeFile(WideToPath(f.localPath), it->second);
        f.status = FILE_STATUS_OK;
      } else if (f.status != FILE_STATUS_OK) {
        f.status = FILE_STATUS_ERR;
      }
      if (f.status == FILE_STATUS_OK)
        kept.push_back(std::move(f));
      else
        failed.push_back(std::move(f));
    }
    msg.files = std::move(kept);
  }
  uint64_t NextMsgId() override { return nextId++; }

  std::map<std::wstring, std::string> bytes;  // fid -> content the IM server holds
  std::set<std::wstring> unreachable;         // fids the file monitor cannot be reached for
  int downloads = 0;
  uint64_t nextId = 9000;
};

class OutboundTest : public test::SimCloudSuite<test::BareProcessorTest> {
 protected:
  void SetUp() override {
    BareProcessorTest::SetUp();
    PointAtCloud(root_);
    ResetCloud();
    sentBase_ = cloud_->SentMessages().size();
    mediaBase_ = cloud_->UploadedMedia().size();
    ConfigValues& v = CConfigCenter::GetInstance().values();
    savedImg_ = v.maximgsize;
    savedFile_ = v.maxfilesize;
    v.maximgsize = 100;
    v.maxfilesize = 200;
    proc_->Seams().imApp = [this] { return &app_; };
    tmpDir_ = WideToPath(GetTmpFilesDir()) + "/";
  }
  void TearDown() override {
    ConfigValues& v = CConfigCenter::GetInstance().values();
    v.maximgsize = savedImg_;
    v.maxfilesize = savedFile_;
    BareProcessorTest::TearDown();
  }

  // An attachment as the IM intake builds it; the IM server holds data
  // for it unless data is null.
  CQueueFile File(int kind, const std::wstring& fid, const std::wstring& name, const std::string* data,
                  int size = -1) {
    CQueueFile f;
    f.kind = kind;
    f.fid = fid;
    f.fileName = name;
    f.datName = fid + L".dat";
    f.localPath = GetTmpFilesDir() + L"/" + f.datName;
    f.size = size >= 0 ? size : (data ? static_cast<int>(data->size()) : 10);
    if (data) app_.bytes[fid] = *data;
    return f;
  }
  std::unique_ptr<CQueueMsg> Message(uint64_t id, const std::wstring& content) {
    return test::Msg(id, L"alice", L"bob;carol", kKey, content);
  }
  std::vector<SimSentMessage> Sent() const {
    auto all = cloud_->SentMessages();
    return std::vector<SimSentMessage>(all.begin() + static_cast<long>(sentBase_), all.end());
  }
  std::vector<SimMedia> Media() const {
    auto all = cloud_->UploadedMedia();
    return std::vector<SimMedia>(all.begin() + static_cast<long>(mediaBase_), all.end());
  }
  // The name and the bytes of each of those, in order.
  using NamedBytes = std::vector<std::pair<std::string, std::string>>;
  NamedBytes MediaNamesAndBytes() const {
    NamedBytes out;
    for (const SimMedia& m : Media()) out.emplace_back(m.fileName, m.data);
    return out;
  }
  // Takes every item the text queue holds.
  std::vector<WorkItem> TakeNotices() {
    std::vector<WorkItem> out;
    WorkItem item;
    while (GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->OutQueue(item)) out.push_back(std::move(item));
    return out;
  }
  std::vector<std::string> UploadUrlBodies() const {
    std::vector<std::string> out;
    for (const auto& r : cloud_->Requests())
      if (r.endpoint == "get_upload_file_url") out.push_back(r.body);
    return out;
  }
  bool TmpDirEmpty() const { return test::DirEntries(tmpDir_).empty(); }
  // "two files" with attachments <p>1 and <p>2; the first upload goes
  // through, the second meets server errors on two attempts.
  std::unique_ptr<CQueueMsg> SecondOfTwoUploadsUnreachable(uint64_t id, const std::wstring& p, const std::string& two) {
    static const std::string one = "first file bytes";
    auto msg = Message(id, L"two files");
    msg->files.push_back(File(FILE_KIND_FILE, p + L"1", L"one.txt", &one));
    msg->files.push_back(File(FILE_KIND_FILE, p + L"2", L"two.txt", &two));
    SimFault f;
    f.kind = SimFault::Kind::HttpStatus;
    f.httpStatus = 502;
    f.skip = 1;
    f.count = 2;
    cloud_->InjectFault("media_upload", f);
    return msg;
  }
  // With a journal a transport failure parks the message; without one the
  // retry is its last attempt.
  void OpenJournal() { ASSERT_TRUE(proc_->OpenJournal(proc_->ConfigDir() + kJournalFileName, false)); }

  FileImApp app_;
  size_t sentBase_ = 0, mediaBase_ = 0;
  uint32_t savedImg_ = 0, savedFile_ = 0;
  std::string tmpDir_;
};


TEST(UploadFileNameTest, HostileNamesStayInsideTheDirectory) {
  EXPECT_EQ(UploadFileName(L"report.pdf", L"F1"), L"report.pdf");
  EXPECT_EQ(UploadFileName(L"报告 2026.docx", L"F1"), L"报告 2026.docx");
  EXPECT_EQ(UploadFileName(L"../../etc/passwd", L"F1"), L"passwd");
  EXPECT_EQ(UploadFileName(L"C:\\Users\\a\\..\\b.txt", L"F1"), L"b.txt");
  EXPECT_EQ(UploadFileName(L"..", L"F1"), L"F1");
  EXPECT_EQ(UploadFileName(L"dir/.", L"F1"), L"F1");
  EXPECT_EQ(UploadFileName(L"", L"F1"), L"F1");
  EXPECT_EQ(UploadFileName(L"x/", L"../.."), L"file");
  std::wstring withNul = L"a";
  withNul += L'\0';
  withNul += L"/../b\r\n.txt";
  EXPECT_EQ(UploadFileName(withNul, L"F1"), L"b__.txt");
  EXPECT_EQ(UploadFileName(L"tab\there\x7f.txt", L"F1"), L"tab_here_.txt");

  const std::wstring longName = std::wstring(300, L'数') + L".pdf";
  const std::wstring cut = UploadFileName(longName, L"F1");
  EXPECT_LE(WideToUtf8(cut).size(), 255u);
  EXPECT_EQ(cut.substr(cut.size() - 4), L".pdf");
  EXPECT_EQ(cut.substr(0, 3), L"数数数");
}

TEST_F(OutboundTest, TextGoesOutWithSplitReceiversAndUtf8Content) {
  // Korean and an emoji are not in the ANSI code page (GBK); the text still
  // reaches the cloud intact because content travels as UTF-8.
  const std::wstring content = L"你好 안녕 \U0001F600";
  auto msg = test::Msg(501, L"alice", L"u1;u2;", kKey, content);
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(*msg, false), 1);
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to_userid_list, (std::vector<std::string>{"u1", "u2"}));
  EXPECT_EQ(sent[0].content, WideToUtf8(content));
  EXPECT_EQ(sent[0].cur_userid, "alice");
  EXPECT_EQ(sent[0].chatid, WideToAnsi(kKey));
  EXPECT_EQ(sent[0].msg_type, 0u);
  EXPECT_FALSE(sent[0].hasImageIdList);
  EXPECT_FALSE(sent[0].hasFileIdList);
  EXPECT_TRUE(root_.LogContains("SendTxtMsg2Ondeko SendMsg() climsgid 501 'alice' to 'u1;u2;' '" +
                                WideToUtf8(content) + "' key '00C04FC964FF' iRet = 0 errcode 0 errmsg 'ok'"));

  auto empties = test::Msg(502, L"alice", L"a;;b", kKey, L"x");
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(*empties, false), 1);
  EXPECT_EQ(Sent().back().to_userid_list, (std::vector<std::string>{"a", "", "b"}));
}

TEST_F(OutboundTest, TextRefusedByTheCloudIsRetried) {
  SimFault f;
  f.errCode = 40099;
  cloud_->InjectFault("send_msg", f);
  auto msg = test::Msg(503, L"alice", L"bob", kKey, L"hi");
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(*msg, false), 0);
  EXPECT_TRUE(root_.LogContains("climsgid 503 'alice' to 'bob' 'hi' key '00C04FC964FF' iRet = 0 errcode 40099 "
                                "errmsg 'injected fault'"));
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(*msg, true), 1);
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(OutboundTest, ImageAtTheLimitGoesAndOneByteMoreBecomesANotice) {
  const std::string atLimit(100, 'a'), over(101, 'b');
  auto msg = Message(601, L"see pictures");
  msg->files.push_back(File(FILE_KIND_IMAGE, L"IMG1", L"a.png", &atLimit));
  msg->files.push_back(File(FILE_KIND_IMAGE, L"IMG2", L"b.png", &over));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);

  auto media = Media();
  ASSERT_EQ(media.size(), 1u);
  EXPECT_EQ(media[0].data, atLimit);
  EXPECT_EQ(media[0].fileName, "a.png");
  EXPECT_EQ(media[0].type, "image");
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].image_id_list, (std::vector<std::string>{media[0].media_id}));
  EXPECT_FALSE(sent[0].hasFileIdList);
  EXPECT_EQ(sent[0].content, "see pictures");

  auto notices = TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].msg->content, L"NUV文件太大：b.png  ，未能同步文件到OndekoPallen");
  EXPECT_EQ(notices[0].msg->msgid, 9000u);
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko fbmsgid 9000 NUV文件过大通知消息 'alice' to 'bob;carol' "
                                "'NUV文件太大：b.png  ，未能同步文件到OndekoPallen', '00C04FC964FF' , enqueue"));
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko SendMsg() , climsgid 601 'alice' to 'bob;carol' 'see pictures' "
                                "key 00C04FC964FF flistsize 1 iRet = 0 errcode 0 errmsg 'ok'"));
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko() TOTALTIME"));
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, OnlyATooBigFileAndNoText) {
  const std::string big(201, 'z');
  auto msg = Message(602, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"BIG1", L"huge.iso", &big));
  test::WriteWholeFile(WideToPath(msg->files[0].localPath), big);  // a copy left from an earlier fetch
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);

  EXPECT_FALSE(test::FileExists(tmpDir_ + "BIG1.dat"));
  auto notices = TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].msg->content, L"NUV文件太大：huge.iso  ，未能同步文件到OndekoPallen");
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 602 没有文件，消息内容为空，failsize 0 bigsize 1 不做处理。"));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(Media().empty());
}

TEST_F(OutboundTest, FetchFailureNoticeIsQueuedAndSentAsText) {
  const std::string big(300, 'q');
  auto msg = Message(603, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"D1", L"a.doc", nullptr));
  msg->files.push_back(File(FILE_KIND_IMAGE, L"D2", L"b.png", nullptr));
  msg->files.push_back(File(FILE_KIND_FILE, L"D3", L"c.zip", &big));
  const int32_t now = static_cast<int32_t>(clock_.Now());
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 603 没有文件，消息内容为空，failsize 2 bigsize 1 不做处理。"));

  auto notices = TakeNotices();
  ASSERT_EQ(notices.size(), 2u);
  // The fetch-failure notice takes its id first.
  const CQueueMsg& df = *notices[0].msg;
  EXPECT_EQ(df.content, L"获取NUV文件失败：a.doc b.png  ，未能同步文件到OndekoPallen");
  EXPECT_EQ(df.msgid, 9000u);
  EXPECT_EQ(notices[1].msg->msgid, 9001u);
  EXPECT_EQ(notices[0].type, WQUEUE_NUV2ONDEKOMSG);
  EXPECT_EQ(notices[0].retryCount, 0);
  EXPECT_EQ(notices[0].enqueueTime, now);
  EXPECT_EQ(df.createTime, now);
  EXPECT_EQ(df.from, L"alice");
  EXPECT_EQ(df.to, L"bob;carol");
  EXPECT_EQ(df.key, kKey);
  EXPECT_TRUE(df.files.empty());
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko dfmsgid 9000 NUV文件失败通知消息 'alice' to 'bob;carol' "
                                "'获取NUV文件失败：a.doc b.png  ，未能同步文件到OndekoPallen', '00C04FC964FF' , enqueue"));

  // The text worker sends it like any text.
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(df, false), 1);
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].content, WideToUtf8(df.content));
  EXPECT_EQ(sent[0].to_userid_list, (std::vector<std::string>{"bob", "carol"}));
}

TEST_F(OutboundTest, FailedSecondUploadRetriesOnlyWhatIsMissing) {
  const std::string one = "first file bytes", two = "second file bytes";
  auto msg = Message(604, L"two files");
  msg->files.push_back(File(FILE_KIND_FILE, L"U1", L"one.txt", &one));
  msg->files.push_back(File(FILE_KIND_FILE, L"U2", L"two.txt", &two));
  SimFault f;
  f.errCode = 40077;
  f.skip = 1;   // the first upload goes through
  f.count = 2;  // the second fails on both attempts
  cloud_->InjectFault("media_upload", f);

  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 0);
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 604 errcount 1 retry FALSE 回队列重试"));
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 604 UploadFile2Ondeko fid 'U2' failed, retry FALSE"));
  EXPECT_TRUE(root_.LogContains("UploadFile2Ondeko climsgid 604 GetUploadFileUrl OK but UploadFile failed, ret 0 "
                                "code 40077 'injected fault'"));
  ASSERT_EQ(msg->files.size(), 2u);
  EXPECT_FALSE(msg->files[0].mediaId.empty());
  EXPECT_TRUE(msg->files[1].mediaId.empty());
  EXPECT_FALSE(test::FileExists(tmpDir_ + "U1.dat"));
  EXPECT_EQ(test::ReadWholeFile(tmpDir_ + "U2.dat"), two);  // moved back for the retry
  EXPECT_FALSE(test::FileExists(tmpDir_ + "two.txt"));
  EXPECT_TRUE(Sent().empty());
  ASSERT_EQ(Media().size(), 1u);
  EXPECT_EQ(Media()[0].data, one);

  cloud_->ClearRequests();
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), 1);
  EXPECT_EQ(cloud_->CountRequests("media_upload"), 1u);  // only the second again
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 604 UploadFile2Ondeko fid 'U2' failed, retry TRUE"));
  EXPECT_FALSE(test::FileExists(tmpDir_ + "U2.dat"));
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].file_id_list, (std::vector<std::string>{Media()[0].media_id}));
  EXPECT_EQ(sent[0].content, "two files");
  EXPECT_TRUE(root_.LogContains("key 00C04FC964FF flistsize 2 iRet = 0 errcode 0"));
  EXPECT_TRUE(TakeNotices().empty());  // no notice for the attachment dropped on the retry
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, UnreachableCloudKeepsTheAttachmentsAndSendsNothingWithoutThem) {
  const std::string two = "second file bytes";
  auto msg = SecondOfTwoUploadsUnreachable(614, L"W", two);
  OpenJournal();
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), WQUEUE_HANDLER_TRANSPORT);
  // The retry meets the same: nothing is given up, the copy stays.
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), WQUEUE_HANDLER_TRANSPORT);
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 614 errcount 1 retry TRUE 回队列重试"));
  ASSERT_EQ(msg->files.size(), 2u);
  EXPECT_FALSE(msg->files[0].mediaId.empty());
  EXPECT_EQ(test::ReadWholeFile(tmpDir_ + "W2.dat"), two);
  EXPECT_TRUE(Sent().empty());

  // Once the cloud is back (a later round) the message goes whole.
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), WQUEUE_HANDLER_DONE);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].file_id_list.size(), 2u);
  EXPECT_TRUE(TmpDirEmpty());

  // A text send meeting a server error says so too; a refusal does not.
  SimFault f;
  f.kind = SimFault::Kind::HttpStatus;
  f.httpStatus = 502;
  cloud_->InjectFault("send_msg", f);
  auto text = test::Msg(615, L"alice", L"bob", kKey, L"hi");
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(*text, false), WQUEUE_HANDLER_TRANSPORT);
  SimFault refuse;
  refuse.errCode = 40099;
  cloud_->InjectFault("send_msg", refuse);
  EXPECT_EQ(proc_->SendTxtMsg2Ondeko(*text, true), WQUEUE_HANDLER_FAILED);
}

TEST_F(OutboundTest, WithoutAJournalTheRetrySendsWhatWentThroughAndLeavesNoCopy) {
  const std::string two = "second file bytes";
  auto msg = SecondOfTwoUploadsUnreachable(616, L"X", two);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), WQUEUE_HANDLER_TRANSPORT);
  EXPECT_EQ(test::ReadWholeFile(tmpDir_ + "X2.dat"), two);
  // The last attempt: the text and the first attachment go, the second is
  // dropped with its copy.
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), WQUEUE_HANDLER_DONE);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].content, "two files");
  ASSERT_EQ(Media().size(), 1u);
  EXPECT_EQ(Sent()[0].file_id_list, (std::vector<std::string>{Media()[0].media_id}));
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, UnreachableFileMonitorIsWaitedForNotAnnouncedAsAFailure) {
  const std::string a = "image one", b = "image two";
  auto msg = Message(617, L"pictures");
  msg->files.push_back(File(FILE_KIND_IMAGE, L"FA", L"a.png", &a));
  msg->files.push_back(File(FILE_KIND_IMAGE, L"FB", L"b.png", &b));
  app_.unreachable = {L"FA", L"FC"};
  // Without a journal the retry is the last attempt: the notice the IM
  // server's refusal gets.
  auto other = Message(618, L"");
  other->files.push_back(File(FILE_KIND_FILE, L"FC", L"c.doc", &a));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*other, true), 1);
  auto notices = TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].msg->content, L"获取NUV文件失败：c.doc  ，未能同步文件到OndekoPallen");

  OpenJournal();
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), WQUEUE_HANDLER_TRANSPORT);
  EXPECT_TRUE(Sent().empty());
  // The file monitor is back (a later round): the message goes whole, its
  // images in their order, and no notice ever.
  app_.unreachable.clear();
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), WQUEUE_HANDLER_DONE);
  ASSERT_EQ(Sent().size(), 1u);
  ASSERT_EQ(Media().size(), 2u);
  EXPECT_EQ(Sent()[0].image_id_list, (std::vector<std::string>{Media()[1].media_id, Media()[0].media_id}));
  EXPECT_TRUE(TakeNotices().empty());
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, SizeLimitsCountTheBytesThatArrived) {
  // The IM client announced 10 bytes; 101 arrive, one over the image limit.
  const std::string over(101, 'i'), small = "ok";
  auto msg = Message(619, L"see");
  msg->files.push_back(File(FILE_KIND_IMAGE, L"R1", L"big.png", &over, 10));
  msg->files.push_back(File(FILE_KIND_FILE, L"R2", L"small.txt", &small));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);
  EXPECT_EQ(MediaNamesAndBytes(), (NamedBytes{{"small.txt", small}}));
  auto notices = TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].msg->content, L"NUV文件太大：big.png  ，未能同步文件到OndekoPallen");
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_FALSE(Sent()[0].hasImageIdList);
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, RetryWithNothingUploadedAndNoTextSendsNothing) {
  const std::string data = "abc";
  auto msg = Message(605, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"N1", L"n.txt", &data));
  SimFault f;
  f.errCode = 40050;
  f.count = 2;
  cloud_->InjectFault("get_upload_file_url", f);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 0);
  EXPECT_TRUE(root_.LogContains("UploadFile2Ondeko climsgid 605 GetUploadFileUrl failed ret 0 code 40050 'injected fault'"));
  EXPECT_EQ(test::ReadWholeFile(tmpDir_ + "N1.dat"), data);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), 1);
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 605 retry TRUE 没有上传成功的文件且消息为空，不发送消息到Ondeko"));
  EXPECT_EQ(cloud_->CountRequests("send_msg"), 0u);
  EXPECT_TRUE(TmpDirEmpty());
}

// A copy fetched by an earlier attempt and gone since is fetched again: the
// text never goes without an attachment the IM server still holds, and one
// it no longer holds is announced as not fetched.
TEST_F(OutboundTest, MissingLocalCopyIsFetchedAgain) {
  const std::string data = "gone";
  auto msg = Message(611, L"still the text");
  msg->files.push_back(File(FILE_KIND_FILE, L"M1", L"m.txt", &data));
  msg->files[0].status = FILE_STATUS_OK;  // fetched earlier, but its copy has vanished
  app_.bytes.erase(L"M1");
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);
  EXPECT_TRUE(root_.LogContains("SendFileMsg2Ondeko climsgid 611 fid 'M1' local copy is gone, fetch it again"));
  EXPECT_EQ(cloud_->CountRequests("media_upload"), 0u);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].content, "still the text");
  EXPECT_FALSE(Sent()[0].hasFileIdList);
  std::vector<WorkItem> notices = TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].msg->content.find(L"获取NUV文件失败：m.txt"), std::wstring::npos);
}

// Two messages carry one IM file and share its local copy. The first one's
// upload meets a cloud that is down; the second then uploads the copy (and
// so takes it); the first one's retry still sends the file with its bytes.
TEST_F(OutboundTest, MessagesSharingAnImFileEachSendItsBytes) {
  OpenJournal();
  const std::string data = "bytes both messages carry";
  auto first = Message(620, L"first");
  first->files.push_back(File(FILE_KIND_FILE, L"SH", L"shared.bin", &data));
  auto second = Message(621, L"second");
  second->files.push_back(File(FILE_KIND_FILE, L"SH", L"shared.bin", &data));
  SimFault down;
  down.kind = SimFault::Kind::HttpStatus;
  down.httpStatus = 503;
  cloud_->InjectFault("media_upload", down);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*first, false), WQUEUE_HANDLER_TRANSPORT);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*second, false), 1);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*first, true), 1);

  std::map<std::string, std::string> bytes;  // media id -> bytes
  for (const SimMedia& m : Media()) bytes[m.media_id] = m.data;
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  for (const SimSentMessage& m : sent) {
    ASSERT_EQ(m.file_id_list.size(), 1u) << m.content << " went without its file";
    EXPECT_EQ(bytes[m.file_id_list[0]], data) << m.content;
  }
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, FileMessageRefusedBySendMsgKeepsMediaForTheRetry) {
  const std::string data = "payload";
  auto msg = Message(606, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"S1", L"s.bin", &data));
  SimFault f;
  f.errCode = 40088;
  cloud_->InjectFault("send_msg", f);
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 0);
  EXPECT_TRUE(root_.LogContains("climsgid 606 'alice' to 'bob;carol' '' key 00C04FC964FF flistsize 1 iRet = 0 "
                                "errcode 40088 errmsg 'injected fault'"));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), 1);
  EXPECT_EQ(cloud_->CountRequests("media_upload"), 1u);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].file_id_list.size(), 1u);
}

TEST_F(OutboundTest, KindPicksUploadTypeAndIdList) {
  const std::string img = "png-bytes", doc = "doc-bytes";
  auto msg = Message(607, L"mixed");
  msg->files.push_back(File(FILE_KIND_FILE, L"K1", L"报告.docx", &doc));
  msg->files.push_back(File(FILE_KIND_IMAGE, L"K2", L"照片.png", &img));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);

  auto bodies = UploadUrlBodies();
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_NE(bodies[0].find("\"type\" : 0"), std::string::npos) << bodies[0];
  EXPECT_NE(bodies[1].find("\"type\" : 1"), std::string::npos) << bodies[1];
  EXPECT_NE(bodies[0].find("\"contact_type\" : 0"), std::string::npos) << bodies[0];
  auto media = Media();
  ASSERT_EQ(media.size(), 2u);
  EXPECT_EQ(media[0].type, "file");
  EXPECT_EQ(media[0].fileName, "报告.docx");
  EXPECT_EQ(media[1].type, "image");
  EXPECT_EQ(media[1].fileName, "照片.png");
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].file_id_list, (std::vector<std::string>{media[0].media_id}));
  EXPECT_EQ(sent[0].image_id_list, (std::vector<std::string>{media[1].media_id}));
}

TEST_F(OutboundTest, SameNamedAttachmentsEachArriveWithTheirOwnBytes) {
  const std::string a = "bytes of the first", b = "bytes of the second", c = "third, named like a copy";
  auto msg = Message(608, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"SA", L"same.txt", &a));
  msg->files.push_back(File(FILE_KIND_FILE, L"SB", L"same.txt", &b));
  // Named like the local copy of the attachment after it: must not replace it.
  msg->files.push_back(File(FILE_KIND_FILE, L"SC", L"SD.dat", &c));
  const std::string d = "fourth";
  msg->files.push_back(File(FILE_KIND_FILE, L"SD", L"d.txt", &d));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);

  auto media = Media();
  ASSERT_EQ(media.size(), 4u);
  EXPECT_EQ(media[0].fileName, "same.txt");
  EXPECT_EQ(media[0].data, a);
  EXPECT_EQ(media[1].fileName, "same.txt");
  EXPECT_EQ(media[1].data, b);
  EXPECT_EQ(media[2].data, c);
  EXPECT_NE(media[2].fileName.find("SD.dat"), std::string::npos);
  EXPECT_EQ(media[3].data, d);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].file_id_list.size(), 4u);
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, HostileDisplayNamesNeverLeaveTheTempDirectory) {
  const std::string a = "escape attempt", b = "nul inside", c = "dots only";
  std::wstring nulName = L"evil";
  nulName += L'\0';
  nulName += L"/../../x\n.txt";
  auto msg = Message(609, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"H1", L"../../escape.txt", &a));
  msg->files.push_back(File(FILE_KIND_FILE, L"H2", nulName, &b));
  msg->files.push_back(File(FILE_KIND_FILE, L"H3", L"..", &c));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 1);

  EXPECT_EQ(MediaNamesAndBytes(), (NamedBytes{{"escape.txt", a}, {"x_.txt", b}, {"H3", c}}));
  EXPECT_FALSE(test::FileExists(root_.root() + "/escape.txt"));
  EXPECT_FALSE(test::FileExists(root_.bin() + "escape.txt"));
  EXPECT_FALSE(test::FileExists(root_.bin() + "x_.txt"));
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(OutboundTest, LocalPathsOutsideTheTempDirectoryAreNeverTouched) {
  // A hostile fid makes the local path lead out of the directory.
  const std::string big(201, 'v'), small = "outside";
  auto msg = Message(612, L"");
  msg->files.push_back(File(FILE_KIND_FILE, L"../victim", L"big.bin", &big));
  msg->files.push_back(File(FILE_KIND_FILE, L"../v2", L"small.bin", &small));
  test::WriteWholeFile(root_.bin() + "victim.dat", "keep me");
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, false), 0);
  EXPECT_TRUE(root_.LogContains("UploadFile2Ondeko climsgid 612 MoveFileEx(../v2.dat , small.bin) failed"));
  EXPECT_EQ(proc_->SendFileMsg2Ondeko(*msg, true), 1);
  EXPECT_EQ(test::ReadWholeFile(root_.bin() + "victim.dat"), "keep me");
  EXPECT_EQ(test::ReadWholeFile(root_.bin() + "v2.dat"), small);
  EXPECT_EQ(cloud_->CountRequests("media_upload"), 0u);
}

TEST_F(OutboundTest, WorkerRetriesAFailedFileMessageOnce) {
  proc_->Handlers().Register(WQUEUE_NUV2ONDEKOFILE, MsgHandler([this](CQueueMsg& m, bool isRetry) {
                               return proc_->SendFileMsg2Ondeko(m, isRetry);
                             }));
  const std::string one = "w1", two = "w2";
  auto msg = Message(610, L"via worker");
  msg->files.push_back(File(FILE_KIND_FILE, L"W1", L"w1.txt", &one));
  msg->files.push_back(File(FILE_KIND_FILE, L"W2", L"w2.txt", &two));
  SimFault f;
  f.errCode = 40077;
  f.skip = 1;
  cloud_->InjectFault("media_upload", f);  // the second fails once, then goes
  GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)
      ->Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOFILE, std::move(msg), static_cast<int32_t>(clock_.Now())));
  proc_->SetStatus(CNuv4OndekoProcessor::START);
  threads_.emplace_back([this] { proc_->DoProc(WQUEUE_QID_FILE2ONDEKO); });
  ASSERT_TRUE(test::DriveUntil(clock_, [this] { return !Sent().empty(); }));
  EXPECT_TRUE(root_.LogContains("RETRYONCE WQUEUE_NUV2ONDEKOFILE climsgid 610 re-enqueue"));
  auto media = Media();
  ASSERT_EQ(media.size(), 2u);
  EXPECT_EQ(media[0].data, one);
  EXPECT_EQ(media[1].data, two);
  EXPECT_EQ(Sent()[0].file_id_list, (std::vector<std::string>{media[0].media_id, media[1].media_id}));
}

}  // namespace
}  // namespace nuv
