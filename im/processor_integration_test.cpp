// The connector under the real processor: the control thread starts the IM
// application, and when the IM server goes away the processor goes through
// STOP and brings the application up again.
#include <gtest/gtest.h>

#include "im/app_manager.h"
#include "im/im_test_env.h"
#include "processor/processor.h"
#include "processor/processor_test_util.h"

namespace nuv {
namespace {

// Shuts the process-wide processor down (in virtual time) when the test ends,
// before the application object it drives is destroyed.
struct ProcessorGuard {
  explicit ProcessorGuard(VirtualClock& c) : clock(c) {}
  ~ProcessorGuard() {
    test::ShutdownDriving(*GetProcessor(), clock);
    ReleaseProcessor();
  }
  VirtualClock& clock;
};

TEST(ImUnderProcessor, LostServerStopsAndRestartsTheApplication) {
  test::ImTestEnv env;
  CAppManager app;
  test::PushLog push;
  test::EndRecorder ends;
  CNuv4OndekoProcessor* p = GetProcessor();
  p->Seams().imApp = [&app]() -> ImApp* { return &app; };
  p->Seams().pushFactory = test::FakePushFactory(push);
  ends.Install(p->Seams());
  ProcessorGuard guard(env.clock());
  p->BeginStart();

  auto up = [&] {
    return p->GetStatus() == CNuv4OndekoProcessor::START && app.IsStarted() && env.server().State().started;
  };
  ASSERT_TRUE(test::DriveUntil(env.clock(), up, 20, 60000));
  EXPECT_TRUE(env.server().State().fmStarted);

  env.server().DropConnections();
  ASSERT_TRUE(test::DriveUntil(env.clock(), [&] {
    return env.root().LogContains("CNuv4OndekoProcessor::Start STOP status !!! clean up and set status to INIT");
  }, 20, 120000));
  ASSERT_TRUE(test::DriveUntil(env.clock(), up, 20, 60000));
  EXPECT_TRUE(env.root().LogContains("OnAppStop code=-2147023174 processor status is START, stop to STOP"));
  EXPECT_EQ(2, push.starts.load());
  std::vector<std::string> ops;
  for (const auto& c : env.server().Calls()) ops.push_back(c.Get("op"));
  EXPECT_EQ((std::vector<std::string>{"Register", "Start", "FmStart", "Stop", "Unregister", "Register", "Start",
                                      "FmStart"}),
            ops);
}

}  // namespace
}  // namespace nuv
