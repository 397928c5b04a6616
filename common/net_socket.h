#pragma once
// The one platform layer of the service's TCP sockets: every raw socket call
// of the IM client, the push channel and the simulators' servers lives in
// net_socket.cpp. IPv4 only; every socket gets TCP_NODELAY (small request,
// event and push frames must not wait for the peer's delayed
// acknowledgement) and close-on-exec. Two families of calls share it:
//   - blocking sockets (the IM connection): ConnectTcp, ListenTcp,
//     AcceptTcp, RecvSome;
//   - non-blocking sockets driven by poll loops (the push channel):
//     NewTcpSocket, Connect, Listen, Accept, WaitReady, Recv, Send.
// SendAll, Shutdown and Close serve both. Stateless functions; a socket is
// used by one thread at a time (Shutdown excepted: it wakes another thread).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nuv {
namespace net {

constexpr int kInvalidSocket = -1;

// ---- blocking sockets ----

// Connects to ip:port (blocking, sends bounded to 5 s). Returns the socket,
// or -1 with *error set.
int ConnectTcp(const std::string& ip, uint16_t port, std::string* error);
// Listens on ip:port (port 0: an ephemeral port, written to *boundPort).
int ListenTcp(const std::string& ip, uint16_t port, uint16_t* boundPort, std::string* error);
// Waits for a connection; -1 when the listening socket was shut down.
int AcceptTcp(int listenFd);
// Reads what is there (blocking): > 0 bytes read, 0 peer closed, -1 error.
long RecvSome(int fd, char* buf, size_t len);

// ---- non-blocking sockets ----

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

// Server side (simulators): a non-blocking listening socket on host:port
// (port 0 picks an ephemeral port, reported through *boundPort); -1 on failure.
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

// ---- both ----

// Writes the whole range; false when the peer is gone. A blocking socket
// gives up when its own send time-out passes; a non-blocking one waits for
// writability and gives up when the peer takes no byte for 5 s.
bool SendAll(int s, const void* buf, size_t n);
// Shuts both directions down: wakes a thread blocked on the socket (recv,
// accept) and lets the peer see the close, without closing it.
void Shutdown(int s);
void Close(int s);

}  // namespace net
}  // namespace nuv
