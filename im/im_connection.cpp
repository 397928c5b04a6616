#include "im/im_connection.h"

#include "common/clock.h"
#include "common/log.h"
#include "common/sdk_error.h"
#include "im/net_socket.h"
#include "im/wire_stream.h"

namespace nuv {

ImConnection::ImConnection(std::string name)
    : name_(std::move(name)), ev_(std::make_shared<EventQueue>()) {
  eventThread_ = std::thread([q = ev_] { EventMain(q); });
}

ImConnection::~ImConnection() {
  Disconnect();
  const bool onEventThread = eventThread_.get_id() == std::this_thread::get_id();
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> g(ev_->mu);
    ev_->stop = true;
    // The queued events refer to this object: on its own thread they would
    // run after it is gone, so they go with it.
    if (onEventThread) dropped.swap(ev_->events);
  }
  ev_->cv.notify_all();
  if (eventThread_.joinable()) {
    if (onEventThread) {
      eventThread_.detach();  // an event handler released the last owner
    } else {
      eventThread_.join();
    }
  }
}

void ImConnection::SetEndpoint(const std::string& ip, uint16_t port) {
  std::lock_guard<std::mutex> g(mu_);
  ip_ = ip;
  port_ = port;
}

void ImConnection::SetIp(const std::string& ip) {
  std::lock_guard<std::mutex> g(mu_);
  ip_ = ip;
}

void ImConnection::SetPort(uint16_t port) {
  std::lock_guard<std::mutex> g(mu_);
  port_ = port;
}

std::string ImConnection::ip() const {
  std::lock_guard<std::mutex> g(mu_);
  return ip_;
}

uint16_t ImConnection::port() const {
  std::lock_guard<std::mutex> g(mu_);
  return port_;
}

void ImConnection::SetHandlers(EventFn onEvent, LostFn onLost) {
  std::lock_guard<std::mutex> g(mu_);
  onEvent_ = std::move(onEvent);
  onLost_ = std::move(onLost);
}

bool ImConnection::IsConnected() const {
  std::lock_guard<std::mutex> g(mu_);
  return fd_ >= 0;
}

void ImConnection::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> g(ev_->mu);
    ev_->events.push_back(std::move(fn));
  }
  ev_->cv.notify_one();
}

void ImConnection::PostAfter(uint32_t ms, std::function<void()> fn) {
  const int64_t due = GetClock().NowMs() + ms;
  {
    std::lock_guard<std::mutex> g(ev_->mu);
    ev_->timed.emplace(due, std::move(fn));
  }
  ev_->cv.notify_one();
}

int ImConnection::EnsureConnected() {
  std::lock_guard<std::mutex> cg(connectMu_);
  std::string ip;
  uint16_t port;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (fd_ >= 0) return fd_;
    ip = ip_;
    port = port_;
  }
  if (reader_.joinable()) reader_.join();  // the previous connection's reader has ended
  std::string error;
  int fd = net::ConnectTcp(ip, port, &error);
  if (fd < 0) throw NuvSdkError(kSdkErrServerUnavailable, "IM server unavailable: " + error);
  uint64_t gen;
  {
    std::lock_guard<std::mutex> g(mu_);
    fd_ = fd;
    gen = ++gen_;
  }
  reader_ = std::thread([this, fd, gen] { ReaderMain(fd, gen); });
  return fd;
}

WireFrame ImConnection::Call(const std::string& op, WireFields args, const std::string& body) {
  EnsureConnected();
  Pending slot;
  uint64_t id;
  {
    std::lock_guard<std::mutex> g(mu_);
    id = ++nextId_;
    pending_[id] = &slot;
  }
  args.Set("op", op);
  args.Set("id", std::to_string(id));
  const std::string bytes = EncodeWireFrame(args, body);
  bool sent = false;
  {
    std::lock_guard<std::mutex> wg(writeMu_);
    int fd;
    {
      std::lock_guard<std::mutex> g(mu_);
      fd = fd_;
    }
    sent = fd >= 0 && net::SendAll(fd, bytes.data(), bytes.size());
  }
  std::unique_lock<std::mutex> lk(mu_);
  if (!sent && !slot.done) {
    slot.done = slot.failed = true;
    slot.why = "connection to the IM server lost";
  }
  // In slices, so that a clock that jumps ahead when a thread waits (tests)
  // still leaves the reply some real time to arrive.
  const int64_t startMs = GetClock().NowMs();
  while (!slot.done && GetClock().NowMs() - startMs < kCallTimeoutMs) {
    GetClock().WaitFor(lk, replyCv_, kCallSliceMs, [&] { return slot.done; });
  }
  pending_.erase(id);
  if (!slot.done) throw NuvSdkError(kSdkErrTimeout, op + ": no reply from the IM server");
  if (slot.failed) throw NuvSdkError(kSdkErrServerUnavailable, op + ": " + slot.why);
  const WireFields& r = slot.reply.fields;
  if (r.Has("error")) {
    throw NuvSdkError(static_cast<uint32_t>(r.GetInt("error", kSdkErrFail)),
                      r.Get("message", op + " failed"));
  }
  return std::move(slot.reply);
}

bool ImConnection::Notify(const std::string& op, WireFields args) {
  args.Set("op", op);
  const std::string bytes = EncodeWireFrame(args);
  std::lock_guard<std::mutex> wg(writeMu_);
  int fd;
  {
    std::lock_guard<std::mutex> g(mu_);
    fd = fd_;
  }
  return fd >= 0 && net::SendAll(fd, bytes.data(), bytes.size());
}

void ImConnection::FailPendingLocked(const std::string& why) {
  for (auto& kv : pending_) {
    if (!kv.second->done) {
      kv.second->done = kv.second->failed = true;
      kv.second->why = why;
    }
  }
  replyCv_.notify_all();
}

void ImConnection::Disconnect() {
  std::lock_guard<std::mutex> cg(connectMu_);
  int fd;
  {
    std::lock_guard<std::mutex> g(mu_);
    fd = fd_;
    fd_ = -1;
    ++gen_;
    FailPendingLocked("connection closed");
  }
  net::Shutdown(fd);
  if (reader_.joinable()) reader_.join();
  std::lock_guard<std::mutex> wg(writeMu_);
  net::Close(fd);
}

void ImConnection::ReaderMain(int fd, uint64_t gen) {
  std::string why = ReadWireFrames(fd, [&](WireFrame& f) {
    if (f.fields.Has("event")) {
      auto frame = std::make_shared<WireFrame>(std::move(f));
      Post([this, frame] {
        EventFn fn;
        {
          std::lock_guard<std::mutex> g(mu_);
          fn = onEvent_;
        }
        if (fn) fn(*frame);
      });
      return;
    }
    uint64_t id = static_cast<uint64_t>(f.fields.GetInt("id", 0));
    std::lock_guard<std::mutex> g(mu_);
    auto it = pending_.find(id);
    if (it == pending_.end()) return;  // a reply after its call gave up
    it->second->reply = std::move(f);
    it->second->done = true;
    replyCv_.notify_all();
  });
  {
    std::lock_guard<std::mutex> g(mu_);
    if (gen != gen_ || fd_ != fd) return;  // Disconnect owns this socket
    fd_ = -1;
    FailPendingLocked("connection to the IM server lost (" + why + ")");
  }
  {
    std::lock_guard<std::mutex> wg(writeMu_);
    net::Close(fd);
  }
  WriteLogF("ImConnection[%s] connection to the IM server lost: %s", name_.c_str(), why.c_str());
  Post([this, why] {
    LostFn fn;
    {
      std::lock_guard<std::mutex> g(mu_);
      fn = onLost_;
    }
    if (fn) fn(why);
  });
}

// Touches only the queue, never the connection: a handler run here may
// destroy the connection.
void ImConnection::EventMain(const std::shared_ptr<EventQueue>& q) {
  for (;;) {
    std::function<void()> fn;
    {
      std::unique_lock<std::mutex> lk(q->mu);
      while (!fn) {
        if (!q->events.empty()) {
          fn = std::move(q->events.front());
          q->events.pop_front();
        } else if (q->stop) {
          return;
        } else if (q->timed.empty()) {
          q->cv.wait(lk, [&] { return q->stop || !q->events.empty() || !q->timed.empty(); });
        } else if (q->timed.begin()->first <= GetClock().NowMs()) {
          fn = std::move(q->timed.begin()->second);
          q->timed.erase(q->timed.begin());
        } else {
          // Until the first is due, or something new comes.
          const int64_t left = q->timed.begin()->first - GetClock().NowMs();
          const size_t timed = q->timed.size();
          GetClock().WaitFor(lk, q->cv, static_cast<uint32_t>(left > 0 ? left : 0),
                             [&] { return q->stop || !q->events.empty() || q->timed.size() != timed; });
        }
      }
    }
    fn();
  }
}

}  // namespace nuv
