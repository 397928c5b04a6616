// The application object acknowledges a message event only once its
// listener returned and settled it: a connection lost while the handler runs
// leaves the message with the server, which hands it again after the next
// Start; a burst is settled together, and acknowledged only after that.
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
  // Settling: records how many texts had come; the first one is held until
  // released when holdSettle.
  bool EventsHandled() override {
    std::unique_lock<std::mutex> lk(mu_);
    settledAt_.push_back(texts_.size());
    if (holdSettle_ && !released_) {
      holding_ = true;
      cv_.wait(lk, [&] { return released_; });
      holding_ = false;
    }
    return settles_;
  }
  // What settling answers from now on.
  void Settles(bool ok) {
    std::lock_guard<std::mutex> g(mu_);
    settles_ = ok;
  }
  void HoldSettle() {
    std::lock_guard<std::mutex> g(mu_);
    holdSettle_ = true;
  }
  std::vector<size_t> SettledAt() {
    std::lock_guard<std::mutex> g(mu_);
    return settledAt_;
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
  bool holding_ = false, released_ = false, holdSettle_ = false, settles_ = true;
  int stops_ = 0;
  std::vector<size_t> settledAt_;
};

// An application object started on the simulator for the listener, and a
// way to type messages to it.
struct StartedApp {
  StartedApp(test::ImTestEnv& env, ISdkEventListener* l) : env(env), listener(l) {
    app = CreateNuvRoot()->AppObject();
    EXPECT_TRUE(app->Advise(l));
    app->SetAppGUID(L"{A}");
    EXPECT_TRUE(app->Register());
    app->Start(L"", 0);
  }
  ~StartedApp() {
    app->Stop();
    app->Unadvise(listener);
  }
  bool Send(const std::string& text) {
    sim::ImSimServer::UserMessage m;
    m.from = "alice";
    m.to = {"zhang"};
    m.text = text;
    std::string key;
    return env.server().UserSend(m, &key, nullptr);
  }
  test::ImTestEnv& env;
  ISdkEventListener* listener;
  std::shared_ptr<INuvApp> app;
};

TEST(AppEventAck, MessageWhoseHandlerDidNotReturnComesAgainAfterTheNextStart) {
  test::ImTestEnv env;
  HoldingListener listener("acked-2");
  StartedApp started(env, &listener);
  std::shared_ptr<INuvApp> app = started.app;
  auto send = [&](const std::string& text) { return started.Send(text); };
  ASSERT_TRUE(send("acked-1"));
  ASSERT_TRUE(test::WaitUntil([&] { return env.server().RecordCounts().acks == 1; }));
  for (const char* t : {"acked-2", "acked-3"}) ASSERT_TRUE(send(t));
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
}

TEST(AppEventAck, MessagesAreAcknowledgedOnlyAfterTheListenerSettledThemInBatches) {
  test::ImTestEnv env;
  HoldingListener listener("none");
  listener.HoldSettle();
  StartedApp started(env, &listener);
  ASSERT_TRUE(started.Send("acked-1"));
  // Handled, and held while settling: not acknowledged yet.
  ASSERT_TRUE(test::WaitUntil([&] { return listener.Holding(); }));
  EXPECT_EQ((std::vector<uint64_t>{1}), env.server().Unacked("{A}"));
  // A burst arrives meanwhile: it waits behind the settling.
  for (int i = 2; i <= 20; ++i) ASSERT_TRUE(started.Send("acked-" + std::to_string(i)));
  ASSERT_TRUE(test::WaitUntil([&] { return env.server().Unacked("{A}").size() == 20; }));
  EXPECT_EQ(0u, env.server().RecordCounts().acks);
  listener.Release();
  ASSERT_TRUE(test::WaitUntil([&] { return env.server().Unacked("{A}").empty(); }));
  EXPECT_EQ(20u, listener.Texts().size());
  EXPECT_EQ(20u, env.server().RecordCounts().acks);
  // The first alone, then the burst in a few settlings (as fast as the
  // connection's reader hands the events on), each after the one before.
  const std::vector<size_t> settled = listener.SettledAt();
  ASSERT_GE(settled.size(), 2u);
  EXPECT_EQ(1u, settled.front());
  EXPECT_EQ(20u, settled.back());
  EXPECT_LT(settled.size(), 20u) << "one settling per message";
  for (size_t i = 1; i < settled.size(); ++i) EXPECT_LT(settled[i - 1], settled[i]);
}

TEST(AppEventAck, MessagesNoListenerTookOrCouldSettleStayWithTheServer) {
  test::ImTestEnv env;
  HoldingListener listener("none");
  StartedApp started(env, &listener);
  std::shared_ptr<INuvApp> app = started.app;
  // The listener is gone for a moment (the application is being stopped):
  // the message that comes meanwhile is not acknowledged.
  app->Unadvise(&listener);
  ASSERT_TRUE(started.Send("acked-1"));
  ASSERT_TRUE(test::WaitUntil([&] {
    return env.root().LogContains("NetApp message event seq 1 was not taken by a listener") ||
           env.server().RecordCounts().acks > 0;
  }));
  EXPECT_EQ(0u, env.server().RecordCounts().acks);
  ASSERT_TRUE(app->Advise(&listener));
  ASSERT_TRUE(started.Send("acked-2"));
  ASSERT_TRUE(test::WaitUntil([&] { return env.server().RecordCounts().acks == 1; }));
  EXPECT_EQ((std::vector<uint64_t>{1}), env.server().Unacked("{A}"));
  EXPECT_EQ((std::vector<std::string>{"acked-2"}), listener.Texts());

  // The listener cannot make what it took safe: held, asked again after a
  // pause, acknowledged once it can.
  listener.Settles(false);
  ASSERT_TRUE(started.Send("acked-3"));
  ASSERT_TRUE(test::WaitUntil([&] { return listener.SettledAt().size() == 2; }));
  env.clock().Advance(1000);
  ASSERT_TRUE(test::WaitUntil([&] { return listener.SettledAt().size() == 3; }));
  EXPECT_EQ((std::vector<uint64_t>{1, 3}), env.server().Unacked("{A}"));
  listener.Settles(true);
  env.clock().Advance(1000);
  ASSERT_TRUE(test::WaitUntil([&] { return env.server().RecordCounts().acks == 2; }));
  EXPECT_EQ((std::vector<uint64_t>{1}), env.server().Unacked("{A}"));

  // The next Start hands the one nobody took again.
  app->Start(L"", 0);
  ASSERT_TRUE(test::WaitUntil([&] { return env.server().Unacked("{A}").empty(); }));
  EXPECT_EQ((std::vector<std::string>{"acked-2", "acked-3", "acked-1"}), listener.Texts());
}

}  // namespace
}  // namespace nuv
