// The wired worker against the simulators in one process: the processor
// reaches START with the real IM connector and push connection, the token
// and the cloud's announcements come through the push callback seams, and a
// second environment in one process is refused.
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

#include "common/text_conv.h"

#include "processor/processor.h"
#include "service/bridge_test_env.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace {

constexpr uint64_t kServerToken = 0x1122334455667788ULL;

uint64_t ReadLE64(const std::string& bytes) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  return v;
}

TEST(BridgeSmoke, ProcessorReachesStartAgainstTheSimulators) {
  test::BridgeTestEnv::Options options;
  options.start = false;
  test::BridgeTestEnv env(options);
  env.push().SetNewClientToken(kServerToken, 1765274400);
  env.Start();

  ASSERT_TRUE(env.WaitForStart()) << "status " << env.processor().GetStatus();

  // The IM application registered under its own identity.
  const sim::ImSimServer::AppState app = env.im().State();
  EXPECT_EQ(app.registration.Get("guid"), "{1BDD00D1-0874-42D5-B372-C451ABF49C5C}");
  EXPECT_EQ(app.registration.Get("name"), "VeOndekoPlugin");

  // A fresh installation presents token 0 and is given the server's token,
  // which reaches the token callback and is kept in token.ini.
  std::vector<uint64_t> tokens = env.WaitForTokenCallbacks(1);
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0], kServerToken);
  const sim::PushServerStats stats = env.push().Stats();
  ASSERT_EQ(stats.connects.size(), 1u);
  EXPECT_EQ(stats.connects[0].token, 0u);
  EXPECT_EQ(stats.established, 1);
  EXPECT_EQ(stats.badFrames, 0);
  const std::string tokenFile = test::ReadWholeFile(env.root().config() + "token.ini");
  ASSERT_EQ(tokenFile.size(), 16u);
  EXPECT_EQ(ReadLE64(tokenFile), kServerToken);

  EXPECT_EQ(env.ProcessEndRequests(), 0);
}

TEST(BridgeSmoke, CloudMessageReachesTheNotifySeamAndIsAcknowledged) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());

  sim::SimCloudMessage m;
  m.cur_userid = "zhang";
  m.to_userid_list = {"li"};
  m.content = "你好";
  const uint64_t first = env.CreateCloudMessage(m);
  const uint64_t second = env.CreateCloudMessage(m);
  std::vector<uint64_t> ids = env.WaitForNotifyCallbacks(2);
  EXPECT_EQ(ids, (std::vector<uint64_t>{first, second}));
  // Acknowledged: nothing is announced again on the next connection.
  EXPECT_TRUE(env.WaitUntil([&] { return env.push().PendingCount() == 0; }));
}

TEST(BridgeSmoke, ImMessageReachesTheHandlerRegisteredForItsType) {
  // What the handler touches outlives the environment (its workers run until
  // the environment's end).
  std::mutex mu;
  std::vector<CQueueMsg> got;
  test::BridgeTestEnv::Options options;
  options.start = false;
  test::BridgeTestEnv env(options);
  env.processor().Handlers().Register(WQUEUE_NUV2ONDEKOMSG, MsgHandler([&](CQueueMsg& m, bool) {
    std::lock_guard<std::mutex> g(mu);
    got.push_back(m);
    return 1;
  }));
  env.Start();
  ASSERT_TRUE(env.WaitForStart());

  sim::ImSimServer::UserMessage m;
  m.from = "zhang";
  m.to = {"li"};
  m.text = "hello bridge";
  std::string key;
  ASSERT_TRUE(env.RaiseImMessage(m, &key)) << key;
  ASSERT_TRUE(env.WaitUntil([&] {
    std::lock_guard<std::mutex> g(mu);
    return !got.empty();
  }));
  std::lock_guard<std::mutex> g(mu);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].from, L"zhang");
  EXPECT_EQ(got[0].to, L"li");
  EXPECT_EQ(got[0].key, Utf8ToWide(key));
  EXPECT_NE(got[0].content.find(L"hello bridge"), std::wstring::npos);
}

TEST(BridgeSmoke, ShutdownStopsTheApplicationAndEndsCleanly) {
  test::BridgeTestEnv env;
  ASSERT_TRUE(env.WaitForStart());
  env.StopProcessor();

  std::vector<std::string> ops;
  for (const auto& c : env.im().Calls()) ops.push_back(c.Get("op"));
  EXPECT_EQ(ops, (std::vector<std::string>{"Register", "Start", "FmStart", "Stop", "Unregister"}));
  EXPECT_EQ(env.push().Stats().open, 0);
  // The control thread finished its cleanup within the end wait.
  EXPECT_TRUE(env.root().LogContains("~CNuv4OndekoProcessor() status is EXIT , exit now"));
  EXPECT_FALSE(env.root().LogContains("wait 20sec DONE, exit directly"));
}

TEST(BridgeSmoke, SecondEnvironmentInOneProcessIsRefused) {
  test::BridgeTestEnv::Options options;
  options.start = false;
  test::BridgeTestEnv env(options);
  EXPECT_THROW(test::BridgeTestEnv second(options), std::logic_error);
  // The first one is untouched by the refusal.
  env.Start();
  EXPECT_TRUE(env.WaitForStart());
}

}  // namespace
}  // namespace nuv
