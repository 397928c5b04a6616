// The status endpoint over real loopback sockets: what each route answers,
// what promtool makes of the exposition, bad requests, slow clients and a
// port that is taken.
#include "service/status_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/test_support.h"

namespace nuv {
namespace {

int Connect(uint16_t port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  timeval tv{5, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

// Sends raw bytes on a new connection and returns everything answered until
// the server closes it (or 5 s pass).
std::string Exchange(uint16_t port, const std::string& request) {
  int s = Connect(port);
  if (s < 0) return "";
  ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(s, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(s);
  return reply;
}

std::string Get(uint16_t port, const std::string& path) {
  return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

std::string Body(const std::string& reply) {
  const size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : reply.substr(at + 4);
}

WorkerGauges SomeGauges() {
  WorkerGauges g;
  g.pid = 77;
  g.processorStatus = 1;
  g.imUp = false;  // with no push connection either: unhealthy
  g.queues[2] = 3;
  g.journal = true;
  g.journalParked = 1;
  g.oldestParkedAgeSec = 95;
  g.logFile = "/x/Logs/2026-12.log";
  return g;
}

class StatusEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(endpoint_.Start("127.0.0.1", 0, &why)) << why;
    port_ = endpoint_.port();
    ASSERT_NE(port_, 0);
  }
  StatusEndpoint endpoint_{SomeGauges};
  uint16_t port_ = 0;
};

TEST_F(StatusEndpointTest, RoutesAnswerAndPromtoolAcceptsTheExposition) {
  Metrics().CountMessage(MetricDirection::kImToCloud, MetricKind::kText, MetricOutcome::kDelivered);
  Metrics().ObserveDelivery(MetricDirection::kImToCloud, 1200);
  Metrics().CountCloudRequest("send_msg", CloudCallResult::kOk);

  const std::string metrics = Get(port_, "/metrics");
  ASSERT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
  const std::string text = Body(metrics);
  EXPECT_NE(text.find("nuv4ondeko_messages_total{direction=\"im_to_cloud\",kind=\"text\",outcome=\"delivered\"} 1\n"),
            std::string::npos);
  // 1.2 s is above the 1 s bucket and within 1.25 s.
  EXPECT_NE(text.find("nuv4ondeko_delivery_seconds_bucket{direction=\"im_to_cloud\",le=\"1\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("nuv4ondeko_delivery_seconds_bucket{direction=\"im_to_cloud\",le=\"1.25\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("nuv4ondeko_queue_items{queue=\"TXT2ONDEKO\"} 3\n"), std::string::npos);
  EXPECT_NE(text.find("nuv4ondeko_cloud_requests_total{op=\"send_msg\",result=\"ok\"} 1\n"), std::string::npos);

  // The real linter of the format.
  test::TempInstallRoot root;
  const std::string file = root.root() + "/metrics.txt";
  test::WriteWholeFile(file, text);
  const std::string cmd = "promtool check metrics < '" + file + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string lint;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) lint += buf;
  const int rc = ::pclose(p);
  EXPECT_EQ(rc, 0) << "promtool (scripts/install-deps.sh installs prometheus): " << lint;
  EXPECT_EQ(lint, "");

  const std::string health = Get(port_, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 503", 0), 0u) << health;
  EXPECT_EQ(Body(health), "{\"im\":\"down\",\"processor\":\"START\",\"push\":\"down\"}\n");
  const std::string status = Body(Get(port_, "/status"));
  EXPECT_NE(status.find("\"log_file\":\"/x/Logs/2026-12.log\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"oldest_parked_age_seconds\":95"), std::string::npos) << status;
}

TEST_F(StatusEndpointTest, BadRequestsSlowClientsAndATakenPort) {
  EXPECT_EQ(Get(port_, "/nothing").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(Exchange(port_, "NONSENSE\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
  const std::string big(4096, 'x');
  const std::string posted = Exchange(
      port_, "POST /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 4096\r\n\r\n" + big);
  EXPECT_EQ(posted.rfind("HTTP/1.1 413", 0), 0u) << posted.substr(0, 80);

  // Clients that connect and say nothing: more than there are request
  // threads. A real request is still answered once their read time-out
  // (2 s) has freed a thread.
  int silent[3];
  for (int& s : silent) s = Connect(port_);
  const auto t0 = std::chrono::steady_clock::now();
  const std::string health = Get(port_, "/healthz");
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  for (int s : silent) ::close(s);
  EXPECT_EQ(health.rfind("HTTP/1.1 503", 0), 0u) << health;
  EXPECT_LT(waited, 4.5);

  // Another endpoint on the same port is told it is taken.
  StatusEndpoint second(SomeGauges);
  std::string why;
  EXPECT_FALSE(second.Start("127.0.0.1", port_, &why));
  EXPECT_NE(why.find("in use"), std::string::npos) << why;
}

TEST(StatusListenTest, AddressesAreReadOrRefused) {
  std::string host, why;
  uint16_t port = 1;
  ASSERT_TRUE(ParseListenAddress("9170", &host, &port, &why));
  EXPECT_EQ(host + ":" + std::to_string(port), "127.0.0.1:9170");
  ASSERT_TRUE(ParseListenAddress("0.0.0.0:0", &host, &port, &why));
  EXPECT_EQ(host + ":" + std::to_string(port), "0.0.0.0:0");
  ASSERT_TRUE(ParseListenAddress("[::1]:9171", &host, &port, &why));
  EXPECT_EQ(host, "::1");
  for (const char* bad : {"host:", "127.0.0.1:65536", "::1:9170", "[::1]9170", "a:b", "127.0.0.1:-1"})
    EXPECT_FALSE(ParseListenAddress(bad, &host, &port, &why)) << bad;
}

}  // namespace
}  // namespace nuv
