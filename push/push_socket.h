#pragma once
// The platform layer of the push channel: every raw socket call of the
// client and of the simulator's push server lives in push_socket.cpp.
// Sockets are TCP, non-blocking once connected, with TCP_NODELAY (small
// frames must not wait for the peer's delayed acknowledgement). Stateless
// functions; a socket is used by one thread at a time.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nuv {
namespace net {

constexpr int kInvalidSocket = -1;

// Resolves host to its first IPv4 address (dotted form) and official name.
// A numeric address is taken as it is. Name lookups run on a helper thread so
// that stop() (polled about every 100 ms) can abandon them. 0, or -1 when the
// name has no IPv4 address, -2 when stopped.
int ResolveIPv4(const std::string& host, std::string* officialName, std::string* dotted,
                const std::function<bool()>& stop);

// A fresh TCP socket (close-on-exec, TCP_NODELAY, non-blocking); -1 on failure.
int NewTcpSocket();
// Connects s to dotted:port, polling stop() about every 100 ms and giving up
// after limitMs of the process clock. 0 connected; -1 failed (error code in
// *err); -2 stopped.
int Connect(int s, const std::string& dotted, uint16_t port, const std::function<bool()>& stop,
            uint32_t limitMs, int* err);

// Waits up to timeoutMs (real time) for s to become readable, or writable
// when wantWrite, or for wakeFd (ignored when -1) to become readable.
// 1 when ready (flags set), 0 on time-out or wake-up, -1 on error.
int WaitReady(int s, int wakeFd, bool wantWrite, int timeoutMs, bool* readable, bool* writable);

// recv/send without signals. Recv: count, 0 when the peer closed, -1 on
// error; -2 when nothing is available now. Send: count sent, -1 on error
// (*err holds the code; *reset is set for a reset connection), 0 when the
// socket cannot take bytes now.
ssize_t Recv(int s, void* buf, size_t n, int* err);
ssize_t Send(int s, const void* buf, size_t n, int* err, bool* reset);
// Blocking-style send of the whole range (waits for writability); false on
// error or when the peer takes no byte for 5 s.
bool SendAll(int s, const void* buf, size_t n);

void Close(int s);
// Shuts both directions down (the peer sees the close; s stays valid).
void Shutdown(int s);

// Server side (simulator): a listening socket on host:port (port 0 picks an
// ephemeral port, reported through *boundPort); -1 on failure.
int Listen(const std::string& host, uint16_t port, uint16_t* boundPort);
// Accepts one connection (non-blocking, TCP_NODELAY); -1 when none.
int Accept(int listener);
// A socket bound to a loopback port but not listening: connects to that port
// are refused while it lives (tests of the connect back-off).
int BindWithoutListen(uint16_t* boundPort);

// A wake-up channel for poll loops (a pipe): Notify makes the read end
// readable; Drain empties it.
struct WakePipe {
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;
  void Notify();
  void Drain();
  int readFd = -1;
  int writeFd = -1;
};

// Waits for readability on fds[0..n) (real time). Sets ready[i]; returns the
// number ready, 0 on time-out, -1 on error.
int WaitReadable(const int* fds, char* ready, int n, int timeoutMs);

}  // namespace net
}  // namespace nuv
