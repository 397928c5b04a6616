#pragma once
// One client connection of the SDK layer to the IM server: connects lazily on
// the first call, sends request frames and waits for the matching reply on the
// process clock, and hands every event frame to its event thread, in arrival
// order. When the server goes away it fails the waiting calls and reports the
// loss on the event thread; the next call connects again. Owned by one SDK
// object; Call may be used from any thread, events and the loss notice run on
// the connection's own event thread, frames are read on its reader thread.
// A handler may destroy the connection from the event thread: the events
// still queued are then dropped and the thread ends without touching it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "im/wire_codec.h"

namespace nuv {

// Codes of the SDK errors the client raises itself.
constexpr uint32_t kSdkErrServerUnavailable = 0x800706BA;  // cannot reach or lost the server
constexpr uint32_t kSdkErrTimeout = 0x800705B4;            // no reply in time
constexpr uint32_t kSdkErrFail = 0x80004005;               // unspecified failure
constexpr uint32_t kSdkErrInvalidArg = 0x80070057;         // bad argument or data

class ImConnection {
 public:
  using EventFn = std::function<void(WireFrame&)>;
  using LostFn = std::function<void(const std::string& why)>;

  // name: for log lines ("app", "filemonitor", "root").
  explicit ImConnection(std::string name);
  ~ImConnection();
  ImConnection(const ImConnection&) = delete;
  ImConnection& operator=(const ImConnection&) = delete;

  // Where the next connect goes; a live connection is kept.
  void SetEndpoint(const std::string& ip, uint16_t port);
  void SetIp(const std::string& ip);
  void SetPort(uint16_t port);
  std::string ip() const;
  uint16_t port() const;
  // Set once by the owner before the first call.
  void SetHandlers(EventFn onEvent, LostFn onLost);

  // Sends op with args (and body) and returns the reply frame. Raises
  // NuvSdkError when the server cannot be reached, the connection is lost,
  // no reply comes within the call limit, or the server answers an error.
  WireFrame Call(const std::string& op, WireFields args, const std::string& body = std::string());
  // Sends op with args as a request that gets no reply (no "id"), on the
  // live connection only: never connects. False when not connected or the
  // write failed. Used for acknowledgements, which the server may lose with
  // the connection.
  bool Notify(const std::string& op, WireFields args);
  // Closes the connection without a loss notice.
  void Disconnect();
  bool IsConnected() const;
  // Runs fn on the event thread after the events already received.
  void Post(std::function<void()> fn);
  // Runs fn on the event thread once ms of the process clock have passed
  // (after the events received by then). Dropped when the connection goes.
  void PostAfter(uint32_t ms, std::function<void()> fn);

  static constexpr uint32_t kCallTimeoutMs = 30000;
  static constexpr uint32_t kCallSliceMs = 100;

 private:
  struct Pending {
    bool done = false;
    bool failed = false;
    std::string why;
    WireFrame reply;
  };
  int EnsureConnected();
  void ReaderMain(int fd, uint64_t gen);
  void FailPendingLocked(const std::string& why);

  const std::string name_;
  std::thread reader_;      // touched by callers under connectMu_ and by the destructor
  std::mutex connectMu_;    // serialises connect and disconnect
  std::mutex writeMu_;      // serialises writes and the close of the socket

  // Guarded by mu_: the endpoint, the socket, its generation and the calls.
  mutable std::mutex mu_;
  std::condition_variable replyCv_;
  std::string ip_ = "127.0.0.1";
  uint16_t port_ = 0;
  int fd_ = -1;
  uint64_t gen_ = 0;
  uint64_t nextId_ = 0;
  std::map<uint64_t, Pending*> pending_;
  EventFn onEvent_;
  LostFn onLost_;

  // The event thread's work. Shared with the thread itself, which keeps it
  // alive after a handler destroyed the connection on that thread.
  struct EventQueue {
    // Guarded by mu.
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void()>> events;
    std::multimap<int64_t, std::function<void()>> timed;  // by due time, clock ms
    bool stop = false;
  };
  static void EventMain(const std::shared_ptr<EventQueue>& q);

  std::shared_ptr<EventQueue> ev_;
  std::thread eventThread_;
};

}  // namespace nuv
