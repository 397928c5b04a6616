// Benchmark: send_msg calls per second against the cloud simulator on
// loopback over HTTPS, first with a new connection (TCP + TLS handshake) per
// request, then with this thread's connection reused.
//
//   build/cloud/bench_send_msg [N]     (N calls per mode, default 2000)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cloud/http_transport.h"
#include "cloud/ondeko_api.h"
#include "sim/cloud/sim_cloud.h"

namespace {

// Sends n messages; returns messages per second, or -1 on the first failure.
double Run(const std::string& dir, const nuv::CloudSettings& s, int n) {
  nuv::OndekoMsgItem m;
  m.cur_userid = "bench";
  m.chatid = "{00000000-0000-0000-0000-000000000000}";
  m.to_userid_list = {"receiver"};
  m.content = "benchmark message";
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    nuv::COndekoApi api(dir, s);  // built per use, as the service does
    nuv::EmptyReply rsp;
    int ret = api.SendMsg(m, rsp);
    if (ret != 0 || rsp.errCode != 0) {
      std::fprintf(stderr, "send_msg %d failed: ret %d errcode %d '%s'\n", i, ret, rsp.errCode,
                   rsp.message.c_str());
      return -1;
    }
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return n / took.count();
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (n <= 0) n = 2000;
  nuv::sim::SimCloudOptions o;
  o.control = false;
  nuv::sim::SimCloud cloud(o);
  if (!cloud.Start()) {
    std::fprintf(stderr, "simulator: %s\n", cloud.LastError().c_str());
    return 1;
  }
  char tmpl[] = "/tmp/bench-send-msg-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = std::string(tmpl) + "/";
  nuv::CloudSettings s;
  s.api_host = cloud.ApiHost();
  s.upload_host = cloud.UploadHost();
  s.ca_file = cloud.CaFile();
  {
    nuv::COndekoApi api(dir, s);
    nuv::sim::SimCredentials c = cloud.Credentials();
    if (api.SaveCredentials(c.skey, c.refresh_token, c.vid) != 0) return 1;
  }

  nuv::SetConnectionReuse(false);
  double fresh = Run(dir, s, n);
  nuv::SetConnectionReuse(true);
  double reused = Run(dir, s, n);
  nuv::SetConnectionReuse(false);  // closes the kept connection before the server stops
  std::printf("send_msg over HTTPS on loopback, %d calls each:\n", n);
  std::printf("  new connection per request: %8.0f msg/s\n", fresh);
  std::printf("  reused connection:          %8.0f msg/s\n", reused);
  std::remove((dir + "qy.ini").c_str());
  rmdir(tmpl);
  return fresh < 0 || reused < 0 ? 1 : 0;
}
