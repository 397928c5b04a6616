// The one socket layer: its blocking and non-blocking halves talk to each
// other, and SendAll gives up on a peer that stops reading as each half's
// sockets demand.
#include "common/net_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <string>
#include <thread>

namespace nuv {
namespace {

TEST(NetSocket, BlockingClientAndNonBlockingServerExchangeBytes) {
  uint16_t port = 0;
  int listener = net::Listen("127.0.0.1", 0, &port);
  ASSERT_GE(listener, 0);
  ASSERT_NE(port, 0);
  std::string error;
  int client = net::ConnectTcp("127.0.0.1", port, &error);
  ASSERT_GE(client, 0) << error;
  int server = -1;
  for (int i = 0; i < 500 && server < 0; ++i) {
    int fds[1] = {listener};
    char ready[1] = {0};
    net::WaitReadable(fds, ready, 1, 10);
    server = net::Accept(listener);
  }
  ASSERT_GE(server, 0);

  const std::string big(1 << 20, 'x');  // more than the socket buffers take at once
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    while (got.size() < big.size()) {
      long n = net::RecvSome(client, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  EXPECT_TRUE(net::SendAll(server, big.data(), big.size()));  // non-blocking side waits for room
  reader.join();
  EXPECT_EQ(got, big);

  ASSERT_TRUE(net::SendAll(client, "ping", 4));
  char buf[8];
  int err = 0;
  ssize_t n = -2;
  for (int i = 0; i < 500 && n == -2; ++i) {
    bool readable = false, writable = false;
    net::WaitReady(server, -1, false, 10, &readable, &writable);
    n = net::Recv(server, buf, sizeof buf, &err);
  }
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "ping");

  // Shutdown lets the peer see the end.
  net::Shutdown(client);
  n = -2;
  for (int i = 0; i < 500 && n == -2; ++i) {
    bool readable = false, writable = false;
    net::WaitReady(server, -1, false, 10, &readable, &writable);
    n = net::Recv(server, buf, sizeof buf, &err);
  }
  EXPECT_EQ(n, 0);
  net::Close(client);
  net::Close(server);
  net::Close(listener);
}

TEST(NetSocket, BlockingSendAllGivesUpWhenItsSendTimeOutPasses) {
  std::string error;
  uint16_t port = 0;
  int listener = net::ListenTcp("127.0.0.1", 0, &port, &error);
  ASSERT_GE(listener, 0) << error;
  int client = net::ConnectTcp("127.0.0.1", port, &error);
  ASSERT_GE(client, 0) << error;
  int server = net::AcceptTcp(listener);  // never reads
  ASSERT_GE(server, 0);
  timeval tv{0, 50 * 1000};
  ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);

  // A blocking socket's own time-out is the bound: no further waiting for
  // writability on top of it.
  const std::string big(64 << 20, 'y');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(net::SendAll(client, big.data(), big.size()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  net::Close(client);
  net::Close(server);
  net::Close(listener);
}

}  // namespace
}  // namespace nuv
