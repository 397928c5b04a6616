// The worker's status endpoint with the real programs: its counts follow
// real traffic both ways (delivered, refused, parked, attachments, cloud
// requests, delivery times), its health follows the IM server, -Status
// reads it from a running and a stopped bridge, and a real Prometheus
// server scrapes it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "common/paths.h"
#include "service/e2e/bridge_rig.h"

namespace nuv {
namespace e2e {
namespace {

// Files up to 1 MiB, images up to 512 KiB.
const char kSmallLimits[] = "0;0;1048576;524288;99;0;0;0;";

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// The value of one series of an exposition ("name{labels}"), -1 when absent.
double Sample(const std::string& text, const std::string& series) {
  const std::string key = series + " ";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    if (at == 0 || text[at - 1] == '\n') return std::atof(text.c_str() + at + key.size());
  }
  return -1;
}

std::string Messages(const char* direction, const char* kind, const char* outcome) {
  return std::string("nuv4ondeko_messages_total{direction=\"") + direction + "\",kind=\"" + kind + "\",outcome=\"" +
         outcome + "\"}";
}

TEST(StatusE2E, CountsFollowRealTrafficAndHealthFollowsTheImServer) {
  RigOptions o;
  o.generalconf = kSmallLimits;
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;
  ASSERT_NE(rig.StatusPort(), 0) << rig.Diagnostics();
  EXPECT_EQ(rig.Status("/healthz").status, 200) << rig.Status("/healthz").body;

  // A text, a file and a broadcast each way (the IM has no broadcasts to send).
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, "status: text up").empty());
  ASSERT_NE(rig.CloudUserSends("zhang", {"alice"}, "status: text down"), 0u);
  Json::Value bc;
  bc["msg_type"] = 1;
  bc["chatname"] = "通知";
  ASSERT_NE(rig.CloudUserSends("admin", {"alice", "bob"}, "status: broadcast", bc), 0u);
  const std::string plan = RandomBytes(100 * 1024 + 1, 1), pic = RandomBytes(20 * 1024 + 3, 2);
  Json::Value down;
  down["file_id_list"].append(rig.CloudPutMedia("plan.bin", plan, false));
  down["image_id_list"].append(rig.CloudPutMedia("pic.png", pic, true));
  ASSERT_NE(rig.CloudUserSends("zhang", {"alice"}, "", down), 0u);
  const std::string report = RandomBytes(50 * 1024 + 7, 3);
  Json::Value up(Json::arrayValue);
  up.append(Json::Value(Json::objectValue));
  up[0]["name"] = "report.bin";
  up[0]["data"] = Base64Encode(report);
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, "status: file up", up).empty());
  ASSERT_EQ(rig.WaitCloudSent(BridgeRig::SentWithContent("status: text up"), 15).size(), 1u);
  ASSERT_EQ(rig.WaitCloudSent(BridgeRig::SentWithContent("status: file up"), 20).size(), 1u);
  ASSERT_EQ(rig.WaitImMessages(BridgeRig::ImWithText("status: text down"), 15).size(), 1u);
  auto isBroadcast = [](const Json::Value& m) { return m["content"].asString() == "status: broadcast"; };
  ASSERT_TRUE(WaitUntil([&] { return rig.ImSysMessages(isBroadcast).size() == 2; }, 15));
  ASSERT_TRUE(WaitUntil([&] { return rig.Im("/sentfiles").json.size() == 2; }, 20)) << rig.Im("/sentfiles").body;

  // The cloud refuses one text twice: refused. Its upload proxy is away for
  // both attempts of a file: parked by the journal.
  auto twice = [&](const char* endpoint, const char* kind, const char* key, int value) {
    Json::Value f;
    f["endpoint"] = endpoint;
    f["kind"] = kind;
    f[key] = value;
    f["count"] = 2;
    return rig.CloudPost("/faults", f).ok();
  };
  ASSERT_TRUE(twice("send_msg", "errcode", "errCode", 40099));
  ASSERT_TRUE(twice("get_upload_file_url", "status", "httpStatus", 503));
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, "status: refused").empty());
  up[0]["name"] = "later.bin";
  ASSERT_FALSE(rig.ImUserSends("alice", {"bob"}, "status: parked", up).empty());
  std::string text;
  ASSERT_TRUE(WaitUntil(
      [&] {
        text = rig.Status("/metrics").body;
        return Sample(text, Messages("im_to_cloud", "text", "refused")) == 1 &&
               Sample(text, Messages("im_to_cloud", "file", "parked")) == 1;
      },
      30))
      << text << rig.Diagnostics();

  EXPECT_EQ(Sample(text, Messages("im_to_cloud", "text", "delivered")), 1);
  EXPECT_EQ(Sample(text, Messages("im_to_cloud", "file", "delivered")), 1);
  EXPECT_EQ(Sample(text, Messages("cloud_to_im", "text", "delivered")), 1);
  EXPECT_EQ(Sample(text, Messages("cloud_to_im", "broadcast", "delivered")), 1);
  EXPECT_EQ(Sample(text, Messages("cloud_to_im", "file", "delivered")), 1);
  EXPECT_EQ(Sample(text, Messages("cloud_to_im", "text", "dropped")), 0);
  EXPECT_EQ(Sample(text, "nuv4ondeko_attachments_total{direction=\"cloud_to_im\",outcome=\"delivered\"}"), 2);
  EXPECT_EQ(Sample(text, "nuv4ondeko_attachment_bytes_total{direction=\"cloud_to_im\"}"), plan.size() + pic.size());
  EXPECT_EQ(Sample(text, "nuv4ondeko_attachments_total{direction=\"im_to_cloud\",outcome=\"delivered\"}"), 1);
  EXPECT_EQ(Sample(text, "nuv4ondeko_attachment_bytes_total{direction=\"im_to_cloud\"}"), report.size());
  EXPECT_EQ(Sample(text, "nuv4ondeko_cloud_requests_total{op=\"send_msg\",result=\"refused\"}"), 2);
  EXPECT_EQ(Sample(text, "nuv4ondeko_cloud_requests_total{op=\"get_upload_file_url\",result=\"transport\"}"), 2);
  EXPECT_GE(Sample(text, "nuv4ondeko_cloud_requests_total{op=\"send_msg\",result=\"ok\"}"), 2);
  EXPECT_EQ(Sample(text, "nuv4ondeko_journal_entries{state=\"parked\"}"), 1);
  // IM messages wait out the combining window: none is delivered within 1 s.
  EXPECT_EQ(Sample(text, "nuv4ondeko_delivery_seconds_count{direction=\"im_to_cloud\"}"), 2);
  EXPECT_EQ(Sample(text, "nuv4ondeko_delivery_seconds_bucket{direction=\"im_to_cloud\",le=\"1\"}"), 0);
  EXPECT_EQ(Sample(text, "nuv4ondeko_delivery_seconds_count{direction=\"cloud_to_im\"}"), 3);
  EXPECT_EQ(Sample(text, "nuv4ondeko_im_connected"), 1);
  EXPECT_EQ(Sample(text, "nuv4ondeko_push_connected"), 1);
  EXPECT_EQ(Sample(text, "nuv4ondeko_worker_restarts_total"), 0);
  EXPECT_GT(Sample(text, "nuv4ondeko_worker_start_time_seconds"), 1.7e9);

  std::string out;
  EXPECT_EQ(rig.RunExe({"-Status"}, &out), 0) << out;
  EXPECT_NE(out.find("Nuv4OndekoService: healthy"), std::string::npos) << out;
  EXPECT_NE(out.find("IM -> cloud: 2 delivered (1 text, 1 file), 1 refused, 0 dropped, 1 parked"), std::string::npos)
      << out;
  EXPECT_NE(out.find("log: " + rig.root().root() + "/Logs/"), std::string::npos) << out;

  // The IM server goes away: unhealthy, naming the IM; back: healthy again
  // once the bridge has gone through its stop and start (about 25 s).
  rig.StopImSimulator();
  ControlAnswer health;
  EXPECT_TRUE(WaitUntil([&] { return (health = rig.Status("/healthz")).status == 503; }, 15)) << health.body;
  EXPECT_EQ(health.json["im"].asString(), "down") << health.body;
  ASSERT_TRUE(rig.RestartImSimulator(&why)) << why;
  EXPECT_TRUE(WaitUntil([&] { return (health = rig.Status("/healthz")).status == 200; }, 75))
      << health.body << rig.Diagnostics();
  EXPECT_EQ(rig.WorkerPids().size(), 1u);
}

TEST(StatusE2E, StatusCommandAndRestartsOfARunningThenStoppedBridge) {
  BridgeRig rig;
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;
  std::string out;
  EXPECT_EQ(rig.RunExe({"-Status"}, &out), 0) << out;
  EXPECT_NE(out.find("0 restart(s) by the watchdog"), std::string::npos) << out;

  // The watchdog's next worker knows it is a restart.
  const pid_t first = rig.LastWorker();
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  ASSERT_NE(rig.WaitNewWorker(first, 10), 0);
  ASSERT_TRUE(rig.WaitBridgeUp(30)) << rig.Diagnostics();
  std::string text;
  EXPECT_TRUE(WaitUntil(
      [&] { return Sample(text = rig.Status("/metrics").body, "nuv4ondeko_worker_restarts_total") == 1; }, 10))
      << text;
  EXPECT_EQ(rig.RunExe({"-Status"}, &out), 0) << out;
  EXPECT_NE(out.find("1 restart(s) by the watchdog"), std::string::npos) << out;

  // Stopped: not running, exit code 3.
  const pid_t worker = rig.LastWorker();
  rig.watchdog().Stop(10);
  ASSERT_TRUE(WaitUntil([&] { return ProcessGone(worker); }, 5));
  EXPECT_EQ(rig.RunExe({"-Status"}, &out), 3) << out;
  EXPECT_NE(out.find("Nuv4OndekoService: not running"), std::string::npos) << out;

  // Turned off: the command says it cannot tell, exit code 4.
  const std::string ini = rig.root().config() + "service.ini";
  std::string settings = test::ReadWholeFile(ini);
  const size_t at = settings.find("listen = 127.0.0.1:0");
  ASSERT_NE(at, std::string::npos);
  settings.replace(at, std::string("listen = 127.0.0.1:0").size(), "listen =");
  test::WriteWholeFile(ini, settings);
  EXPECT_EQ(rig.RunExe({"-Status"}, &out), 4) << out;
  EXPECT_NE(out.find("[status] listen is empty"), std::string::npos) << out;
}

TEST(StatusE2E, PortInUseLeavesTheBridgeRunningWithoutTheEndpoint) {
  // A port that something else listens on.
  const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string listen = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

  RigOptions o;
  o.statusListen = listen;
  BridgeRig rig(o);
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;
  EXPECT_TRUE(rig.WaitLog("StatusEndpoint cannot listen on " + listen + " (Address already in use): the bridge runs "
                          "without the status endpoint",
                          5))
      << rig.Diagnostics();
  EXPECT_TRUE(rig.BothWays("without the status endpoint").ok);
  EXPECT_EQ(rig.CountLog("StatusEndpoint"), 1);
  ::close(taken);
}

// A Prometheus server on loopback (any free port, its own storage) that
// scrapes one target every second. The destructor stops it.
class Prometheus {
 public:
  explicit Prometheus(std::string dir) : dir_(std::move(dir)) {}
  bool Start(uint16_t target, std::string* why) {
    MakeDirs(dir_ + "/data");
    test::WriteWholeFile(dir_ + "/prometheus.yml",
                         "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                         "scrape_configs:\n  - job_name: nuv4ondeko\n    static_configs:\n"
                         "      - targets: ['127.0.0.1:" +
                             std::to_string(target) + "']\n");
    if (!process_.Start("/usr/bin/prometheus",
                        {"--config.file=" + dir_ + "/prometheus.yml", "--storage.tsdb.path=" + dir_ + "/data",
                         "--web.listen-address=127.0.0.1:0"},
                        CleanEnvironment(), dir_ + "/prometheus.out")) {
      *why = "cannot start /usr/bin/prometheus (scripts/install-deps.sh installs it)";
      return false;
    }
    // It says where it listens: msg="Listening on" address=127.0.0.1:PORT
    const std::string mark = "msg=\"Listening on\" address=127.0.0.1:";
    if (!process_.WaitForOutput(mark, 20)) {
      *why = "prometheus did not start: " + process_.Output();
      return false;
    }
    const std::string out = process_.Output();
    port_ = static_cast<uint16_t>(std::atoi(out.c_str() + out.find(mark) + mark.size()));
    return port_ != 0;
  }
  // The value of an instant query with one result, -1 when none.
  double Query(const std::string& expr) {
    std::string q;
    for (unsigned char c : expr) {
      if (std::isalnum(c) || c == '_') q += static_cast<char>(c);
      else q += StrFormatHex(c);
    }
    ControlAnswer a = ControlGet(port_, "/api/v1/query?query=" + q);
    const Json::Value& r = a.json["data"]["result"];
    if (a.json["status"].asString() != "success" || r.size() != 1) return -1;
    return std::atof(r[0]["value"][1].asString().c_str());
  }
  std::string Output() const { return process_.Output(); }

 private:
  static std::string StrFormatHex(unsigned char c) {
    char b[4];
    std::snprintf(b, sizeof b, "%%%02X", c);
    return b;
  }
  std::string dir_;
  Subprocess process_;
  uint16_t port_ = 0;
};

TEST(StatusE2E, PrometheusScrapesTheDeliveredCountsAndPromtoolAcceptsThem) {
  BridgeRig rig;
  std::string why;
  ASSERT_TRUE(rig.StartAll(&why)) << why;
  Prometheus prometheus(rig.root().root() + "/prometheus");
  ASSERT_TRUE(prometheus.Start(rig.StatusPort(), &why)) << why;
  ASSERT_TRUE(rig.BothWays("scraped").ok) << rig.Diagnostics();

  const std::string sum = "sum(nuv4ondeko_messages_total{outcome=\"delivered\",direction=\"";
  double toCloud = -1, toIm = -1;
  EXPECT_TRUE(WaitUntil(
      [&] {
        toCloud = prometheus.Query(sum + "im_to_cloud\"})");
        toIm = prometheus.Query(sum + "cloud_to_im\"})");
        return toCloud == 1 && toIm == 1;
      },
      20, 250))
      << "im_to_cloud " << toCloud << ", cloud_to_im " << toIm << "\n"
      << prometheus.Output();
  EXPECT_EQ(prometheus.Query("up{job=\"nuv4ondeko\"}"), 1);

  const std::string file = rig.root().root() + "/metrics.txt";
  test::WriteWholeFile(file, rig.Status("/metrics").body);
  std::string lint;
  FILE* p = ::popen(("promtool check metrics < '" + file + "' 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) lint += buf;
  EXPECT_EQ(::pclose(p), 0) << lint;
  EXPECT_EQ(lint, "");
}

}  // namespace
}  // namespace e2e
}  // namespace nuv
