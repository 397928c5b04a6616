// CAppManager's lifecycle against the IM server simulator on loopback.
#include "im/app_manager.h"

#include <gtest/gtest.h>

#include "common/sdk_error.h"
#include "im/im_app_fixture.h"
#include "processor/processor.h"

namespace nuv {
namespace {

using test::ImTestEnv;
using test::WaitUntil;

void ExpectLogged(ImTestEnv& env, std::initializer_list<const char*> lines) {
  for (const char* l : lines) EXPECT_TRUE(env.root().LogContains(l)) << l;
}

std::vector<std::string> Ops(const sim::ImSimServer& s) {
  std::vector<std::string> ops;
  for (const auto& c : s.Calls()) ops.push_back(c.Get("op"));
  return ops;
}

TEST(AppManager, RunWithServerDownFailsAndSucceedsOnceItIsUp) {
  ImTestEnv env(/*startServer=*/false);
  CAppManager app;
  app.Run();
  EXPECT_FALSE(app.IsStarted());
  ExpectLogged(env, {"CAppManager::Run InitApp() now...",
                    "CAppManager::Run RegApp() now...",
                    "发生com异常:Code = 800706ba Code meaning = IM server unavailable",
                    "CAppManager::Run RegApp() failed, maybe nuv server is down"});

  env.StartServer();
  app.Run();
  EXPECT_TRUE(app.IsStarted());
  ExpectLogged(env, {"RegApp 注册应用服务成功。",
                    "StartApp 启动了NUVPallen插件成功。",
                    "StartApp 文件监控启动成功!"});
  sim::ImSimServer::AppState st = env.server().State();
  EXPECT_TRUE(st.registered && st.started && st.fmStarted);
  EXPECT_EQ("{1BDD00D1-0874-42D5-B372-C451ABF49C5C}", st.registration.Get("guid"));
  EXPECT_EQ("VeOndekoPlugin", st.registration.Get("name"));
  EXPECT_EQ("Morvane.NUV.IM", st.registration.Get("reg1"));
  EXPECT_EQ("anystate", st.registration.Get("reg5"));
  EXPECT_EQ("1", st.registration.Get("reg6"));
  EXPECT_EQ("ALL", st.registration.Get("reg7"));
  EXPECT_EQ((std::vector<std::string>{"Register", "Start", "FmStart"}), Ops(env.server()));

  // A second start while started touches nothing.
  EXPECT_TRUE(app.StartApp());
  EXPECT_TRUE(env.root().LogContains("StartApp 尝试启动应用，但此时应用已启动。"));
  EXPECT_EQ(3u, env.server().Calls().size());

  app.Stop();
  EXPECT_FALSE(app.IsStarted());
  ExpectLogged(env, {"StopApp 停止应用成功。",
                    "StopApp 停止Filemonitor成功。",
                    "UnRegApp 注销应用成功。"});
  EXPECT_FALSE(env.server().State().registered);
}

TEST(AppManager, FileMonitorStartFailureStopsAndUnregisters) {
  ImTestEnv env;
  env.SetFaults([](sim::ImSimServer::Faults& f) { f.failFmStart = true; });
  CAppManager app;
  app.Run();
  EXPECT_FALSE(app.IsStarted());
  ExpectLogged(env, {"StartApp 文件监控启动出现异常，失败!",
                    "StopApp Warnning：尝试停止应用，而应用服务未启动(m_bStart == FALSE )。",
                    "StartApp StartApp failed, call StopApp() to stop it.",
                    "CAppManager::Run StartApp() failed, maybe nuv server is down. UnReg it",
                    "UnRegApp 注销应用成功。"});
  EXPECT_EQ((std::vector<std::string>{"Register", "Start", "FmStart", "Stop", "Unregister"}), Ops(env.server()));
  sim::ImSimServer::AppState st = env.server().State();
  EXPECT_FALSE(st.registered || st.started);
}

TEST(AppManager, RefusedRegistrationAndFailedApplicationStart) {
  ImTestEnv env;
  env.SetFaults([](sim::ImSimServer::Faults& f) { f.refuseRegister = true; });
  CAppManager app;
  app.Run();
  EXPECT_TRUE(env.root().LogContains("RegApp 注册应用服务失败。"));
  env.SetFaults([](sim::ImSimServer::Faults& f) {
    f.refuseRegister = false;
    f.failAppStart = true;
  });
  app.Run();
  EXPECT_FALSE(app.IsStarted());
  ExpectLogged(env, {"StartApp 启动应用时发生了错误。",
                    "UnRegApp 注销应用成功。"});
}

TEST(AppManager, MissingComponentsAreCreatedAgainOnTheNextRun) {
  ImTestEnv env;
  bool available = false;
  CAppManager app([&]() -> std::shared_ptr<INuvRoot> {
    if (!available) throw NuvSdkError(0x80040154, "Class not registered");
    return CreateNuvRoot();
  });
  app.Run();
  ExpectLogged(env, {"InitApp 初始化应用时发生了错误。错误码：2",
                    "发生com异常:Code = 80040154 Code meaning = Class not registered",
                    "RegApp 准备注册应用服务，但还未初始化。",
                    "CAppManager::Run RegApp() failed, maybe nuv server is down"});
  app.StopApp();  // not started and no objects: logs, never crashes
  app.UnRegApp();
  EXPECT_TRUE(env.root().LogContains("UnRegApp 准备注销应用，但还未初始化。"));
  available = true;
  app.Run();
  EXPECT_TRUE(app.IsStarted());
}

// A started application under a started processor.
class AppStopTest : public test::StartedAppTest {
 protected:
  void SetUp() override {
    test::StartedAppTest::SetUp();
    p_ = GetProcessor();
    p_->SetStatus(CNuv4OndekoProcessor::START);
  }
  CNuv4OndekoProcessor* p_ = nullptr;
};

TEST_F(AppStopTest, AppStopEventMovesAStartedProcessorToStop) {
  ImTestEnv& env = env_;
  CAppManager& app = *app_;
  CNuv4OndekoProcessor* p = p_;
  ASSERT_TRUE(env.server().RaiseAppStopped(7, "app"));
  ASSERT_TRUE(WaitUntil([&] { return p->GetStatus() == CNuv4OndekoProcessor::STOP; }));
  EXPECT_TRUE(env.root().LogContains("OnAppStop code=7 processor status is START, stop to STOP"));
  // In any other status the event only logs.
  app.OnAppStop(-5);
  EXPECT_TRUE(env.root().LogContains("OnAppStop code=-5 processor status is NOT START, do nothing"));
  EXPECT_EQ(CNuv4OndekoProcessor::STOP, p->GetStatus());
}

TEST_F(AppStopTest, LostServerConnectionActsAsApplicationStop) {
  ImTestEnv& env = env_;
  CAppManager& app = *app_;
  CNuv4OndekoProcessor* p = p_;
  env.server().DropConnections();
  ASSERT_TRUE(WaitUntil([&] { return p->GetStatus() == CNuv4OndekoProcessor::STOP; }));
  EXPECT_TRUE(env.root().LogContains("OnAppStop code=-2147023174 processor status is START, stop to STOP"));
  // Both connections were dropped; the file monitor's loss may be noticed a
  // moment after the application's. Restarting before that would see the
  // file monitor fail mid-start (the control thread would simply retry).
  ASSERT_TRUE(WaitUntil([&] {
    return env.root().LogContains("ImConnection[filemonitor] connection to the IM server lost");
  }));
  // What the control thread then does: stop, and start again from INIT.
  app.Stop();
  p->SetStatus(CNuv4OndekoProcessor::INIT);
  app.Run();
  EXPECT_TRUE(app.IsStarted());
  EXPECT_TRUE(env.server().State().started);
}

}  // namespace
}  // namespace nuv
