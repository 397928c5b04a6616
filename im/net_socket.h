#pragma once
// The raw TCP socket calls of the IM client and the IM server simulator, kept
// in this one place. Blocking sockets on IPv4; every socket gets TCP_NODELAY
// (small request and event frames must not wait for delayed acknowledgements).
// Stateless functions; any thread.

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv {
namespace net {

// Connects to ip:port. Returns the socket, or -1 with *error set.
int ConnectTcp(const std::string& ip, uint16_t port, std::string* error);
// Listens on ip:port (port 0: an ephemeral port, written to *boundPort).
int ListenTcp(const std::string& ip, uint16_t port, uint16_t* boundPort, std::string* error);
// Waits for a connection; -1 when the listening socket was shut down.
int AcceptTcp(int listenFd);
// Writes all bytes; false when the peer is gone.
bool SendAll(int fd, const char* data, size_t len);
// Reads what is there (blocking): > 0 bytes read, 0 peer closed, -1 error.
long RecvSome(int fd, char* buf, size_t len);
// Wakes a thread blocked on the socket (recv, accept) without closing it.
void Shutdown(int fd);
void Close(int fd);

}  // namespace net
}  // namespace nuv
