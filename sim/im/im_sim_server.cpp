#include "sim/im/im_sim_server.h"

#include <pugixml.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>

#include "common/text_conv.h"
#include "im/net_socket.h"
#include "im/sdk.h"
#include "im/wire_stream.h"
#include "sim/monotonic.h"

namespace nuv {
namespace sim {

// One client connection: its socket, its thread and a write lock so that
// replies and events from several threads never interleave.
struct ImSimServer::Conn {
  int fd = -1;
  bool fm = false;
  std::mutex writeMu;
  std::thread thread;
  std::atomic<bool> done{false};
};

namespace {

// Codes of the errors the simulated server answers.
constexpr uint32_t kErrNotRegistered = 0x80040154;
constexpr uint32_t kErrFail = 0x80004005;
constexpr uint32_t kErrUnknownOp = 0x80020006;
constexpr int32_t kDownloadFailCode = 2;   // the file could not be sent
constexpr int32_t kFileNotFoundCode = 3;   // no such file id

std::string BuildBody(const std::string& text, const std::vector<std::pair<std::string, WireFields>>& items) {
  pugi::xml_document doc;
  pugi::xml_node msg = doc.append_child("NUVMsg");
  msg.append_attribute("Ver") = "1.0";
  pugi::xml_node content = msg.append_child("Content");
  content.append_child("Txt").text() = text.c_str();
  for (const auto& it : items) {
    pugi::xml_node n = content.append_child(it.first.c_str());
    for (const auto& kv : it.second.map()) n.append_attribute(kv.first.c_str()) = kv.second.c_str();
  }
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

}  // namespace

ImSimServer::ImSimServer() : ImSimServer(Options()) {}
ImSimServer::ImSimServer(Options options) : options_(std::move(options)) {}

ImSimServer::~ImSimServer() { Stop(); }

bool ImSimServer::Start(std::string* error) {
  appListen_ = net::ListenTcp(options_.ip, options_.appPort, &appPort_, error);
  if (appListen_ < 0) return false;
  fmListen_ = net::ListenTcp(options_.ip, options_.fmPort, &fmPort_, error);
  if (fmListen_ < 0) {
    net::Close(appListen_);
    appListen_ = -1;
    return false;
  }
  appAccept_ = std::thread([this] { AcceptLoop(appListen_, false); });
  fmAccept_ = std::thread([this] { AcceptLoop(fmListen_, true); });
  return true;
}

void ImSimServer::Stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (stopping_) return;
    stopping_ = true;
  }
  net::Shutdown(appListen_);
  net::Shutdown(fmListen_);
  if (appAccept_.joinable()) appAccept_.join();
  if (fmAccept_.joinable()) fmAccept_.join();
  net::Close(appListen_);
  net::Close(fmListen_);
  std::vector<std::shared_ptr<Conn>> conns;
  {
    std::lock_guard<std::mutex> g(mu_);
    conns.swap(conns_);
  }
  for (auto& c : conns) net::Shutdown(c->fd);
  for (auto& c : conns) {
    if (c->thread.joinable()) c->thread.join();
    net::Close(c->fd);
  }
}

void ImSimServer::AcceptLoop(int listenFd, bool fm) {
  for (;;) {
    int fd = net::AcceptTcp(listenFd);
    if (fd < 0) return;
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    c->fm = fm;
    std::vector<std::shared_ptr<Conn>> finished;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stopping_) {
        net::Close(fd);
        return;
      }
      for (auto it = conns_.begin(); it != conns_.end();) {
        if ((*it)->done) {
          finished.push_back(*it);
          it = conns_.erase(it);
        } else {
          ++it;
        }
      }
      conns_.push_back(c);
      c->thread = std::thread([this, c] { ServeConn(c); });
    }
    for (auto& f : finished) {
      if (f->thread.joinable()) f->thread.join();
      net::Close(f->fd);
    }
  }
}

void ImSimServer::ServeConn(std::shared_ptr<Conn> c) {
  ReadWireFrames(c->fd, [&](WireFrame& f) { Handle(c, f); });
  {
    std::lock_guard<std::mutex> g(mu_);
    // The server forgets an application or monitor whose connection went.
    if (appConn_.lock() == c) {
      appConn_.reset();
      state_.started = false;
    }
    if (fmConn_.lock() == c) {
      fmConn_.reset();
      state_.fmStarted = false;
    }
  }
  c->done = true;
}

bool ImSimServer::Send(const std::shared_ptr<Conn>& c, const WireFields& fields, const std::string& body) {
  if (!c) return false;
  const std::string line = EncodeWireHeader(fields, body.size());
  std::lock_guard<std::mutex> g(c->writeMu);
  return net::SendAll(c->fd, line.data(), line.size()) && net::SendAll(c->fd, body.data(), body.size());
}

void ImSimServer::Handle(const std::shared_ptr<Conn>& c, WireFrame& f) {
  const std::string op = f.fields.Get("op");
  if (!c->fm && op == "Ack") {  // gets no reply
    OnAck(f.fields);
    return;
  }
  const bool start = !c->fm && op == "Start";
  std::unique_lock<std::mutex> order(deliverMu_, std::defer_lock);
  if (start) order.lock();
  std::vector<HeldDownload> downloads;
  WireFields reply = HandleOp(c, op, f, &downloads);
  reply.Set("id", f.fields.Get("id"));
  std::vector<WireFields> again;
  if (start && !reply.Has("error")) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = ledgers_.find(f.fields.Get("guid"));
    if (it != ledgers_.end() && appConn_.lock() == c) {
      for (const auto& e : it->second.unacked) again.push_back(e.second);
    }
  }
  Send(c, reply);
  // The events the previous connection never acknowledged, before any new
  // one (deliverMu_ holds those back).
  for (const auto& ev : again) Send(c, ev);
  for (const auto& d : downloads) AnswerDownload(d);
}

bool ImSimServer::DeliverMessageEvent(WireFields ev) {
  std::lock_guard<std::mutex> order(deliverMu_);
  std::shared_ptr<Conn> app;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (state_.started) app = appConn_.lock();
    auto it = ledgers_.find(appGuid_);
    if (it != ledgers_.end() && it->second.acks) {
      const uint64_t seq = ++it->second.lastSeq;
      ev.Set("seq", std::to_string(seq));
      it->second.unacked.emplace_back(seq, ev);
    }
  }
  return app && Send(app, ev);
}

void ImSimServer::OnAck(const WireFields& f) {
  std::lock_guard<std::mutex> g(mu_);
  ++acks_;
  auto it = ledgers_.find(f.Get("guid"));
  if (it == ledgers_.end()) return;
  const uint64_t seq = static_cast<uint64_t>(f.GetInt("seq", 0));
  auto& q = it->second.unacked;
  for (auto e = q.begin(); e != q.end(); ++e) {
    if (e->first == seq) {
      q.erase(e);
      return;
    }
  }
}

WireFields ImSimServer::HandleOp(const std::shared_ptr<Conn>& c, const std::string& op, WireFrame& f,
                                 std::vector<HeldDownload>* downloads) {
  std::unique_lock<std::mutex> lk(mu_);
  WireFields rec = f.fields;
  rec.Set("conn", c->fm ? "fm" : "app");
  calls_.push_back(rec);
  auto ok = [](bool b) { WireFields r; r.SetInt("result", b ? 1 : 0); return r; };
  auto err = [](uint32_t code, const std::string& msg) {
    WireFields r;
    r.Set("error", std::to_string(code));
    r.Set("message", msg);
    return r;
  };
  if (c->fm) {
    if (op == "FmStart") {
      if (faults_.failFmStart) return err(kErrFail, "file monitor cannot start");
      fmConn_ = c;
      state_.fmStarted = true;
      return ok(true);
    }
    if (op == "DownloadFile") {
      HeldDownload d{c, f.fields.Get("fid"), f.fields.Get("name")};
      if (faults_.holdDownloads) {
        held_.push_back(d);
      } else {
        downloads->push_back(d);
      }
      return ok(true);
    }
    return err(kErrUnknownOp, "unknown operation '" + op + "'");
  }
  const std::string guid = f.fields.Get("guid");
  if (op == "Register") {
    if (faults_.refuseRegister) return ok(false);
    state_.registered = true;
    state_.registration = f.fields;
    return ok(true);
  }
  if (op == "Unregister") {
    if (!state_.registered || state_.registration.Get("guid") != guid) return ok(false);
    state_.registered = false;
    ledgers_.erase(guid);  // the application is gone, and its messages with it
    return ok(true);
  }
  if (op == "Start") {
    if (!state_.registered || state_.registration.Get("guid") != guid) {
      return err(kErrNotRegistered, "application not registered");
    }
    if (faults_.failAppStart) return err(kErrFail, "application cannot start");
    appConn_ = c;
    state_.started = true;
    appGuid_ = guid;
    // A client that does not acknowledge would get every message again at
    // each Start: it gets what the server sends now, as it always did.
    Ledger& l = ledgers_[guid];
    l.acks = f.fields.Get("acks") == "1";
    if (!l.acks) l.unacked.clear();
    return ok(true);
  }
  if (op == "Stop") {
    bool was = state_.started;
    state_.started = false;
    appConn_.reset();
    return ok(was);
  }
  if (op == "CreateMessage" || op == "CreateNUVSData") return ok(true);
  if (op == "SendMessage") {
    messages_.push_back(f.fields);
    messageTimesUs_.push_back(MonotonicMicros());
    return ok(true);
  }
  if (op == "SendSysMessage") {
    sysMessages_.push_back(f.fields);
    return ok(true);
  }
  if (op == "QueryUsersByState") {
    const std::string state = f.fields.Get("state");
    std::string users;
    for (const auto& u : presenceOrder_) {
      if (presence_[u] == state) users += u + ";";
    }
    WireFields r = ok(true);
    r.Set("users", users);
    return r;
  }
  if (op == "SendFile") {
    if (faults_.sendFileFail != 0) {
      // Refused: nothing delivered, nothing echoed.
      if (faults_.sendFileFail == 1) faults_.sendFileFail = 0;
      return err(kErrFail, "SendFile: the file cannot be delivered now");
    }
    sentFiles_.push_back(SentFile{f.fields, f.body, MonotonicMicros()});
    // The server echoes a delivered file to the application as a one-file
    // message, as it does for every file message it passes on.
    const bool image = f.fields.GetInt("isFile", 1) == 0;
    const std::string name = f.fields.Get("name");
    const std::string fid = StoreFileLocked(name, f.body, image);
    WireFields attrs{{"FileName", name}, {"FileSize", std::to_string(f.body.size())},
                     {"FID", fid}, {"KEY", files_[fid].key}};
    const std::string body = BuildBody("", {{image ? "Img" : "File", attrs}});
    auto fm = fmConn_.lock();
    const std::string info = AnnounceInfoLocked(fid);
    const bool announce = !faults_.neverAnnounce;
    WireFields ev{{"event", "1"}, {"sender", f.fields.Get("sender")},
                  {"receivers", f.fields.Get("receiver")}, {"type1", "Morvane.NUV.IM"},
                  {"type2", "Morvane.NUV.IM"}, {"number", "0"}};
    const std::string key = f.fields.Get("key");
    lk.unlock();
    ev.Set("content", MakeContent(body, key));
    if (announce && fm) Send(fm, WireFields{{"event", "1"}, {"info", info}});
    DeliverMessageEvent(ev);
    return ok(true);
  }
  return err(kErrUnknownOp, "unknown operation '" + op + "'");
}

void ImSimServer::AnswerDownload(const HeldDownload& d) {
  auto c = d.conn.lock();
  if (!c) return;
  std::string data;
  int32_t failCode = 0;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = files_.find(d.fid);
    if (faults_.downloadFail != 0) {
      failCode = kDownloadFailCode;
      if (faults_.downloadFail == 1) faults_.downloadFail = 0;
    } else if (it == files_.end()) {
      failCode = kFileNotFoundCode;
    } else {
      data = it->second.data;
    }
  }
  if (failCode != 0) {
    WireFields ev{{"event", "2"}, {"fid", d.fid}};
    ev.SetInt("code", failCode);
    Send(c, ev);
    return;
  }
  WireFields ev{{"event", "3"}, {"fid", d.fid}, {"name", d.name}};
  Send(c, ev, data);
}

void ImSimServer::ReleaseDownloads() {
  std::vector<HeldDownload> held;
  {
    std::lock_guard<std::mutex> g(mu_);
    held.swap(held_);
  }
  for (const auto& d : held) AnswerDownload(d);
}

std::string ImSimServer::NewGuid() {
  static thread_local std::mt19937_64 rng(std::random_device{}());
  uint64_t a = rng(), b = rng();
  char buf[64];
  std::snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                static_cast<unsigned>(b >> 48), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
  return buf;
}

std::string ImSimServer::NewFid() {
  std::string g = NewGuid();
  std::string fid;
  for (char ch : g) {
    if (ch != '{' && ch != '}' && ch != '-') fid.push_back(ch);
  }
  return fid + std::to_string(++seq_);
}

std::string ImSimServer::StoreFileLocked(const std::string& name, const std::string& data, bool image) {
  std::string fid = NewFid();
  files_[fid] = StoredFile{name, "K" + NewFid(), data, image};
  return fid;
}

std::string ImSimServer::AnnounceInfoLocked(const std::string& fid) {
  const StoredFile& f = files_[fid];
  pugi::xml_document doc;
  pugi::xml_node n = doc.append_child("FileUpload");
  n.append_attribute("FileID") = fid.c_str();
  n.append_attribute("FileName") = f.name.c_str();
  n.append_attribute("FileSize") = std::to_string(f.data.size()).c_str();
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

std::string ImSimServer::MakeContent(const std::string& body, const std::string& key) {
  auto data = CreateLocalNUVSData();
  data->SetString(L"Content", Utf8ToWide(body));
  data->SetString(L"Key", Utf8ToWide(key));
  return WideToUtf8(data->GetXML());
}

bool ImSimServer::UserSend(const UserMessage& m, std::string* keyOrError, std::vector<std::string>* fids,
                           int64_t* raisedUs) {
  std::shared_ptr<Conn> app, fm;
  std::vector<std::pair<std::string, WireFields>> items;
  std::vector<std::string> infos;
  std::string key = m.key.empty() ? NewGuid() : m.key;
  bool announce = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    app = appConn_.lock();
    if (!app || !state_.started) {
      *keyOrError = "application not started";
      return false;
    }
    fm = fmConn_.lock();
    announce = m.announce != "never" && !faults_.neverAnnounce;
    // Files first, then images, as the IM client writes them.
    for (int pass = 0; pass < 2; ++pass) {
      for (const UserFile& uf : m.files) {
        if (uf.image != (pass == 1)) continue;
        WireFields attrs{{"FileName", uf.name}, {"FileSize", std::to_string(uf.data.size())}};
        if (!uf.p2p) {
          std::string fid = StoreFileLocked(uf.name, uf.data, uf.image);
          attrs.Set("FID", fid);
          attrs.Set("KEY", files_[fid].key);
          infos.push_back(AnnounceInfoLocked(fid));
          if (fids) fids->push_back(fid);
        } else {
          attrs.Set("KEY", "P2P" + NewFid());
        }
        items.emplace_back(uf.image ? "Img" : "File", attrs);
      }
    }
  }
  auto sendAnnouncements = [&] {
    if (!announce || !fm) return;
    for (const auto& info : infos) Send(fm, WireFields{{"event", "1"}, {"info", info}});
  };
  if (m.announce == "before") sendAnnouncements();
  const std::string body = m.rawBody.empty() ? BuildBody(m.text, items) : m.rawBody;
  const std::string content = m.rawContent.empty() ? MakeContent(body, key) : m.rawContent;
  for (size_t i = 0; i < m.to.size(); ++i) {
    if (i > 0 && m.gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m.gapMs));
    if (i == 0 && raisedUs) *raisedUs = MonotonicMicros();
    DeliverMessageEvent(WireFields{{"event", "1"}, {"sender", m.from}, {"receivers", m.to[i]},
                                   {"type1", "Morvane.NUV.IM"}, {"type2", "Morvane.NUV.IM"},
                                   {"number", "0"}, {"content", content}});
  }
  if (m.announce == "after") sendAnnouncements();
  *keyOrError = key;
  return true;
}

std::string ImSimServer::UserUpload(const std::string& name, const std::string& data, bool announce) {
  std::string fid;
  {
    std::lock_guard<std::mutex> g(mu_);
    fid = StoreFileLocked(name, data, false);
  }
  if (announce) Announce(fid);
  return fid;
}

bool ImSimServer::Announce(const std::string& fid) {
  std::shared_ptr<Conn> fm;
  std::string info;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (faults_.neverAnnounce || files_.count(fid) == 0) return false;
    fm = fmConn_.lock();
    info = AnnounceInfoLocked(fid);
  }
  return Send(fm, WireFields{{"event", "1"}, {"info", info}});
}

void ImSimServer::SetPresence(const std::string& user, const std::string& state) {
  std::lock_guard<std::mutex> g(mu_);
  if (presence_.count(user) == 0) presenceOrder_.push_back(user);
  presence_[user] = state;
}

std::map<std::string, std::string> ImSimServer::Presence() const {
  std::lock_guard<std::mutex> g(mu_);
  return presence_;
}

void ImSimServer::SetFaults(const Faults& f) {
  std::lock_guard<std::mutex> g(mu_);
  faults_ = f;
}

ImSimServer::Faults ImSimServer::GetFaults() const {
  std::lock_guard<std::mutex> g(mu_);
  return faults_;
}

bool ImSimServer::RaiseAppStopped(int32_t code, const std::string& target) {
  std::shared_ptr<Conn> app, fm;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (target != "fm") {
      app = appConn_.lock();
      state_.started = false;
      appConn_.reset();
    }
    if (target != "app") fm = fmConn_.lock();
  }
  bool sent = false;
  WireFields ev;
  ev.SetInt("code", code);
  if (app) {
    ev.Set("event", "2");
    sent = Send(app, ev) || sent;
  }
  if (fm) {
    ev.Set("event", "4");
    sent = Send(fm, ev) || sent;
  }
  return sent;
}

void ImSimServer::DropConnections() {
  std::lock_guard<std::mutex> g(mu_);
  for (auto& c : conns_) net::Shutdown(c->fd);
}

std::vector<WireFields> ImSimServer::Calls() const {
  std::lock_guard<std::mutex> g(mu_);
  return calls_;
}
std::vector<WireFields> ImSimServer::Messages() const {
  std::lock_guard<std::mutex> g(mu_);
  return messages_;
}
std::vector<int64_t> ImSimServer::MessageTimesUs() const {
  std::lock_guard<std::mutex> g(mu_);
  return messageTimesUs_;
}
ImSimServer::Counts ImSimServer::RecordCounts() const {
  std::lock_guard<std::mutex> g(mu_);
  Counts c{calls_.size(), messages_.size(), sysMessages_.size(), sentFiles_.size()};
  c.acks = acks_;
  for (const auto& kv : ledgers_) c.unacked += kv.second.unacked.size();
  return c;
}
std::vector<uint64_t> ImSimServer::Unacked(const std::string& guid) const {
  std::lock_guard<std::mutex> g(mu_);
  std::vector<uint64_t> seqs;
  auto it = ledgers_.find(guid);
  if (it != ledgers_.end()) {
    for (const auto& e : it->second.unacked) seqs.push_back(e.first);
  }
  return seqs;
}
std::vector<WireFields> ImSimServer::SysMessages() const {
  std::lock_guard<std::mutex> g(mu_);
  return sysMessages_;
}
std::vector<ImSimServer::SentFile> ImSimServer::SentFiles() const {
  std::lock_guard<std::mutex> g(mu_);
  return sentFiles_;
}
ImSimServer::AppState ImSimServer::State() const {
  std::lock_guard<std::mutex> g(mu_);
  return state_;
}
void ImSimServer::ClearRecords() {
  std::lock_guard<std::mutex> g(mu_);
  calls_.clear();
  messages_.clear();
  messageTimesUs_.clear();
  sysMessages_.clear();
  sentFiles_.clear();
}

}  // namespace sim
}  // namespace nuv
