// End to end: a simulated user types a message with attachments through the
// simulator's control interface; it reaches the combine queue as one merged
// message, its attachments land in the temporary-files directory with the
// right bytes, and the control interface lists every call the connector made.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <thread>

#include "common/paths.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/im_test_env.h"
#include "processor/combine_queue.h"
#include "sim/im/base64.h"
#include "sim/im/im_sim_control.h"

namespace nuv {
namespace {

Json::Value ParseJson(const std::string& s) {
  Json::Value v;
  Json::CharReaderBuilder rb;
  std::unique_ptr<Json::CharReader> r(rb.newCharReader());
  std::string err;
  r->parse(s.data(), s.data() + s.size(), &v, &err);
  return v;
}

TEST(ImAcceptance, TypedMessageReachesTheCombineQueueWithItsFiles) {
  test::ImTestEnv env;
  sim::ImSimControl control(env.server());
  std::string error;
  ASSERT_TRUE(control.Start("127.0.0.1", 0, &error)) << error;
  httplib::Client cli("127.0.0.1", control.port());

  CAppManager app;
  app.Run();
  ASSERT_TRUE(app.IsStarted());

  const std::string doc("%PDF\0\x01\xff binary", 15);
  const std::string img = "\x89PNG image bytes";
  Json::Value send;
  send["from"] = "张三";
  send["to"].append("bob");
  send["to"].append("carol");
  send["text"] = "季度报告\x18<font>\x19 见附件";
  Json::Value f1;
  f1["name"] = "report.pdf";
  f1["data"] = sim::Base64Encode(doc);
  Json::Value f2;
  f2["name"] = "chart.png";
  f2["data"] = sim::Base64Encode(img);
  f2["image"] = true;
  send["files"].append(f1);
  send["files"].append(f2);
  Json::StreamWriterBuilder wb;
  auto res = cli.Post("/send", Json::writeString(wb, send), "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(200, res->status) << res->body;
  Json::Value sent = ParseJson(res->body);
  ASSERT_EQ(2u, sent["fids"].size());
  const std::string key = sent["key"].asString();

  // Two copies, one per receiver, merged by the combining step.
  ASSERT_TRUE(test::WaitUntil([] { return GetCombineQueue().Size() == 2; }));
  env.clock().Advance(1001);
  std::vector<WorkItem> out;
  ASSERT_TRUE(GetCombineQueue().CombineOutQueue(out));
  ASSERT_EQ(1u, out.size());
  ASSERT_EQ(WQUEUE_NUV2ONDEKOFILE, out[0].type);
  CQueueMsg& msg = *out[0].msg;
  EXPECT_EQ(L"张三", msg.from);
  EXPECT_EQ(L"bob;carol", msg.to);
  EXPECT_EQ(Utf8ToWide(key), msg.key);
  EXPECT_EQ(L"季度报告 见附件", msg.content);
  ASSERT_EQ(2u, msg.files.size());
  EXPECT_EQ(FILE_KIND_FILE, msg.files[0].kind);
  EXPECT_EQ(L"report.pdf", msg.files[0].fileName);
  EXPECT_EQ(static_cast<int>(doc.size()), msg.files[0].size);
  EXPECT_EQ(FILE_KIND_IMAGE, msg.files[1].kind);

  // What the file worker does before it uploads to the cloud.
  std::vector<CQueueFile> failed;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    app.DownloadAllFiles(msg, failed);
    done = true;
  });
  for (int i = 0; i < 20000 && !done; ++i) {
    if (env.clock().Sleepers() > 0) env.clock().Advance(20);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.join();
  EXPECT_TRUE(failed.empty());
  ASSERT_EQ(2u, msg.files.size());
  const std::string tmp = WideToUtf8(GetTmpFilesDir());
  EXPECT_EQ(doc, test::ReadWholeFile(tmp + "/" + sent["fids"][0].asString() + ".dat"));
  EXPECT_EQ(img, test::ReadWholeFile(tmp + "/" + sent["fids"][1].asString() + ".dat"));
  EXPECT_EQ(tmp + "/" + sent["fids"][0].asString() + ".dat", WideToUtf8(msg.files[0].localPath));

  // Every call, in order.
  res = cli.Get("/calls");
  ASSERT_TRUE(res);
  Json::Value calls = ParseJson(res->body);
  std::vector<std::string> ops;
  for (const auto& c : calls) ops.push_back(c["op"].asString());
  EXPECT_EQ((std::vector<std::string>{"Register", "Start", "FmStart", "DownloadFile", "DownloadFile"}), ops);
  EXPECT_EQ(sent["fids"][0].asString(), calls[3]["fid"].asString());
  EXPECT_EQ(sent["fids"][0].asString() + ".dat", calls[3]["name"].asString());
  EXPECT_EQ("fm", calls[3]["conn"].asString());
  res = cli.Get("/state");
  ASSERT_TRUE(res);
  EXPECT_TRUE(ParseJson(res->body)["started"].asBool());

  app.Stop();
  res = cli.Get("/calls");
  calls = ParseJson(res->body);
  EXPECT_EQ("Stop", calls[5]["op"].asString());
  EXPECT_EQ("Unregister", calls[6]["op"].asString());
}

TEST(ImAcceptance, ControlInterfaceRecordsDeliveriesAndPresence) {
  test::ImTestEnv env;
  sim::ImSimControl control(env.server());
  std::string error;
  ASSERT_TRUE(control.Start("127.0.0.1", 0, &error)) << error;
  httplib::Client cli("127.0.0.1", control.port());
  CAppManager app;
  app.Run();
  ASSERT_TRUE(app.IsStarted());

  ASSERT_EQ(200, cli.Post("/users", R"({"user":"bob","state":"online"})", "application/json")->status);
  ASSERT_EQ(200, cli.Post("/users", R"({"user":"eve","state":"away"})", "application/json")->status);
  ASSERT_EQ(200, cli.Post("/users", R"({"user":"dan","state":"online"})", "application/json")->status);
  EXPECT_EQ(400, cli.Post("/users", R"({"user":"x","state":"busy"})", "application/json")->status);
  EXPECT_EQ(L"bob;dan;", app.ApiRoot()->QueryUsersByState(L"online"));
  EXPECT_EQ(L"eve;", app.ApiRoot()->QueryUsersByState(L"away"));
  EXPECT_EQ(L"", app.ApiRoot()->QueryUsersByState(L"offline"));

  app.ApiRoot()->SendSysMessage(L"bob", L"通知", 100, L"正文");
  auto m = app.AppObject()->CreateMessage();
  auto data = app.ApiRoot()->CreateNUVSData();
  data->SetInt(L"Mode", 0);
  data->SetString(L"Key", L"{KEY}");
  m->Sender = L"cloud";
  m->Receivers = L"bob";
  m->Type1 = m->Type2 = L"Morvane.NUV.IM";
  m->Content = data->GetXML();
  app.AppObject()->SendMessage(*m, 0);

  Json::Value msgs = ParseJson(cli.Get("/messages")->body);
  ASSERT_EQ(1u, msgs.size());
  EXPECT_EQ("cloud", msgs[0]["sender"].asString());
  EXPECT_EQ("{KEY}", msgs[0]["values"]["Key"].asString());
  EXPECT_EQ("0", msgs[0]["values"]["Mode"].asString());
  Json::Value sys = ParseJson(cli.Get("/sysmessages")->body);
  ASSERT_EQ(1u, sys.size());
  EXPECT_EQ("通知", sys[0]["title"].asString());
  EXPECT_EQ("100", sys[0]["kind"].asString());

  // Faults through the interface: the next download fails once.
  ASSERT_EQ(200, cli.Post("/faults", R"({"download_fail":"once"})", "application/json")->status);
  EXPECT_EQ(1, env.server().GetFaults().downloadFail);
  EXPECT_EQ(400, cli.Post("/faults", R"({"download_fail":"sometimes"})", "application/json")->status);
  EXPECT_EQ(400, cli.Post("/send", "not json", "application/json")->status);
  ASSERT_EQ(200, cli.Post("/stop-app", R"({"code":3})", "application/json")->status);
  EXPECT_TRUE(test::WaitUntil([&] { return env.root().LogContains("OnAppStop code=3 processor status is NOT START"); }));
}

}  // namespace
}  // namespace nuv
