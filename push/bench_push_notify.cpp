// Not a test: measures the push connection on loopback against the simulator's
// push server and prints the numbers. Handshake (TCP connect, key exchange,
// connect request) per connection, then notify items delivered and
// acknowledged per second, one item per frame and 100 items per frame.
//
//   bench_push_notify [items]   (default 20000)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "common/test_support.h"
#include "common/service_ini.h"
#include "push/gap_hub_logic.h"
#include "sim/push/push_server.h"
#include "sim/push/server_frames.h"

namespace {

std::atomic<long> g_notified{0};
void OnNotify(uint64_t, nuv::OndekoMsgItem*) { ++g_notified; }
int OnToken(uint64_t) { return 0; }

using SteadyClock = std::chrono::steady_clock;
double Seconds(SteadyClock::time_point since) {
  return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long items = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
  char tmpl[] = "/tmp/nuv-bench-push-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  nuv::MakeDirs(root + "/bin");
  nuv::MakeDirs(root + "/Config");
  nuv::SetInstallRoot(root);

  nuv::sim::PushServer server;
  if (!server.Start()) return 1;
  std::FILE* ini = std::fopen((root + "/Config/service.ini").c_str(), "w");
  std::fprintf(ini, "[push]\nhost=127.0.0.1\nport=%u\n", server.port());
  std::fclose(ini);
  nuv::ServiceIni::Reload();

  auto hub = std::make_unique<nuv::GapHubLogic>(root + "/Config/", &OnNotify, &OnToken);
  hub->Init();
  auto t0 = SteadyClock::now();
  hub->Start();
  // The first connect includes the connect step's 1-second pause.
  server.WaitUntil([](const nuv::sim::PushServerStats& s) { return s.established == 1; }, 10000);
  const double first = Seconds(t0);
  const int rounds = 5;
  std::vector<double> handshakes;
  for (int i = 2; i <= rounds + 1; ++i) {
    server.CloseConnections();
    auto h0 = SteadyClock::now();
    server.WaitUntil([i](const nuv::sim::PushServerStats& s) {
      return s.established == 1 && static_cast<int>(s.connects.size()) >= i;
    }, 10000);
    handshakes.push_back(Seconds(h0));
  }
  double sum = 0;
  for (double h : handshakes) sum += h;
  std::printf("first connect (with the 1 s pause): %.3f s\n", first);
  std::printf("reconnect incl. 1 s pause, key exchange, connect: %.3f s average over %d\n",
              sum / rounds, rounds);

  nuv::OndekoMsgItem item;
  item.cur_userid = "bench";
  item.to_userid_list = {"a", "b"};
  item.content = std::string(200, 'x');
  auto acked = [](uint32_t seq) {
    return [seq](const nuv::sim::PushServerStats& s) { return !s.acks.empty() && s.acks.back() >= seq; };
  };
  g_notified = 0;
  auto n0 = SteadyClock::now();
  uint32_t last = 0;
  for (long i = 0; i < items; ++i) {
    item.msg_id = static_cast<uint64_t>(i + 1);
    last = server.AnnounceMessage(item);
  }
  server.WaitUntil(acked(last), 120000);
  double secs = Seconds(n0);
  std::printf("one item per frame: %ld items in %.3f s = %.0f items/s (notified %ld)\n", items, secs,
              items / secs, g_notified.load());

  g_notified = 0;
  const std::string payload = nuv::sim::EncodeNotifyPayload(item);
  auto b0 = SteadyClock::now();
  uint32_t seq = last;
  for (long i = 0; i < items; i += 100) {
    std::vector<nuv::sim::NotifyEntry> frame;
    for (long j = i; j < i + 100 && j < items; ++j) frame.push_back({static_cast<uint64_t>(j), ++seq, 0, payload});
    server.Announce(frame);
  }
  server.WaitUntil(acked(seq), 120000);
  secs = Seconds(b0);
  std::printf("100 items per frame: %ld items in %.3f s = %.0f items/s (notified %ld)\n", items, secs,
              items / secs, g_notified.load());

  auto s0 = SteadyClock::now();
  hub.reset();  // Stop and join
  std::printf("stop and join of an idle connection: %.3f s\n", Seconds(s0));
  server.Stop();
  nuv::test::RemoveTree(root);
  return 0;
}
