// The application object acknowledges a message event only once its
// listener returned: a connection lost while the handler runs leaves the
// message with the server, which hands it again after the next Start.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/text_conv.h"
#include "im/im_test_env.h"
#include "im/sdk.h"

namespace nuv {
namespace {

// Records the texts of the messages; holds the handler of one text until
// released, as a worker that dies inside its handler would.
class HoldingListener : public ISdkEventListener {
 public:
  explicit HoldingListener(std::string holdOn) : holdOn_(std::move(holdOn)) {}
  void Invoke(SdkEvent& ev) override {
    std::unique_lock<std::mutex> lk(mu_);
    if (ev.number == APP_EVENT_STOPPED) {
      ++stops_;
      return;
    }
    if (ev.number != APP_EVENT_RECV_MESSAGE) return;
    const std::string content = WideToUtf8(ev.message->Content);
    const size_t at = content.find("acked-");
    const std::string text = at == std::string::npos ? content : content.substr(at, content.find_first_of("<&", at) - at);
    texts_.push_back(text);
    if (text == holdOn_ && !released_) {
      holding_ = true;
      cv_.wait(lk, [&] { return released_; });
      holding_ = false;
    }
  }
  void Release() {
    std::lock_guard<std::mutex> g(mu_);
    released_ = true;
    cv_.notify_all();
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> g(mu_);
    return texts_;
  }
  bool Holding() {
    std::lock_guard<std::mutex> g(mu_);
    return holding_;
  }
  int Stops() {
    std::lock_guard<std::mutex> g(mu_);
    return stops_;
  }

 private:
  const std::string holdOn_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> texts_;
  bool holding_ = false, released_ = false;
  int stops_ = 0;
};

TEST(AppEventAck, MessageWhoseHandlerDidNotReturnComesAgainAfterTheNextStart) {
  test::ImTestEnv env;
  std::shared_ptr<INuvRoot> root = CreateNuvRoot();
  std::shared_ptr<INuvApp> app = root->AppObject();
  HoldingListener listener("acked-2");
  ASSERT_TRUE(app->Advise(&listener));
  app->SetAppGUID(L"{A}");
  ASSERT_TRUE(app->Register());
  app->Start(L"", 0);
  auto send = [&](const std::string& text) {
    sim::ImSimServer::UserMessage m;
    m.from = "alice";
    m.to = {"zhang"};
    m.text = text;
    std::string key;
    return env.server().UserSend(m, &key, nullptr);
  };
  for (const char* t : {"acked-1", "acked-2", "acked-3"}) ASSERT_TRUE(send(t));
  // acked-1 was handled and acknowledged; acked-2 is in its handler and
  // acked-3 waits behind it: both stay with the server.
  ASSERT_TRUE(test::WaitUntil([&] { return listener.Holding() && env.server().Unacked("{A}").size() == 2; }));
  EXPECT_EQ((std::vector<uint64_t>{2, 3}), env.server().Unacked("{A}"));

  // The connection goes before the handler returns.
  env.server().DropConnections();
  ASSERT_TRUE(test::WaitUntil([&] { return !env.server().State().started; }));
  listener.Release();
  ASSERT_TRUE(test::WaitUntil([&] { return listener.Stops() == 1; }));
  EXPECT_EQ((std::vector<std::string>{"acked-1", "acked-2", "acked-3"}), listener.Texts());

  // The next Start gets both again, in order, before a new one; the
  // acknowledged one does not come back.
  app->Start(L"", 0);
  ASSERT_TRUE(send("acked-4"));
  ASSERT_TRUE(test::WaitUntil([&] { return listener.Texts().size() == 6 && env.server().Unacked("{A}").empty(); }))
      << listener.Texts().size();
  EXPECT_EQ((std::vector<std::string>{"acked-1", "acked-2", "acked-3", "acked-2", "acked-3", "acked-4"}),
            listener.Texts());
  EXPECT_EQ(4u, env.server().RecordCounts().acks);  // 1; 2 and 3 had no connection; then 2, 3, 4
  app->Stop();
  app->Unadvise(&listener);
}

}  // namespace
}  // namespace nuv
