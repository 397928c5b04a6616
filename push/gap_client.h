#pragma once
// GapClient: the socket side of the push connection. Its thread (Clientmain)
// connects with back-off, waits for the socket, reassembles length-prefixed
// frames from the byte stream and hands each whole frame to the owner, sends
// the frames the owner queued with senddata (keeping the exact unsent tail of
// a partial send), calls the owner's idle callback after 900 silent seconds
// and drops a connection whose peer stays silent after a request; its socket
// wait ends at the next of these deadlines on the process clock. Created and
// owned by GapHubLogic, whose thread calls Start and Join; Stop may be called
// from any thread; everything else (buffers, socket, timers, the owner's
// callbacks) belongs to the Clientmain thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "push/hibuffer.h"

namespace nuv {

namespace net {
struct WakePipe;
}

// Result of looking for one length-prefixed frame at the front of a stream.
struct FrameScan {
  enum Status { kNeedMore, kFrame, kTooLarge } status = kNeedMore;
  uint32_t bodyLen = 0;  // the announced length (valid unless kNeedMore)
};
// Pure: inspects [data, data + len) for a whole frame of at most maxLen bytes.
FrameScan ScanFrame(const uint8_t* data, size_t len, uint32_t maxLen);

// What the client calls, always on its thread, with `owner` as first argument.
struct GapClientCallbacks {
  void* owner = nullptr;
  void (*connect)(void* owner) = nullptr;                                // after a TCP connect
  void (*receive)(void* owner, const uint8_t* frame, size_t len) = nullptr;  // one whole frame
  void (*idle)(void* owner) = nullptr;  // nothing sent or received for 900 s
  // After the whole frames of one read were handed over (at least one),
  // before anything queued in reply to them is sent.
  void (*readDone)(void* owner) = nullptr;
};

class GapClient {
 public:
  static constexpr size_t kBufferSize = 8192;
  static constexpr uint32_t kLengthLength = 4;
  // A frame length prefix above this is a protocol error (reconnect).
  static constexpr uint32_t kMaxFrameLen = 16u << 20;
  static constexpr uint32_t kIdleSeconds = 900;
  static constexpr uint32_t kMaxBackoffSeconds = 900;
  static constexpr uint32_t kReplyLimitSeconds = 60;

  GapClient(GapClientCallbacks callbacks, std::string host, uint16_t port);
  // Stops and joins the thread, closes the socket, releases both buffers.
  ~GapClient();
  GapClient(const GapClient&) = delete;
  GapClient& operator=(const GapClient&) = delete;

  // Starts the Clientmain thread; false when it already runs.
  bool Start();
  // Asks the thread to end; it does within about a second wherever it waits.
  void Stop();
  // Joins the thread (after Stop).
  void Join();

  // Queues one frame: the 4-byte big-endian length, then the bytes. 0.
  int senddata(const void* bytes, size_t len);
  // Starts the silent-peer timer: unless a reply comes within 60 s, the
  // connection is dropped. With anyFrame, any whole received frame counts as
  // the reply; otherwise only ClearReplyDeadline does.
  void ExpectReply(const char* what, bool anyFrame);
  void ClearReplyDeadline();
  // Drops the connection after the current frame and connects again after
  // delaySeconds.
  void RequestReconnect(const char* why, uint32_t delaySeconds);

  bool connected() const { return connected_; }
  const hibuffer& sendBuffer() const { return sendBuf_; }
  const hibuffer& recvBuffer() const { return recvBuf_; }

  // The thread body; public for the documentation's sake only.
  int Clientmain();

 private:
  // 0 when connected; -1 when the name did not resolve; -2 when stopped.
  int ConnectStep();
  void Disconnect();
  // Waits seconds of the process clock unless stopped; true when stopped.
  bool SleepSeconds(uint32_t seconds);
  void OnReadable();
  void DeliverFrames();
  void OnWritable();
  void CheckReplyDeadline(int64_t now);
  // Milliseconds of the process clock until the idle or reply test is due.
  uint32_t NextWaitMs() const;
  static void ShrinkIfLarge(hibuffer& b);
  bool stopping() const { return stop_.load(); }

  const GapClientCallbacks cb_;
  const std::string host_;
  const uint16_t port_;

  // Clientmain thread only.
  hibuffer recvBuf_;
  hibuffer sendBuf_;
  int socket_ = -1;
  bool connected_ = false;
  int64_t lastActivity_ = 0;
  int64_t idleCalledAt_ = -1;  // lastActivity_ when the idle callback last ran
  int64_t replyArmedAt_ = 0;  // 0: no reply awaited
  std::string replyWhat_;
  bool replyAnyFrame_ = false;
  bool reconnectRequested_ = false;
  uint32_t reconnectDelay_ = 0;
  std::string reconnectWhy_;

  // Cross-thread: the stop request, and the condition that wakes sleeps.
  std::atomic<bool> stop_{false};
  std::mutex sleepMu_;
  std::condition_variable sleepCv_;
  std::unique_ptr<net::WakePipe> wake_;

  std::thread thread_;  // started by Start, joined by Join / destruction
};

}  // namespace nuv
