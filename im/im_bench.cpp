// im_bench: throughput of the IM connector against the simulator on loopback.
//   inbound   messages typed by simulated users until they sit in the combine queue
//   download  one large attachment fetched through the file monitor
//   parse     message bodies parsed per second
// Prints one line per measurement. Runs on the system clock.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "common/paths.h"
#include "common/test_support.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/msg_body.h"
#include "processor/combine_queue.h"
#include "sim/im/im_sim_server.h"

using namespace nuv;
using SteadyClock = std::chrono::steady_clock;

static double Seconds(SteadyClock::time_point since) {
  return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

int main() {
  test::TempInstallRoot root;
  sim::ImSimServer server;
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  root.WriteServiceIni("[im]\napp_port = " + std::to_string(server.appPort()) +
                       "\nfilemonitor_port = " + std::to_string(server.fmPort()) + "\n");
  CAppManager app;
  app.Run();
  if (!app.IsStarted()) {
    std::fprintf(stderr, "application did not start\n");
    return 1;
  }

  // Inbound messages.
  const int kMessages = 3000;
  sim::ImSimServer::UserMessage m;
  m.from = "alice";
  m.to = {"bob"};
  m.text = "benchmark message with some text in it";
  m.gapMs = 0;
  size_t received = 0;
  std::vector<WorkItem> drained;
  auto t0 = SteadyClock::now();
  std::string key;
  for (int i = 0; i < kMessages; ++i) server.UserSend(m, &key, nullptr);
  while (received < static_cast<size_t>(kMessages) && Seconds(t0) < 60) {
    drained.clear();
    GetCombineQueue().DrainAll(drained);
    received += drained.size();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  double s = Seconds(t0);
  std::printf("inbound   %zu messages in %.3f s: %.0f messages/s\n", received, s, received / s);

  // One large download.
  const size_t kBytes = 64u << 20;
  std::string data(kBytes, 'x');
  for (size_t i = 0; i < kBytes; i += 4096) data[i] = static_cast<char>(i >> 12);
  const std::string fid = server.UserUpload("big.bin", data);
  CQueueMsg msg;
  CQueueFile f;
  f.fid = Utf8ToWide(fid);
  f.fkey = L"k";
  f.fileName = L"big.bin";
  f.datName = f.fid + L".dat";
  f.localPath = GetTmpFilesDir() + L"/" + f.datName;
  msg.files.push_back(f);
  std::vector<CQueueFile> failed;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the announcement arrive
  t0 = SteadyClock::now();
  app.DownloadAllFiles(msg, failed);
  s = Seconds(t0);
  const bool ok = failed.empty() && test::ReadWholeFile(WideToUtf8(msg.files[0].localPath)) == data;
  std::printf("download  %zu MiB in %.3f s: %.1f MiB/s (%s)\n", kBytes >> 20, s, (kBytes >> 20) / s,
              ok ? "bytes match" : "FAILED");

  // Body parsing.
  const std::wstring body =
      L"<NUVMsg Ver=\"1.0\"><Content><Txt>hello \x18<font a=\"1\"/>\x19world</Txt>"
      L"<File FileName=\"a.doc\" FileSize=\"1234\" FID=\"0123456789ABCDEF\" KEY=\"K1\"/>"
      L"<Img FileName=\"b.png\" FileSize=\"99\" FID=\"FEDCBA9876543210\" KEY=\"K2\"/></Content></NUVMsg>";
  const int kParses = 100000;
  std::wstring text;
  std::vector<CQueueFile> files;
  std::vector<std::wstring> names;
  t0 = SteadyClock::now();
  for (int i = 0; i < kParses; ++i) ParseMsgBody(body, L"/tmp", &text, &files, &names);
  s = Seconds(t0);
  std::printf("parse     %d bodies in %.3f s: %.0f bodies/s\n", kParses, s, kParses / s);
  app.Stop();
  return ok ? 0 : 1;
}
