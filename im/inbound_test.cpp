// Inbound IM messages: from a simulated user's message to the combine queue.
#include <gtest/gtest.h>

#include "common/paths.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/im_test_env.h"
#include "processor/combine_queue.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

using test::ImTestEnv;
using test::WaitUntil;

class InboundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = std::make_unique<CAppManager>();
    app_->Run();
    ASSERT_TRUE(app_->IsStarted());
  }
  void TearDown() override { app_.reset(); }

  // Sends as user "alice" and waits until n items reached the combine queue
  // (and notices the text queue) or the log shows the error line.
  void Send(sim::ImSimServer::UserMessage m) {
    std::string key;
    if (m.from.empty()) m.from = "alice";
    if (m.to.empty()) m.to = {"bob"};
    ASSERT_TRUE(env_.server().UserSend(m, &key, nullptr)) << key;
    key_ = key;
  }
  std::vector<WorkItem> Combined(size_t n) {
    std::vector<WorkItem> out;
    WaitUntil([&] { return GetCombineQueue().Size() >= n; });
    GetCombineQueue().DrainAll(out);
    return out;
  }
  std::vector<WorkItem> Notices(size_t n) {
    std::vector<WorkItem> out;
    WaitUntil([&] { return GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size() >= n; });
    WorkItem it;
    while (GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->OutQueue(it)) out.push_back(std::move(it));
    return out;
  }

  ImTestEnv env_;
  std::unique_ptr<CAppManager> app_;
  std::string key_;
};

TEST_F(InboundTest, TextMessageGoesToTheCombineQueue) {
  sim::ImSimServer::UserMessage m;
  m.text = "hello";
  m.to = {"bob", "carol"};
  Send(m);
  auto items = Combined(2);
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(WQUEUE_NUV2ONDEKOMSG, items[0].type);
  const CQueueMsg& msg = *items[0].msg;
  EXPECT_EQ(L"hello", msg.content);
  EXPECT_EQ(L"alice", msg.from);
  EXPECT_EQ(L"bob", msg.to);
  EXPECT_EQ(Utf8ToWide(key_), msg.key);
  EXPECT_EQ(0, msg.mt);
  EXPECT_EQ(0u, msg.msgid);
  EXPECT_EQ(1u, items[1].msg->msgid);
  EXPECT_EQ(L"carol", items[1].msg->to);
  EXPECT_EQ(static_cast<int32_t>(env_.clock().Now()), msg.createTime);
  EXPECT_EQ(msg.createTime, items[0].enqueueTime);
  EXPECT_TRUE(env_.root().LogContains("OnRecvMessage climsgid 0 'alice' to 'bob' has 0 Files. Enqueue COMBINEQUEUE"));
  EXPECT_EQ(0u, GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size());
}

TEST_F(InboundTest, FormattingSpansAreRemovedFromTheText) {
  sim::ImSimServer::UserMessage m;
  m.text = "a\x18xyz\x19" "b\x18q\x19";
  Send(m);
  auto items = Combined(1);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(L"ab", items[0].msg->content);
}

TEST_F(InboundTest, FileAndPeerToPeerFileGiveAFileItemAndANotice) {
  sim::ImSimServer::UserMessage m;
  m.text = "see";
  m.files = {{"report.doc", "0123456789", false, false}, {"direct.zip", "zz", false, true}};
  Send(m);
  auto items = Combined(1);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(WQUEUE_NUV2ONDEKOFILE, items[0].type);
  const CQueueMsg& msg = *items[0].msg;
  ASSERT_EQ(1u, msg.files.size());
  EXPECT_EQ(L"report.doc", msg.files[0].fileName);
  EXPECT_EQ(10, msg.files[0].size);
  EXPECT_EQ(GetTmpFilesDir() + L"/" + msg.files[0].fid + L".dat", msg.files[0].localPath);
  auto notices = Notices(1);
  ASSERT_EQ(1u, notices.size());
  const CQueueMsg& n = *notices[0].msg;
  EXPECT_EQ(WQUEUE_NUV2ONDEKOMSG, notices[0].type);
  EXPECT_EQ(msg.msgid + 1, n.msgid);
  EXPECT_EQ(L"你收到在线直传的文件：direct.zip ，请到PC端的NUV Client查看", n.content);
  EXPECT_EQ(msg.key, n.key);
  EXPECT_EQ(L"bob", n.to);
  EXPECT_TRUE(env_.root().LogContains("OnRecvMessage notimsgid 1 在线直传通知消息 'alice' to 'bob' content "
                                      "'你收到在线直传的文件：direct.zip ，请到PC端的NUV Client查看', '" +
                                      WideToUtf8(KeyTail(msg.key)) + "' , enqueue"));
}

TEST_F(InboundTest, ImageWithoutFidGivesATextItemAndANotice) {
  sim::ImSimServer::UserMessage m;
  m.text = "pic";
  m.files = {{"shot.png", "PNG", true, true}};
  Send(m);
  auto items = Combined(1);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(WQUEUE_NUV2ONDEKOMSG, items[0].type);
  EXPECT_TRUE(items[0].msg->files.empty());
  ASSERT_EQ(1u, Notices(1).size());
}

TEST_F(InboundTest, EchoOfADeliveredFileIsDroppedOnce) {
  // What delivery into the IM does: record, then send; the server echoes.
  std::string path = WideToUtf8(GetDownloadDir()) + "/doc.txt";
  test::WriteWholeFile(path, "12345");
  app_->AddSentFile(L"doc.txt", L"{CLOUD-KEY-0001}", 5);
  app_->ApiRoot()->SendFile(L"cloudy", L"", L"bob", Utf8ToWide(path), 1, L"{CLOUD-KEY-0001}");
  ASSERT_TRUE(WaitUntil([&] { return env_.server().SentFiles().size() == 1; }));
  // The echo is dropped silently; the record is used up.
  sim::ImSimServer::UserMessage m;
  m.key = "{CLOUD-KEY-0001}";
  m.text = "after";
  Send(m);
  auto items = Combined(1);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(L"after", items[0].msg->content);
  EXPECT_EQ(0u, items[0].msg->msgid);  // the echo took no id
  EXPECT_EQ("12345", env_.server().SentFiles()[0].data);
  // An identical second file message is forwarded.
  m.text = "";
  m.files = {{"doc.txt", "12345", false, false}};
  Send(m);
  items = Combined(1);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(1u, items[0].msg->files.size());
}

TEST_F(InboundTest, TwoFilesWithOneEchoAreForwardedWhole) {
  app_->AddSentFile(L"a.txt", L"{K-TWO-FILES-X}", 1);
  sim::ImSimServer::UserMessage m;
  m.key = "{K-TWO-FILES-X}";
  m.files = {{"a.txt", "1", false, false}, {"b.txt", "22", false, false}};
  Send(m);
  auto items = Combined(1);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(2u, items[0].msg->files.size());
  // The record stays: a later one-file echo is still dropped.
  EXPECT_TRUE(app_->TakeSentFileEcho(L"a.txt", L"{K-TWO-FILES-X}", 1));
  EXPECT_FALSE(app_->TakeSentFileEcho(L"a.txt", L"{K-TWO-FILES-X}", 1));
}

TEST_F(InboundTest, UnreadableMessagesWriteTheErrorLineAndQueueNothing) {
  sim::ImSimServer::UserMessage m;
  m.rawBody = "<NUVMsg><Content><File FileName=\"a\" FileSize=\"1\" FID=\"f\" KEY=\"k\"/></Content></NUVMsg>";
  Send(m);
  sim::ImSimServer::UserMessage bad;
  bad.rawContent = "this is not a data object";
  Send(bad);
  sim::ImSimServer::UserMessage noKey;
  noKey.rawContent = "<NUVSData><Value Name=\"Content\">&lt;Txt&gt;x&lt;/Txt&gt;</Value></NUVSData>";
  Send(noKey);
  ASSERT_TRUE(WaitUntil([&] {
    int n = 0;
    for (const auto& l : env_.root().LogLines()) n += l.find("OnRecvMessage 接收到客户端的消息时出错。") != std::string::npos;
    return n == 3;
  }));
  EXPECT_EQ(0u, GetCombineQueue().Size());
  EXPECT_EQ(0u, GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size());
  EXPECT_EQ(0u, app_->NextMsgId());
}

}  // namespace
}  // namespace nuv
