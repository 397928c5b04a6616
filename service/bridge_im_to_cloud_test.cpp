// IM to cloud through the whole wired worker: what a user of the IM
// simulator types reaches the cloud simulator once, copies for several
// receivers merged, attachments uploaded with their bytes and names, notices
// for attachments the IM server does not hand over, a renewed session key
// and a refused message dropped after its retry.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "processor/processor.h"
#include "service/bridge_test_env.h"
#include "service/test_log_count.h"

namespace nuv {
namespace {

using sim::ImSimServer;
using sim::SimSentMessage;

// The text a user types, to the given receivers.
ImSimServer::UserMessage Typed(const std::string& text, std::vector<std::string> to) {
  ImSimServer::UserMessage m;
  m.from = "zhang";
  m.to = std::move(to);
  m.text = text;
  return m;
}

// The sent messages whose content is text.
std::vector<SimSentMessage> WithContent(const std::vector<SimSentMessage>& all, const std::string& text) {
  std::vector<SimSentMessage> out;
  for (const auto& m : all)
    if (m.content == text) out.push_back(m);
  return out;
}

TEST(BridgeImToCloud, TextToTwoReceiversIsOneSendMsgListingBoth) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  ImSimServer::UserMessage m = Typed("周五开会 meeting on Friday", {"li", "wang"});
  m.gapMs = 3;  // two message-received events milliseconds apart
  std::string key;
  const auto raised = std::chrono::steady_clock::now();
  const int64_t raisedVirtualMs = env.clock().NowMs();
  ASSERT_TRUE(env.RaiseImMessage(m, &key)) << key;
  std::vector<SimSentMessage> sent = env.WaitForSentMessages(1);
  const auto arrived = std::chrono::steady_clock::now();
  ASSERT_EQ(sent.size(), 1u);
  std::cout << "IM event to send_msg: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(arrived - raised).count() << " ms real, "
            << env.clock().NowMs() - raisedVirtualMs << " ms virtual\n";

  // A later message marks the end of anything the first could still cause.
  ASSERT_TRUE(env.RaiseImMessage(Typed("marker", {"li"})));
  sent = env.WaitForSentMessages(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].content, "周五开会 meeting on Friday");
  EXPECT_EQ(sent[0].cur_userid, "zhang");
  EXPECT_EQ(sent[0].to_userid_list, (std::vector<std::string>{"li", "wang"}));
  EXPECT_EQ(sent[1].content, "marker");
  EXPECT_EQ(sent[1].to_userid_list, (std::vector<std::string>{"li"}));
}

TEST(BridgeImToCloud, FileAndImageAreUploadedWithTheirBytesAndListedInOneSendMsg) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  std::string docBytes("季度报告\0\x01\xff binary", 22);
  std::string pngBytes("\x89PNG\r\n\x1a\n" + std::string(3000, '\x5a'));
  ImSimServer::UserMessage m = Typed("见附件", {"li"});
  m.files = {{"季度报告.doc", docBytes, false, false}, {"截图.png", pngBytes, true, false}};
  std::string key;
  std::vector<std::string> fids;
  ASSERT_TRUE(env.RaiseImMessage(m, &key, &fids)) << key;
  ASSERT_EQ(fids.size(), 2u);

  std::vector<SimSentMessage> sent = env.WaitForSentMessages(1);
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<sim::SimMedia> media = env.cloud().UploadedMedia();
  ASSERT_EQ(media.size(), 2u);
  // One upload at a time, in attachment order.
  EXPECT_EQ(media[0].fileName, "季度报告.doc");
  EXPECT_EQ(media[0].type, "file");
  EXPECT_EQ(media[0].data, docBytes);
  EXPECT_EQ(media[1].fileName, "截图.png");
  EXPECT_EQ(media[1].type, "image");
  EXPECT_EQ(media[1].data, pngBytes);

  EXPECT_EQ(sent[0].content, "见附件");
  EXPECT_EQ(sent[0].to_userid_list, (std::vector<std::string>{"li"}));
  EXPECT_EQ(sent[0].file_id_list, (std::vector<std::string>{media[0].media_id}));
  EXPECT_EQ(sent[0].image_id_list, (std::vector<std::string>{media[1].media_id}));
  // The worker logs the exchange once the cloud's answer is in.
  EXPECT_TRUE(env.WaitUntil([&] { return env.root().LogContains("SendFileMsg2Ondeko SendMsg() , climsgid "); }));

  // The local copies are gone once uploaded.
  ASSERT_TRUE(env.RaiseImMessage(Typed("marker", {"li"})));
  ASSERT_EQ(env.WaitForSentMessages(2).size(), 2u);
  EXPECT_EQ(env.cloud().UploadedMedia().size(), 2u);
}

TEST(BridgeImToCloud, FileTheImServerWithholdsGivesTheFetchFailureNoticeAndTheTextStillArrives) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  ImSimServer::Faults faults;
  faults.downloadFail = 2;  // every download fails
  env.im().SetFaults(faults);

  ImSimServer::UserMessage m = Typed("合同见附件", {"li"});
  m.files = {{"a.doc", "contract bytes", false, false}};
  ASSERT_TRUE(env.RaiseImMessage(m));

  std::vector<SimSentMessage> sent = env.WaitForSentMessages(2);
  ASSERT_EQ(sent.size(), 2u);
  const std::string notice = "获取NUV文件失败：a.doc  ，未能同步文件到OndekoPallen";
  ASSERT_EQ(WithContent(sent, notice).size(), 1u);
  const std::vector<SimSentMessage> text = WithContent(sent, "合同见附件");
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].to_userid_list, (std::vector<std::string>{"li"}));
  EXPECT_TRUE(text[0].file_id_list.empty());
  EXPECT_TRUE(text[0].image_id_list.empty());
  EXPECT_EQ(WithContent(sent, notice)[0].to_userid_list, (std::vector<std::string>{"li"}));
  EXPECT_TRUE(env.cloud().UploadedMedia().empty());
  EXPECT_TRUE(env.root().LogContains("NUV文件失败通知消息"));
}

TEST(BridgeImToCloud, FileMonitorThatDoesNotAnswerDelaysTheFileWithoutANotice) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  ImSimServer::Faults faults = env.im().GetFaults();
  faults.holdDownloads = true;
  env.im().SetFaults(faults);
  ImSimServer::UserMessage m = Typed("见附件", {"li"});
  m.files = {{"late.doc", "late bytes", false, false}};
  ASSERT_TRUE(env.RaiseImMessage(m));

  // Both attempts time out: parked, not sent without its file.
  ASSERT_TRUE(env.AdvanceUntil([&] { return env.root().LogContains("WorkJournal::Park WQUEUE_NUV2ONDEKOFILE"); }, 500));
  EXPECT_EQ(env.cloud().SentCount(), 0u);
  faults.holdDownloads = false;
  env.im().SetFaults(faults);
  env.im().ReleaseDownloads();

  ASSERT_TRUE(env.AdvanceUntil([&] { return env.cloud().SentCount() >= 1; }, 1000));
  const std::vector<SimSentMessage> sent = env.cloud().SentMessages();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].content, "见附件");
  const std::vector<sim::SimMedia> media = env.cloud().UploadedMedia();
  ASSERT_EQ(media.size(), 1u);
  EXPECT_EQ(media[0].fileName, "late.doc");
  EXPECT_EQ(media[0].data, "late bytes");
  EXPECT_EQ(sent[0].file_id_list, std::vector<std::string>{media[0].media_id});
  EXPECT_FALSE(env.root().LogContains("NUV文件失败通知消息"));
}

TEST(BridgeImToCloud, ExpiredSessionKeyIsRenewedOnceAndTheMessageGoesOut) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  // Whatever the start did with the cloud is done; the key expires now.
  const std::string oldSkey = env.cloud().Credentials().skey;
  env.cloud().ExpireSkey();
  const size_t refreshesBefore = env.cloud().CountRequests("refresh_skey");

  ASSERT_TRUE(env.RaiseImMessage(Typed("after expiry", {"li"})));
  std::vector<SimSentMessage> sent = env.WaitForSentMessages(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].content, "after expiry");
  EXPECT_EQ(env.cloud().CountRequests("refresh_skey"), refreshesBefore + 1);
  EXPECT_NE(env.cloud().Credentials().skey, oldSkey);

  // The renewed key serves the next message without another renewal.
  ASSERT_TRUE(env.RaiseImMessage(Typed("next", {"li"})));
  ASSERT_EQ(env.WaitForSentMessages(2).size(), 2u);
  EXPECT_EQ(env.cloud().CountRequests("refresh_skey"), refreshesBefore + 1);
  EXPECT_EQ(test::CountLogLines(env.root(), "RETRYONCE"), 0);
}

TEST(BridgeImToCloud, MessageTheCloudRefusesTwiceIsDroppedAfterTheRetry) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  sim::SimFault refuse;
  refuse.kind = sim::SimFault::Kind::ErrCode;
  refuse.errCode = 40012;
  refuse.count = 2;
  env.cloud().InjectFault("send_msg", refuse);

  ASSERT_TRUE(env.RaiseImMessage(Typed("refused", {"li"})));
  ASSERT_TRUE(env.WaitUntil([&] { return env.root().LogContains("RETRYFAIL WQUEUE_NUV2ONDEKOMSG climsgid "); }));
  EXPECT_EQ(env.cloud().CountRequests("send_msg"), 2u);
  EXPECT_EQ(test::CountLogLines(env.root(), "RETRYONCE WQUEUE_NUV2ONDEKOMSG climsgid "), 1);
  EXPECT_EQ(test::CountLogLines(env.root(), "errcode 40012 errmsg 'injected fault'"), 2);

  // Dropped, not sent again: the next message is the only one that arrives.
  ASSERT_TRUE(env.RaiseImMessage(Typed("accepted", {"li"})));
  std::vector<SimSentMessage> sent = env.WaitForSentMessages(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].content, "accepted");
  EXPECT_EQ(env.cloud().CountRequests("send_msg"), 3u);
  EXPECT_EQ(test::CountLogLines(env.root(), "RETRYFAIL"), 1);
}

}  // namespace
}  // namespace nuv
