#include "common/net_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/clock.h"

namespace nuv {
namespace net {
namespace {

void SetNoDelayNonBlocking(int s) {
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  int flags = ::fcntl(s, F_GETFL, 0);
  ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
}

// Result of a name lookup shared between the waiting thread and the helper.
struct Lookup {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  int rc = -1;
  std::string official;
  std::string dotted;
};

void RunLookup(const std::string& host, const std::shared_ptr<Lookup>& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  std::string official, dotted;
  if (rc == 0 && res) {
    char text[INET_ADDRSTRLEN] = {0};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    dotted = text;
    official = res->ai_canonname ? res->ai_canonname : host;
  }
  if (res) ::freeaddrinfo(res);
  std::lock_guard<std::mutex> g(out->mu);
  out->rc = (rc == 0 && !dotted.empty()) ? 0 : -1;
  out->official = official;
  out->dotted = dotted;
  out->done = true;
  out->cv.notify_all();
}

bool MakeAddr(const std::string& dotted, uint16_t port, sockaddr_in* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  return ::inet_pton(AF_INET, dotted.c_str(), &addr->sin_addr) == 1;
}


bool MakeAddr(const std::string& ip, uint16_t port, sockaddr_in* addr, std::string* error) {
  if (MakeAddr(ip, port, addr)) return true;
  *error = "bad IPv4 address '" + ip + "'";
  return false;
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool IsNonBlocking(int s) { return (::fcntl(s, F_GETFL, 0) & O_NONBLOCK) != 0; }

}  // namespace

// ---- blocking sockets ----

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

// ---- non-blocking sockets ----

int ResolveIPv4(const std::string& host, std::string* officialName, std::string* dotted,
                const std::function<bool()>& stop) {
  in_addr a{};
  if (::inet_pton(AF_INET, host.c_str(), &a) == 1) {
    *officialName = host;
    *dotted = host;
    return 0;
  }
  if (host.empty()) return -1;
  auto lookup = std::make_shared<Lookup>();
  // The helper owns a share of the result, so abandoning it on stop is safe.
  std::thread([host, lookup] { RunLookup(host, lookup); }).detach();
  std::unique_lock<std::mutex> lk(lookup->mu);
  while (!lookup->done) {
    if (stop()) return -2;
    // A readiness wait on another thread's work, bounded in real time.
    lookup->cv.wait_for(lk, std::chrono::milliseconds(100));
  }
  if (lookup->rc != 0) return -1;
  *officialName = lookup->official;
  *dotted = lookup->dotted;
  return 0;
}

int NewTcpSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kInvalidSocket;
  SetNoDelayNonBlocking(s);
  return s;
}

int Connect(int s, const std::string& dotted, uint16_t port, const std::function<bool()>& stop,
            uint32_t limitMs, int* err) {
  sockaddr_in addr;
  if (!MakeAddr(dotted, port, &addr)) {
    *err = EINVAL;
    return -1;
  }
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
  if (errno != EINPROGRESS) {
    *err = errno;
    return -1;
  }
  const uint32_t start = GetClock().TickMs();
  for (;;) {
    if (stop()) return -2;
    pollfd p{s, POLLOUT, 0};
    int n = ::poll(&p, 1, 100);
    if (n < 0 && errno != EINTR) {
      *err = errno;
      return -1;
    }
    if (n > 0) {
      int soerr = 0;
      socklen_t len = sizeof soerr;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soerr, &len);
      if (soerr == 0) return 0;
      *err = soerr;
      return -1;
    }
    if (GetClock().TickMs() - start >= limitMs) {
      *err = ETIMEDOUT;
      return -1;
    }
  }
}

int WaitReady(int s, int wakeFd, bool wantWrite, int timeoutMs, bool* readable, bool* writable) {
  pollfd p[2] = {{s, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                 {wakeFd, POLLIN, 0}};
  *readable = *writable = false;
  int n = ::poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (p[0].revents & POLLNVAL) return -1;
  // An error or hang-up shows as readable: the next recv reports it.
  *readable = (p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  *writable = (p[0].revents & POLLOUT) != 0;
  return (*readable || *writable) ? 1 : 0;
}

ssize_t Recv(int s, void* buf, size_t n, int* err) {
  for (;;) {
    ssize_t r = ::recv(s, buf, n, 0);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    *err = errno;
    return -1;
  }
}

ssize_t Send(int s, const void* buf, size_t n, int* err, bool* reset) {
  *reset = false;
  for (;;) {
    ssize_t r = ::send(s, buf, n, MSG_NOSIGNAL);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *err = errno;
    *reset = errno == ECONNRESET || errno == EPIPE;
    return -1;
  }
}

int Listen(const std::string& host, uint16_t port, uint16_t* boundPort) {
  sockaddr_in addr;
  if (!MakeAddr(host, port, &addr)) return kInvalidSocket;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kInvalidSocket;
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(s);
    return kInvalidSocket;
  }
  SetNoDelayNonBlocking(s);
  *boundPort = ntohs(addr.sin_port);
  return s;
}

int Accept(int listener) {
  int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (s < 0) return kInvalidSocket;
  SetNoDelayNonBlocking(s);
  return s;
}

int BindWithoutListen(uint16_t* boundPort) {
  sockaddr_in addr;
  MakeAddr("127.0.0.1", 0, &addr);
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kInvalidSocket;
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(s);
    return kInvalidSocket;
  }
  *boundPort = ntohs(addr.sin_port);
  return s;
}

WakePipe::WakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    readFd = fds[0];
    writeFd = fds[1];
  }
}

WakePipe::~WakePipe() {
  Close(readFd);
  Close(writeFd);
}

void WakePipe::Notify() {
  char c = 1;
  ssize_t r = ::write(writeFd, &c, 1);
  (void)r;
}

void WakePipe::Drain() {
  char buf[64];
  while (::read(readFd, buf, sizeof buf) > 0) {
  }
}

int WaitReadable(const int* fds, char* ready, int n, int timeoutMs) {
  std::vector<pollfd> p(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) p[i] = pollfd{fds[i], POLLIN, 0};
  int r = ::poll(p.data(), p.size(), timeoutMs);
  for (int i = 0; i < n; ++i)
    ready[i] = r > 0 && (p[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
  if (r < 0) return errno == EINTR ? 0 : -1;
  return r;
}

// ---- both ----

bool SendAll(int s, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  int idleWaits = 0;
  while (n > 0) {
    int err = 0;
    bool reset = false;
    ssize_t r = Send(s, p, n, &err, &reset);
    if (r < 0) return false;
    if (r == 0) {
      // A blocking socket only says "not now" once its send time-out passed.
      if (!IsNonBlocking(s)) return false;
      // A peer that takes nothing for 5 s is given up on.
      pollfd pf{s, POLLOUT, 0};
      int ready = ::poll(&pf, 1, 1000);
      if (ready < 0 && errno != EINTR) return false;
      if (ready == 0 && ++idleWaits >= 5) return false;
      continue;
    }
    idleWaits = 0;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void Shutdown(int s) {
  if (s >= 0) ::shutdown(s, SHUT_RDWR);
}

void Close(int s) {
  if (s >= 0) ::close(s);
}

}  // namespace net
}  // namespace nuv
