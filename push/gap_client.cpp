#include "push/gap_client.h"

#include <cstdint>
#include <utility>

#include "common/bridge_metrics.h"
#include "common/clock.h"
#include "push/byte_order.h"
#include "push/push_log.h"
#include "push/push_socket.h"

namespace nuv {
namespace {
// The socket wait ends at the next deadline (idle heartbeat, reply limit) of
// the process clock; this bounds it besides, so that a wall-clock step is
// noticed within a few seconds.
constexpr uint32_t kMaxWaitMs = 10000;
// A TCP connect that has not completed after this long counts as failed.
constexpr uint32_t kConnectLimitMs = 60000;
}  // namespace

FrameScan ScanFrame(const uint8_t* data, size_t len, uint32_t maxLen) {
  FrameScan scan;
  if (len < GapClient::kLengthLength) return scan;
  scan.bodyLen = GetU32(data);
  if (scan.bodyLen > maxLen) {
    scan.status = FrameScan::kTooLarge;
  } else if (len - GapClient::kLengthLength >= scan.bodyLen) {
    scan.status = FrameScan::kFrame;
  }
  return scan;
}

GapClient::GapClient(GapClientCallbacks callbacks, std::string host, uint16_t port)
    : cb_(callbacks), host_(std::move(host)), port_(port), wake_(std::make_unique<net::WakePipe>()) {
  recvBuf_.reserve(kBufferSize);
  sendBuf_.reserve(kBufferSize);
}

GapClient::~GapClient() {
  Stop();
  Join();
  if (connected_ || socket_ >= 0) Disconnect();
  recvBuf_.release();
  sendBuf_.release();
}

bool GapClient::Start() {
  if (thread_.joinable()) return false;
  stop_ = false;
  thread_ = std::thread([this] { Clientmain(); });
  return true;
}

void GapClient::Stop() {
  {
    std::lock_guard<std::mutex> g(sleepMu_);
    stop_ = true;
  }
  sleepCv_.notify_all();
  wake_->Notify();
}

void GapClient::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

int GapClient::senddata(const void* bytes, size_t len) {
  uint8_t prefix[kLengthLength];
  PutU32(prefix, static_cast<uint32_t>(len));
  sendBuf_.append(prefix, sizeof prefix);
  sendBuf_.append(bytes, len);
  return 0;
}

void GapClient::ExpectReply(const char* what, bool anyFrame) {
  replyArmedAt_ = GetClock().Now();
  replyWhat_ = what;
  replyAnyFrame_ = anyFrame;
}

void GapClient::ClearReplyDeadline() { replyArmedAt_ = 0; }

void GapClient::RequestReconnect(const char* why, uint32_t delaySeconds) {
  reconnectRequested_ = true;
  reconnectWhy_ = why;
  reconnectDelay_ = delaySeconds;
}

bool GapClient::SleepSeconds(uint32_t seconds) {
  std::unique_lock<std::mutex> lk(sleepMu_);
  return GetClock().WaitFor(lk, sleepCv_, seconds * 1000u, [this] { return stop_.load(); });
}

void GapClient::Disconnect() {
  net::Close(socket_);
  socket_ = -1;
  if (connected_) Metrics().PushLost();
  connected_ = false;
  replyArmedAt_ = 0;
  reconnectRequested_ = false;
}

int GapClient::ConnectStep() {
  if (SleepSeconds(1)) return -2;
  auto stop = [this] { return stopping(); };
  std::string official, dotted;
  int rc = net::ResolveIPv4(host_, &official, &dotted, stop);
  if (rc == -2) return -2;
  if (rc != 0) {
    PushLog("gethostbyname fail host == null");
    return -1;
  }
  PushLog("Host name : %s", official.c_str());
  PushLog("IP Address : %s", dotted.c_str());
  uint32_t delay = 1;
  for (;;) {
    // A fresh socket for every attempt: a socket whose connect failed is
    // not reused.
    int s = net::NewTcpSocket();
    int err = 0;
    rc = s >= 0 ? net::Connect(s, dotted, port_, stop, kConnectLimitMs, &err) : -1;
    if (rc == 0) {
      socket_ = s;
      break;
    }
    net::Close(s);
    if (rc == -2) return -2;
    PushLog("connect [%s, %d] fail sleep %u", dotted.c_str(), static_cast<int>(port_), delay);
    if (SleepSeconds(delay)) return -2;
    delay = delay * 2 < kMaxBackoffSeconds ? delay * 2 : kMaxBackoffSeconds;
  }
  lastActivity_ = GetClock().Now();
  recvBuf_.clear();
  sendBuf_.clear();
  replyArmedAt_ = 0;
  reconnectRequested_ = false;
  connected_ = true;
  if (cb_.connect) cb_.connect(cb_.owner);
  return 0;
}

int GapClient::Clientmain() {
  PushLog("Clientmain begin work");
  while (!stopping()) {
    if (!connected_) {
      if (ConnectStep() != 0) continue;
    }
    bool readable = false, writable = false;
    const bool wantWrite = sendBuf_.length() > 0;
    // A stop request (the wake pipe) ends the wait like readiness does.
    int rc = GetClock().PollFor(NextWaitMs(), [&](uint32_t sliceMs) {
      int r = net::WaitReady(socket_, wake_->readFd, wantWrite, static_cast<int>(sliceMs), &readable,
                             &writable);
      return r == 0 && stopping() ? 1 : r;
    });
    wake_->Drain();
    if (stopping()) break;
    const int64_t now = GetClock().Now();
    if (rc == 0) {
      if (now > lastActivity_ + kIdleSeconds && idleCalledAt_ != lastActivity_) {
        // Once per silence: the heartbeat's send ends the silence.
        idleCalledAt_ = lastActivity_;
        if (cb_.idle) cb_.idle(cb_.owner);
      }
      CheckReplyDeadline(now);
      continue;
    }
    if (rc < 0) {
      PushLog("select fail ret %d", rc);
      Disconnect();
      continue;
    }
    if (readable) OnReadable();
    if (connected_ && reconnectRequested_) {
      PushLog("Clientmain %s, reconnect after %u s", reconnectWhy_.c_str(), reconnectDelay_);
      const uint32_t delay = reconnectDelay_;
      Disconnect();
      if (SleepSeconds(delay)) break;
      continue;
    }
    if (connected_ && writable && sendBuf_.length() > 0) OnWritable();
    if (connected_) CheckReplyDeadline(GetClock().Now());
  }
  if (connected_ || socket_ >= 0) Disconnect();
  recvBuf_.release();
  sendBuf_.release();
  return 0;
}

uint32_t GapClient::NextWaitMs() const {
  // Both tests fire in the first second in which now exceeds their limit;
  // the idle test once per silence.
  const int64_t kNone = INT64_MAX / 2;
  int64_t dueSec = idleCalledAt_ == lastActivity_ ? kNone : lastActivity_ + kIdleSeconds + 1;
  if (replyArmedAt_ != 0 && replyArmedAt_ + kReplyLimitSeconds + 1 < dueSec)
    dueSec = replyArmedAt_ + kReplyLimitSeconds + 1;
  if (dueSec == kNone) return kMaxWaitMs;
  const int64_t left = dueSec * 1000 - GetClock().NowMs();
  if (left <= 0) return 1;
  return left < kMaxWaitMs ? static_cast<uint32_t>(left) : kMaxWaitMs;
}

void GapClient::CheckReplyDeadline(int64_t now) {
  if (replyArmedAt_ == 0 || now <= replyArmedAt_ + kReplyLimitSeconds) return;
  PushLog("Clientmain no %s within %u s, reconnect", replyWhat_.c_str(), kReplyLimitSeconds);
  Disconnect();
}

void GapClient::OnReadable() {
  const bool partial = recvBuf_.length() > 0;
  size_t room = recvBuf_.capacity() - recvBuf_.length();
  if (room == 0) room = kBufferSize;
  int err = 0;
  ssize_t r = net::Recv(socket_, recvBuf_.writePointer(room), room, &err);
  if (r == -2) return;  // spurious wake-up: nothing to read yet
  if (r <= 0) {
    PushLog(partial ? "recv more fail %d" : "recv fail %d", static_cast<int>(r));
    Disconnect();
    return;
  }
  recvBuf_.commit(static_cast<size_t>(r));
  if (recvBuf_.length() < kLengthLength) {
    PushLog("recv readlen %d < lengthLength %d", static_cast<int>(recvBuf_.length()),
            static_cast<int>(kLengthLength));
    return;
  }
  DeliverFrames();
}

void GapClient::DeliverFrames() {
  size_t off = 0;
  bool delivered = false, tooLarge = false;
  while (connected_ && !reconnectRequested_) {
    const auto* p = reinterpret_cast<const uint8_t*>(recvBuf_.data()) + off;
    const size_t held = recvBuf_.length() - off;
    const FrameScan scan = ScanFrame(p, held, kMaxFrameLen);
    if (scan.status == FrameScan::kTooLarge) {
      PushLog("recv frame length %u above limit %u, reconnect", scan.bodyLen, kMaxFrameLen);
      tooLarge = true;
      break;
    }
    if (scan.status == FrameScan::kNeedMore) {
      // Incomplete: make room for the whole frame and wait for the rest.
      if (held >= kLengthLength) recvBuf_.reserve(kLengthLength + scan.bodyLen - held);
      break;
    }
    lastActivity_ = GetClock().Now();
    if (replyAnyFrame_) replyArmedAt_ = 0;
    if (cb_.receive) cb_.receive(cb_.owner, p + kLengthLength, scan.bodyLen);
    delivered = true;
    off += kLengthLength + scan.bodyLen;
  }
  if (delivered && cb_.readDone) cb_.readDone(cb_.owner);
  if (tooLarge) {
    Disconnect();
    return;
  }
  if (!connected_) return;
  recvBuf_.consumeFront(off);
  if (recvBuf_.length() == 0) ShrinkIfLarge(recvBuf_);
}

void GapClient::OnWritable() {
  const size_t queued = sendBuf_.length();
  int err = 0;
  bool reset = false;
  ssize_t r = net::Send(socket_, sendBuf_.data(), queued, &err, &reset);
  if (r < 0) {
    // A reset, or any other error of a connected socket: the connection is
    // gone and its queued frames with it.
    Disconnect();
    PushLog("send fail %d", err);
    return;
  }
  if (r == 0) return;  // the socket buffer is full: keep everything queued
  if (static_cast<size_t>(r) < queued) {
    PushLog("not write full writelen %d, bufflen %d", static_cast<int>(r), static_cast<int>(queued));
    sendBuf_.consumeFront(static_cast<size_t>(r));
  } else {
    sendBuf_.clear();
    ShrinkIfLarge(sendBuf_);
  }
  lastActivity_ = GetClock().Now();
}

void GapClient::ShrinkIfLarge(hibuffer& b) {
  if (b.capacity() > kBufferSize) {
    b.release();
    b.reserve(kBufferSize);
  }
}

}  // namespace nuv
