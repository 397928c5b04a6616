// The transport against a bare TCP server on loopback that records the exact
// request bytes and answers canned replies, so that header lines, the default
// content type, redirects and connection reuse can be checked on the wire.

#include "cloud/http_transport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cloud/ondeko_http.h"
#include "common/test_support.h"

namespace nuv {
namespace {

// Serves connections one after another; each may carry several requests.
class CannedHttpServer {
 public:
  explicit CannedHttpServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      std::abort();
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~CannedHttpServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string Requests() const {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
  }
  int Connections() const { return connections_; }
  int RequestCount() const { return requestCount_; }

 private:
  // Waits up to 50 ms for fd to become readable.
  bool Readable(int fd) const {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 50) > 0;
  }
  void Run() {
    while (!stop_) {
      if (!Readable(fd_)) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ++connections_;
      Serve(c);
      close(c);
    }
  }
  // Answers every complete request on the connection until the peer closes
  // it or the server stops.
  void Serve(int c) {
    std::string buf;
    char chunk[4096];
    while (!stop_) {
      size_t head = buf.find("\r\n\r\n");
      if (head != std::string::npos) {
        size_t need = head + 4 + ContentLength(buf.substr(0, head));
        if (buf.size() >= need) {
          {
            std::lock_guard<std::mutex> lk(mu_);
            requests_ += buf.substr(0, need);
          }
          ++requestCount_;
          buf.erase(0, need);
          if (send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL) < 0) return;
          continue;
        }
      }
      if (!Readable(c)) continue;
      ssize_t n = recv(c, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buf.append(chunk, static_cast<size_t>(n));
    }
  }
  static size_t ContentLength(const std::string& head) {
    size_t p = head.find("Content-Length: ");
    return p == std::string::npos ? 0 : std::strtoul(head.c_str() + p + 16, nullptr, 10);
  }

  const std::string reply_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> requestCount_{0};
  mutable std::mutex mu_;  // guards requests_
  std::string requests_;
  std::thread thread_;
};

const char kOkReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

class HttpTransportTest : public ::testing::Test {
 protected:
  // The canned server speaks plain HTTP on loopback: a lab setting.
  HttpTransportTest() { opt_.verify_tls = false; }
  void TearDown() override { SetConnectionReuse(true); }
  CloudSettings opt_;
};

TEST_F(HttpTransportTest, OnlyHttpsLeavesTheMachineAndRepliesAreBounded) {
  CannedHttpServer server(kOkReply);
  CloudSettings verified;  // the default
  std::string why, reply;
  EXPECT_TRUE(UrlAllowed("https://api.example.net/cgi-bin/x", verified, &why));
  EXPECT_FALSE(UrlAllowed(server.Url("/x"), verified, &why));
  EXPECT_NE(why.find("clear"), std::string::npos) << why;
  EXPECT_EQ(HttpPost(server.Url("/x"), {"skey: secret"}, "{}", reply, verified), 1);
  EXPECT_TRUE(UrlAllowed(server.Url("/x"), opt_, &why));
  EXPECT_FALSE(UrlAllowed("http://10.1.2.3/x", opt_, &why));
  EXPECT_FALSE(UrlAllowed("file:///etc/shadow", opt_, &why));
  EXPECT_FALSE(UrlAllowed("ftp://127.0.0.1/x", opt_, &why));
  EXPECT_FALSE(UrlAllowed("gopher", opt_, &why));
  test::TempInstallRoot root;
  std::string headers;
  EXPECT_EQ(HttpDownload("file:///etc/hostname", {}, root.root() + "/f", headers, opt_), 1);
  EXPECT_FALSE(test::FileExists(root.root() + "/f"));
  EXPECT_EQ(server.Connections(), 0);  // nothing was sent anywhere

  EXPECT_TRUE(UrlIsOnHost("https://API.example.net:443/x", "api.example.net"));
  EXPECT_TRUE(UrlIsOnHost("https://127.0.0.1:8443/x?y", "127.0.0.1:8443"));
  EXPECT_FALSE(UrlIsOnHost("https://127.0.0.1:8444/x", "127.0.0.1:8443"));
  EXPECT_FALSE(UrlIsOnHost("https://api.example.net.evil.org/x", "api.example.net"));
  EXPECT_FALSE(UrlIsOnHost("https://localhost:8443/x", "127.0.0.1:8443"));

  CloudSettings small = opt_;
  small.max_reply_bytes = 4;
  EXPECT_EQ(HttpPost(server.Url("/x"), {}, "", reply, small), 63);  // "hello" is 5
  CannedHttpServer flood("HTTP/1.1 200 OK\r\n" + std::string(70000, 'x') + ": y\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(HttpPost(flood.Url("/x"), {}, "", reply, opt_), 63);
}

TEST_F(HttpTransportTest, PostSendsHeadersBodyAndDefaultFormType) {
  CannedHttpServer server(kOkReply);
  std::string reply = "kept:";
  ASSERT_EQ(HttpPost(server.Url("/cgi-bin/x"), {"vid: 1001", "skey;"}, std::string("a\0b", 3),
                     reply, opt_),
            0);
  EXPECT_EQ(reply, "kept:hello");
  std::string req = server.Requests();
  EXPECT_EQ(req.rfind("POST /cgi-bin/x HTTP/1.1\r\n", 0), 0u) << req;
  EXPECT_NE(req.find("\r\nvid: 1001\r\n"), std::string::npos) << req;
  EXPECT_NE(req.find("\r\nskey:\r\n"), std::string::npos) << req;  // empty, but sent
  EXPECT_NE(req.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
  EXPECT_EQ(req.substr(req.size() - 3), std::string("a\0b", 3));

  std::string empty;
  ASSERT_EQ(HttpPost(server.Url("/e"), {}, "", empty, opt_), 0);
  EXPECT_NE(server.Requests().find("Content-Length: 0\r\n"), std::string::npos);
}

TEST_F(HttpTransportTest, RedirectsAreNotFollowed) {
  CannedHttpServer server(
      "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 5\r\n\r\nmoved");
  std::string reply;
  ASSERT_EQ(HttpPost(server.Url("/a"), {}, "{}", reply, opt_), 0);
  EXPECT_EQ(reply, "moved");
  EXPECT_EQ(server.RequestCount(), 1);
}

TEST_F(HttpTransportTest, MultipartUploadHasOneFilePart) {
  test::TempInstallRoot root;
  std::string path = root.root() + "/report.csv";
  test::WriteWholeFile(path, "a,b\r\n");
  CannedHttpServer server(kOkReply);
  std::string reply;
  ASSERT_EQ(HttpPostFile(server.Url("/up"), {"vid: 7"}, path, reply, opt_), 0);
  EXPECT_EQ(reply, "hello");
  std::string req = server.Requests();
  EXPECT_NE(req.find("Content-Type: multipart/form-data; boundary="), std::string::npos);
  EXPECT_NE(req.find("Content-Disposition: form-data; name=\"file\"; filename=\"report.csv\""),
            std::string::npos)
      << req;
  EXPECT_NE(req.find("\r\n\r\na,b\r\n\r\n--"), std::string::npos);

  std::string none;
  EXPECT_NE(HttpPostFile(server.Url("/up"), {}, root.root() + "/missing", none, opt_), 0);
}

TEST_F(HttpTransportTest, DownloadCreatesTheFileOnlyForBodyBytes) {
  test::TempInstallRoot root;
  CannedHttpServer empty("HTTP/1.1 200 OK\r\nX-Tag: 1\r\nContent-Length: 0\r\n\r\n");
  std::string headers;
  ASSERT_EQ(HttpDownload(empty.Url("/d"), {}, root.root() + "/f", headers, opt_), 0);
  EXPECT_FALSE(test::FileExists(root.root() + "/f"));
  EXPECT_NE(headers.find("X-Tag: 1\r\n"), std::string::npos);

  CannedHttpServer body(kOkReply);
  ASSERT_EQ(HttpDownload(body.Url("/d"), {}, root.root() + "/f", headers, opt_), 0);
  EXPECT_EQ(test::ReadWholeFile(root.root() + "/f"), "hello");
  EXPECT_EQ(HttpDownload(body.Url("/d"), {}, root.root() + "/no/such/dir/f", headers, opt_),
            23);  // write error
}

// An error reply to a download whose header names come lower-case (as over
// HTTP/2) is still read as the error it is and leaves no file behind.
TEST_F(HttpTransportTest, DownloadErrorWithLowerCaseHeaderNameLeavesNoFile) {
  test::TempInstallRoot root;
  CannedHttpServer server(
      "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: 33\r\n\r\n"
      "{\"errcode\":40006,\"errmsg\":\"gone\"}");
  COndekoHttp http(opt_);
  DownloadFileReply rsp;
  const std::string dir = root.root() + "/";
  ASSERT_EQ(http.DownloadFile(1, "k", DownloadFileRequest{server.Url("/d?media_id=abc"), dir}, rsp),
            kApiOk);
  EXPECT_EQ(rsp.errCode, 40006);
  EXPECT_EQ(rsp.message, "gone");
  EXPECT_FALSE(test::FileExists(dir + "abc"));
}

TEST_F(HttpTransportTest, ThreadReusesItsConnectionUnlessTurnedOff) {
  CannedHttpServer server(kOkReply);
  std::string r;
  SetConnectionReuse(true);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(HttpPost(server.Url("/r"), {}, "x", r, opt_), 0);
  EXPECT_EQ(server.Connections(), 1);
  SetConnectionReuse(false);  // also drops the kept connection
  for (int i = 0; i < 2; ++i) ASSERT_EQ(HttpPost(server.Url("/r"), {}, "x", r, opt_), 0);
  EXPECT_EQ(server.RequestCount(), 5);
  EXPECT_EQ(server.Connections(), 3);
}

}  // namespace
}  // namespace nuv
