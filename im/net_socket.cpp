#include "im/net_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace nuv {
namespace net {
namespace {

bool MakeAddr(const std::string& ip, uint16_t port, sockaddr_in* addr, std::string* error) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &addr->sin_addr) != 1) {
    *error = "bad IPv4 address '" + ip + "'";
    return false;
  }
  return true;
}

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

int ConnectTcp(const std::string& ip, uint16_t port, std::string* error) {
  sockaddr_in addr;
  if (!MakeAddr(ip, port, &addr, error)) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  // Bounds a connect to an address that does not answer; writes stay
  // bounded too if the peer stops reading.
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "connect " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  SetNoDelay(fd);
  return fd;
}

int ListenTcp(const std::string& ip, uint16_t port, uint16_t* boundPort, std::string* error) {
  sockaddr_in addr;
  if (!MakeAddr(ip, port, &addr, error)) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
    *error = "listen " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  socklen_t alen = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen);
  if (boundPort) *boundPort = ntohs(addr.sin_port);
  return fd;
}

int AcceptTcp(int listenFd) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNoDelay(fd);
      return fd;
    }
    if (errno != EINTR && errno != ECONNABORTED) return -1;
  }
}

bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

long RecvSome(int fd, char* buf, size_t len) {
  for (;;) {
    ssize_t n = ::recv(fd, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

void Shutdown(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void Close(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace net
}  // namespace nuv
