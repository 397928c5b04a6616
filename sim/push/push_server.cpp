#include "sim/push/push_server.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include "push/byte_order.h"
#include "push/gap_msg.h"
#include "push/push_socket.h"
#include "sim/push/push_keys.h"

namespace nuv {
namespace sim {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint32_t kMaxFrame = 16u << 20;
constexpr size_t kMaxItemsPerNotify = 100;

enum class Phase { kAwaitKey, kAwaitConnect, kRejected, kEstablished };

}  // namespace

struct PushServer::Session {
  uint64_t id = 0;
  int fd = -1;
  std::string in;   // bytes received, not yet a whole frame
  std::string key;  // session key once the key reply is built
  Phase phase = Phase::kAwaitKey;
};

// A reply held back by a delay or withhold fault.
struct PushServer::Scheduled {
  uint64_t sessionId = 0;
  std::string wire;
  bool held = false;
  SteadyClock::time_point due;
  bool establishes = false;  // an accepted ConnectRsp
};

PushServer::PushServer() : PushServer(Options()) {}

PushServer::PushServer(Options options)
    : options_(std::move(options)), wake_(std::make_unique<net::WakePipe>()) {
  privateKey_ = options_.privateKeyPem.empty() ? std::string(kPushPrivateKeyPem)
                                               : options_.privateKeyPem;
  const std::string r = RandomSessionKey();
  std::memcpy(&newToken_, r.data(), sizeof newToken_);
  if (newToken_ == 0) newToken_ = 1;
  newCreatetime_ = static_cast<uint32_t>(::time(nullptr));
}

PushServer::~PushServer() { Stop(); }

bool PushServer::Start() {
  if (thread_.joinable()) return true;
  listener_ = net::Listen(options_.host, options_.port, &port_);
  if (listener_ < 0) return false;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void PushServer::Stop() {
  stop_ = true;
  wake_->Notify();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> g(mu_);
  while (!sessions_.empty()) CloseSession(sessions_.size() - 1);
  net::Close(listener_);
  listener_ = -1;
}

void PushServer::Run() {
  std::vector<int> fds;
  std::vector<uint64_t> ids;
  while (!stop_) {
    int timeoutMs = 200;
    {
      std::lock_guard<std::mutex> g(mu_);
      fds.assign({listener_, wake_->readFd});
      ids.assign(2, 0);
      for (auto& s : sessions_) {
        fds.push_back(s->fd);
        ids.push_back(s->id);
      }
      if (!scheduled_.empty()) timeoutMs = 10;
    }
    std::vector<char> ready(fds.size(), 0);
    net::WaitReadable(fds.data(), ready.data(), static_cast<int>(fds.size()),
                      timeoutMs);
    if (ready[1]) wake_->Drain();
    std::lock_guard<std::mutex> g(mu_);
    if (ready[0]) AcceptNew();
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!ready[i]) continue;
      for (auto& s : sessions_) {
        if (s->id == ids[i]) {
          ReadFrom(*s);
          break;
        }
      }
    }
    FlushDue();
  }
}

void PushServer::AcceptNew() {
  for (;;) {
    int fd = net::Accept(listener_);
    if (fd < 0) return;
    auto s = std::make_unique<Session>();
    s->id = nextSessionId_++;
    s->fd = fd;
    sessions_.push_back(std::move(s));
    ++stats_.accepted;
    NotifyChanged();
  }
}

void PushServer::CloseSession(size_t index) {
  const uint64_t id = sessions_[index]->id;
  net::Close(sessions_[index]->fd);
  sessions_.erase(sessions_.begin() + static_cast<long>(index));
  for (auto it = scheduled_.begin(); it != scheduled_.end();) {
    it = it->sessionId == id ? scheduled_.erase(it) : it + 1;
  }
  NotifyChanged();
}

void PushServer::ReadFrom(Session& s) {
  bool closed = false;
  char buf[16384];
  for (;;) {
    int err = 0;
    ssize_t r = net::Recv(s.fd, buf, sizeof buf, &err);
    if (r == -2) break;
    if (r <= 0) {
      closed = true;
      break;
    }
    s.in.append(buf, static_cast<size_t>(r));
  }
  size_t off = 0;
  while (!closed && s.in.size() - off >= 4) {
    const uint32_t n = GetU32(reinterpret_cast<const uint8_t*>(s.in.data()) + off);
    if (n > kMaxFrame) {
      ++stats_.badFrames;
      closed = true;
      break;
    }
    if (s.in.size() - off < 4 + size_t{n}) break;
    if (!HandleFrame(s, reinterpret_cast<const uint8_t*>(s.in.data()) + off + 4, n)) closed = true;
    off += 4 + n;
  }
  s.in.erase(0, off);
  if (closed) {
    for (size_t i = 0; i < sessions_.size(); ++i) {
      if (sessions_[i].get() == &s) {
        CloseSession(i);
        break;
      }
    }
  }
}

bool PushServer::HandleFrame(Session& s, const uint8_t* frame, size_t len) {
  if (s.phase == Phase::kAwaitKey) {
    OnKeyRequest(s, frame, len);
    return s.phase != Phase::kAwaitKey;
  }
  ClientFrame f;
  if (DecodeClientFrame(s.key, frame, len, &f) != 0) {
    ++stats_.badFrames;
    NotifyChanged();
    return false;
  }
  switch (f.cmd) {
    case CMD_CONNECT_REQ:
      OnConnectRequest(s, f);
      break;
    case CMD_NOTIFY_RSP:
      stats_.acks.push_back(f.ackSeq);
      OnAck(f.ackSeq);
      break;
    case CMD_HEARTBEAT_REQ:
      ++stats_.heartbeatRequests;
      if (faults_.answerHeartbeats) WriteFrames(s, WithLengthPrefix(EncodeHeartbeat(s.key, false)));
      break;
    case CMD_HEARTBEAT_RSP:
      ++stats_.heartbeatReplies;
      break;
    default:
      break;
  }
  NotifyChanged();
  return true;
}

void PushServer::OnKeyRequest(Session& s, const uint8_t* frame, size_t len) {
  ClientFrame f;
  if (DecodeKeyRequest(privateKey_, frame, len, &f) != 0) {
    ++stats_.badFrames;
    NotifyChanged();
    return;
  }
  ++stats_.keyRequests;
  stats_.lastKeyRequestMs = f.sendTimeMs;
  stats_.lastKeyWasInitial = f.key == kInitialGapKey;
  uint8_t delta = 0;
  if (faults_.badKeyChecksums > 0) {
    --faults_.badKeyChecksums;
    delta = 1;
  }
  s.key = RandomSessionKey();
  s.phase = Phase::kAwaitConnect;
  Schedule(s, WithLengthPrefix(EncodeKeyReply(s.key, delta)), faults_.withholdKeyReply,
           faults_.keyReplyDelayMs);
  NotifyChanged();
}

void PushServer::OnConnectRequest(Session& s, const ClientFrame& f) {
  stats_.connects.push_back(ConnectRecord{f.token, f.createtime, f.lastSeq});
  uint32_t result = 0;
  if (faults_.rejectConnects > 0) {
    --faults_.rejectConnects;
    result = faults_.rejectResult != 0 ? faults_.rejectResult : 1;
  }
  uint64_t token = f.token != 0 ? f.token : newToken_;
  const uint32_t createtime = f.token != 0 ? f.createtime : newCreatetime_;
  if (replyTokenOverride_ != 0) token = replyTokenOverride_;
  s.phase = result == 0 ? Phase::kAwaitConnect : Phase::kRejected;
  std::string wire = WithLengthPrefix(EncodeConnectReply(s.key, result, token, createtime));
  const bool hold = faults_.withholdConnectReply;
  const int delay = faults_.connectReplyDelayMs;
  if (result != 0 || hold || delay > 0) {
    Schedule(s, std::move(wire), hold, delay);
    if (result == 0) scheduled_.back().establishes = true;
    return;
  }
  if (WriteFrames(s, wire)) {
    s.phase = Phase::kEstablished;
    SendPending(s);
  }
}

void PushServer::OnAck(uint32_t seq) {
  std::vector<NotifyEntry> keep;
  for (NotifyEntry& e : pending_)
    if (e.sequence > seq) keep.push_back(std::move(e));
  pending_.swap(keep);
}

void PushServer::Schedule(Session& s, std::string wire, bool hold, int delayMs) {
  if (!hold && delayMs <= 0) {
    WriteFrames(s, wire);
    return;
  }
  Scheduled item;
  item.sessionId = s.id;
  item.wire = std::move(wire);
  item.held = hold;
  item.due = SteadyClock::now() + std::chrono::milliseconds(delayMs > 0 ? delayMs : 0);
  scheduled_.push_back(std::move(item));
  wake_->Notify();
}

void PushServer::FlushDue() {
  const auto now = SteadyClock::now();
  for (auto it = scheduled_.begin(); it != scheduled_.end();) {
    if (it->held || it->due > now) {
      ++it;
      continue;
    }
    Scheduled item = std::move(*it);
    it = scheduled_.erase(it);
    for (auto& s : sessions_) {
      if (s->id != item.sessionId) continue;
      if (WriteFrames(*s, item.wire) && item.establishes) {
        s->phase = Phase::kEstablished;
        SendPending(*s);
      }
      break;
    }
    NotifyChanged();
  }
}

bool PushServer::WriteFrames(Session& s, const std::string& wire) {
  const int pieces = faults_.splitWrites > 1 ? faults_.splitWrites : 1;
  const size_t step = (wire.size() + static_cast<size_t>(pieces) - 1) / static_cast<size_t>(pieces);
  for (size_t off = 0; off < wire.size(); off += step) {
    if (off > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const size_t n = wire.size() - off < step ? wire.size() - off : step;
    if (!net::SendAll(s.fd, wire.data() + off, n)) return false;
  }
  return true;
}

void PushServer::SendPending(Session& s) {
  for (size_t off = 0; off < pending_.size(); off += kMaxItemsPerNotify) {
    const size_t end = off + kMaxItemsPerNotify < pending_.size() ? off + kMaxItemsPerNotify
                                                                 : pending_.size();
    std::vector<NotifyEntry> chunk(pending_.begin() + static_cast<long>(off),
                                   pending_.begin() + static_cast<long>(end));
    WriteFrames(s, WithLengthPrefix(EncodeNotify(s.key, chunk)));
  }
}

PushServer::Session* PushServer::Established() {
  for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it)
    if ((*it)->phase == Phase::kEstablished) return it->get();
  return nullptr;
}

uint32_t PushServer::AnnounceMessage(const OndekoMsgItem& item) {
  std::lock_guard<std::mutex> g(mu_);
  NotifyEntry e;
  e.msgId = item.msg_id;
  e.sequence = nextSequence_++;
  e.payload = EncodeNotifyPayload(item);
  pending_.push_back(e);
  if (Session* s = Established()) WriteFrames(*s, WithLengthPrefix(EncodeNotify(s->key, {e})));
  return e.sequence;
}

bool PushServer::Announce(const std::vector<NotifyEntry>& items) {
  return AnnounceFrames({items}, false);
}

bool PushServer::AnnounceFrames(const std::vector<std::vector<NotifyEntry>>& frames, bool oneWrite) {
  std::lock_guard<std::mutex> g(mu_);
  Session* s = Established();
  if (!s) return false;
  std::string all;
  for (const auto& items : frames) {
    std::string wire = WithLengthPrefix(EncodeNotify(s->key, items));
    if (oneWrite) {
      all += wire;
    } else if (!WriteFrames(*s, wire)) {
      return false;
    }
  }
  return !oneWrite || WriteFrames(*s, all);
}

bool PushServer::SendHeartbeat() {
  std::lock_guard<std::mutex> g(mu_);
  Session* s = Established();
  return s && WriteFrames(*s, WithLengthPrefix(EncodeHeartbeat(s->key, true)));
}

bool PushServer::SendUndecryptableFrame() {
  std::lock_guard<std::mutex> g(mu_);
  Session* s = Established();
  if (!s && !sessions_.empty()) s = sessions_.back().get();
  // 20 bytes: not a whole number of cipher blocks.
  return s && WriteFrames(*s, WithLengthPrefix(std::string(20, '\x5a')));
}

bool PushServer::SendBadChecksumFrame() {
  std::lock_guard<std::mutex> g(mu_);
  Session* s = Established();
  if (!s) return false;
  NotifyEntry e;
  e.msgId = 0xBAD;
  e.sequence = 0xFFFFFFF0u;
  e.payload = "\x00\x0b\x02\x00\x00\x00\x00";
  return WriteFrames(*s, WithLengthPrefix(EncodeNotify(s->key, {e}, 1)));
}

void PushServer::CloseConnections() {
  std::lock_guard<std::mutex> g(mu_);
  for (auto& s : sessions_) net::Shutdown(s->fd);
  wake_->Notify();
}

void PushServer::ReleaseHeldReplies() {
  std::lock_guard<std::mutex> g(mu_);
  for (auto& item : scheduled_) item.held = false;
  wake_->Notify();
}

void PushServer::SetFaults(const PushFaults& faults) {
  std::lock_guard<std::mutex> g(mu_);
  faults_ = faults;
}

PushFaults PushServer::faults() const {
  std::lock_guard<std::mutex> g(mu_);
  return faults_;
}

void PushServer::SetNewClientToken(uint64_t token, uint32_t createtime) {
  std::lock_guard<std::mutex> g(mu_);
  newToken_ = token;
  newCreatetime_ = createtime;
}

void PushServer::SetReplyTokenOverride(uint64_t token) {
  std::lock_guard<std::mutex> g(mu_);
  replyTokenOverride_ = token;
}

PushServerStats PushServer::Stats() const {
  std::lock_guard<std::mutex> g(mu_);
  PushServerStats st = stats_;
  st.open = static_cast<int>(sessions_.size());
  st.established = 0;
  for (auto& s : sessions_)
    if (s->phase == Phase::kEstablished) ++st.established;
  return st;
}

bool PushServer::WaitUntil(const std::function<bool(const PushServerStats&)>& pred,
                           int timeoutMs) const {
  const auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pred(Stats())) return true;
    std::unique_lock<std::mutex> lk(mu_);
    if (changed_.wait_until(lk, std::min(until, SteadyClock::now() + std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        SteadyClock::now() >= until) {
      lk.unlock();
      return pred(Stats());
    }
  }
}

size_t PushServer::PendingCount() const {
  std::lock_guard<std::mutex> g(mu_);
  return pending_.size();
}

void PushServer::NotifyChanged() { changed_.notify_all(); }

}  // namespace sim
}  // namespace nuv
