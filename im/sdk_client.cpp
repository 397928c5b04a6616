// The network implementation of the SDK objects: each object that talks to
// the IM server owns one ImConnection (root object, application object, file
// monitor), so that a handler of one object's events may call the others.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/sdk_error.h"
#include "common/service_ini.h"
#include "common/text_conv.h"
#include "im/im_connection.h"
#include "im/sdk.h"

namespace nuv {
namespace {

std::string U8(const std::wstring& w) { return WideToUtf8(w); }
std::wstring W(const std::string& s) { return Utf8ToWide(s); }

// Stores a downloaded file: written beside its final name, then renamed, so
// a reader never sees half a file. No fsync: a temporary copy that a crash
// loses is simply fetched again.
bool StoreDownload(const std::string& path, const std::string& bytes) {
  const std::string part = path + ".part";
  const int fd = CreateFreshFile(part, 0600);
  std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!f) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (ok) ok = std::rename(part.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(part.c_str());
  return ok;
}

// Holds the one listener of an event source and delivers events to it.
// Unadvise waits for an event being delivered on another thread, so a
// listener is never called after Unadvise returned.
class ListenerSlot {
 public:
  bool Advise(ISdkEventListener* l) {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (listener_ && listener_ != l) return false;
    listener_ = l;
    return true;
  }
  void Unadvise(ISdkEventListener* l) {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (listener_ == l) listener_ = nullptr;
  }
  // True when a listener took the event.
  bool Raise(SdkEvent& ev) {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (!listener_) return false;
    listener_->Invoke(ev);
    return !ev.declined;
  }
  // True when the listener made what it took safe; false also without one.
  bool Settle() {
    std::lock_guard<std::recursive_mutex> g(mu_);
    return listener_ && listener_->EventsHandled();
  }

 private:
  std::recursive_mutex mu_;
  ISdkEventListener* listener_ = nullptr;
};

bool ResultFlag(const WireFrame& reply) { return reply.fields.GetInt("result", 0) != 0; }

class NetApp : public INuvApp {
 public:
  NetApp(const std::string& ip, uint16_t port) : conn_("app") {
    conn_.SetEndpoint(ip, port);
    conn_.SetHandlers([this](WireFrame& f) { OnFrame(f); },
                      [this](const std::string&) { OnLost(); });
  }

  bool Advise(ISdkEventListener* l) override { return slot_.Advise(l); }
  void Unadvise(ISdkEventListener* l) override { slot_.Unadvise(l); }

  void SetAppGUID(const std::wstring& v) override { Set(guid_, v); }
  void SetAppName(const std::wstring& v) override { Set(name_, v); }
  void SetServerIP(const std::wstring& ip) override { conn_.SetIp(U8(ip)); }
  void SetServerPort(uint16_t port) override { conn_.SetPort(port); }
  void SetRegSetting(int position, const std::wstring& value) override {
    if (position < 1 || position > 7) return;
    Set(reg_[position], value);
  }
  void SetRegSetting(int position, int32_t value) override {
    SetRegSetting(position, std::to_wstring(value));
  }

  bool Register() override {
    WireFields a = Identity();
    {
      std::lock_guard<std::mutex> g(mu_);
      a.Set("name", U8(name_));
      for (int i = 1; i <= 7; ++i) a.Set("reg" + std::to_string(i), U8(reg_[i]));
    }
    return ResultFlag(conn_.Call("Register", a));
  }
  bool Unregister() override { return ResultFlag(conn_.Call("Unregister", Identity())); }
  void Start(const std::wstring& text, int32_t mode) override {
    WireFields a = Identity();
    a.Set("text", U8(text));
    a.SetInt("mode", mode);
    a.Set("acks", "1");  // message events are acknowledged once handled
    conn_.Call("Start", a);
    started_ = true;
  }
  bool Stop() override {
    started_ = false;
    return ResultFlag(conn_.Call("Stop", Identity()));
  }
  // The objects are local; the server is told so that it sees every call.
  std::shared_ptr<NuvMessage> CreateMessage() override {
    conn_.Call("CreateMessage", Identity());
    return std::make_shared<NuvMessage>();
  }
  void SendMessage(const NuvMessage& m, int32_t flags) override {
    WireFields a = Identity();
    a.Set("sender", U8(m.Sender));
    a.Set("receivers", U8(m.Receivers));
    a.Set("type1", U8(m.Type1));
    a.Set("type2", U8(m.Type2));
    a.Set("content", U8(m.Content));
    a.SetInt("number", m.Number);
    a.SetInt("flags", flags);
    conn_.Call("SendMessage", a);
  }

 private:
  void Set(std::wstring& field, const std::wstring& v) {
    std::lock_guard<std::mutex> g(mu_);
    field = v;
  }
  WireFields Identity() {
    std::lock_guard<std::mutex> g(mu_);
    return WireFields{{"guid", U8(guid_)}};
  }
  // A message handler must not release the application object: the
  // acknowledgement is sent after it returns.
  void OnFrame(WireFrame& f) {
    SdkEvent ev;
    ev.number = static_cast<int>(f.fields.GetInt("event", 0));
    if (ev.number == APP_EVENT_RECV_MESSAGE) {
      auto m = std::make_shared<NuvMessage>();
      m->Sender = W(f.fields.Get("sender"));
      m->Receivers = W(f.fields.Get("receivers"));
      m->Content = W(f.fields.Get("content"));
      m->Type1 = W(f.fields.Get("type1"));
      m->Type2 = W(f.fields.Get("type2"));
      m->Number = static_cast<int32_t>(f.fields.GetInt("number", 0));
      ev.message = std::move(m);
    } else if (ev.number == APP_EVENT_STOPPED) {
      ev.code = static_cast<int32_t>(f.fields.GetInt("code", 0));
      started_ = false;
    }
    const bool taken = slot_.Raise(ev);
    // The handler has returned: the message is the listener's now. Without
    // the acknowledgement the server hands it again to the next Start of
    // this application. A lost acknowledgement only means a second copy.
    // Acknowledgements wait until the events received so far are handled
    // and the listener has settled them: one settling for a whole burst.
    // A message nobody took is left with the server.
    if (ev.number == APP_EVENT_RECV_MESSAGE && f.fields.Has("seq")) {
      if (!taken) {
        WriteLogF("NetApp message event seq %s was not taken by a listener, left with the IM server",
                  f.fields.Get("seq").c_str());
        return;
      }
      unacked_.push_back(f.fields.Get("seq"));
      if (!settlePosted_) {
        settlePosted_ = true;
        conn_.Post([this] { SettleAndAck(); });
      }
    }
  }
  // A listener that cannot settle now has the acknowledgements held (the
  // server keeps the events) and is asked again after a pause, or with the
  // next message.
  void SettleAndAck() {
    settlePosted_ = false;
    if (unacked_.empty()) return;
    if (!slot_.Settle()) {
      if (!retryPosted_) {
        retryPosted_ = true;
        conn_.PostAfter(kSettleRetryMs, [this] {
          retryPosted_ = false;
          if (!settlePosted_) SettleAndAck();
        });
      }
      return;
    }
    std::vector<std::string> seqs;
    seqs.swap(unacked_);
    for (const std::string& seq : seqs) {
      WireFields a = Identity();
      a.Set("seq", seq);
      conn_.Notify("Ack", a);
    }
  }
  // The server went away while the application ran: to the listener this is
  // the application being stopped.
  void OnLost() {
    if (!started_.exchange(false)) return;
    SdkEvent ev;
    ev.number = APP_EVENT_STOPPED;
    ev.code = static_cast<int32_t>(kSdkErrServerUnavailable);
    slot_.Raise(ev);
  }

  static constexpr uint32_t kSettleRetryMs = 1000;

  ListenerSlot slot_;
  std::atomic<bool> started_{false};
  // Event thread only: message events handled and not yet acknowledged.
  std::vector<std::string> unacked_;
  bool settlePosted_ = false;
  bool retryPosted_ = false;
  // Guarded by mu_: the settings (the endpoint lives in conn_).
  std::mutex mu_;
  std::wstring guid_, name_;
  std::wstring reg_[8];
  ImConnection conn_;  // last: its threads end before the fields above go
};

class NetFileMonitor : public INuvFileMonitor {
 public:
  NetFileMonitor(const std::string& ip, uint16_t port) : conn_("filemonitor") {
    conn_.SetEndpoint(ip, port);
    conn_.SetHandlers([this](WireFrame& f) { OnFrame(f); },
                      [this](const std::string&) { OnLost(); });
  }

  bool Advise(ISdkEventListener* l) override { return slot_.Advise(l); }
  void Unadvise(ISdkEventListener* l) override { slot_.Unadvise(l); }

  void SetServerIP(const std::wstring& ip) override { conn_.SetIp(U8(ip)); }
  void SetServerPort(uint16_t port) override { conn_.SetPort(port); }
  void Start() override {
    conn_.Call("FmStart", WireFields{});
    started_ = true;
  }
  void DownloadFile(const std::wstring& fid, const std::wstring& key, const std::wstring& name) override {
    const std::string n = U8(name);
    if (n.empty() || n == "." || n == ".." || n.find('/') != std::string::npos ||
        n.find('\0') != std::string::npos) {
      throw NuvSdkError(kSdkErrInvalidArg, "DownloadFile: unsafe file name '" + n + "'");
    }
    ++outstanding_;  // before the request: its event may precede the reply
    try {
      conn_.Call("DownloadFile", WireFields{{"fid", U8(fid)}, {"key", U8(key)}, {"name", n}});
    } catch (...) {
      TakeOutstanding();  // never below zero: its event may have come already
      throw;
    }
  }

 private:
  void OnFrame(WireFrame& f) {
    SdkEvent ev;
    ev.number = static_cast<int>(f.fields.GetInt("event", 0));
    switch (ev.number) {
      case FM_EVENT_FILE_UPLOADED:
        ev.info = W(f.fields.Get("info"));
        break;
      case FM_EVENT_DOWNLOAD_FAILED:
        if (!TakeOutstanding()) return;
        ev.code = static_cast<int32_t>(f.fields.GetInt("code", 0));
        break;
      case FM_EVENT_DOWNLOAD_COMPLETE: {
        if (!TakeOutstanding()) return;
        const std::string path = WideToPath(GetTmpFilesDir()) + "/" + f.fields.Get("name");
        const std::string n = f.fields.Get("name");
        if (n.empty() || n.find('/') != std::string::npos || n == "." || n == ".." ||
            !StoreDownload(path, f.body)) {
          WriteLogF("NetFileMonitor cannot store downloaded file '%s'", path.c_str());
          ev.number = FM_EVENT_DOWNLOAD_FAILED;
          ev.code = static_cast<int32_t>(kSdkErrFail);
        }
        break;
      }
      case FM_EVENT_STOPPED:
        ev.code = static_cast<int32_t>(f.fields.GetInt("code", 0));
        started_ = false;
        break;
      default:
        return;
    }
    slot_.Raise(ev);
  }
  bool TakeOutstanding() {
    int cur = outstanding_.load();
    while (cur > 0 && !outstanding_.compare_exchange_weak(cur, cur - 1)) {
    }
    return cur > 0;
  }
  // A lost server ends every download in progress with a failure event, then
  // stops the monitor as far as the listener is concerned.
  void OnLost() {
    while (TakeOutstanding()) {
      SdkEvent ev;
      ev.number = FM_EVENT_DOWNLOAD_FAILED;
      ev.code = static_cast<int32_t>(kSdkErrServerUnavailable);
      slot_.Raise(ev);
    }
    if (!started_.exchange(false)) return;
    SdkEvent ev;
    ev.number = FM_EVENT_STOPPED;
    ev.code = static_cast<int32_t>(kSdkErrServerUnavailable);
    slot_.Raise(ev);
  }

  ListenerSlot slot_;
  std::atomic<bool> started_{false};
  std::atomic<int> outstanding_{0};  // downloads requested and not ended
  ImConnection conn_;  // last: its threads end before the fields above go
};

class NetRoot : public INuvRoot {
 public:
  NetRoot() : conn_("root") {
    conn_.SetEndpoint(ServiceIni::Get().GetString("im", "server_ip", "127.0.0.1"),
                      static_cast<uint16_t>(ServiceIni::Get().GetInt("im", "app_port", 8006)));
  }

  void SetServerIP(const std::wstring& ip) override { conn_.SetIp(U8(ip)); }
  void SetServerPort(uint16_t port) override { conn_.SetPort(port); }
  // Made with the root's current server address.
  std::shared_ptr<INuvApp> AppObject() override {
    std::lock_guard<std::mutex> g(mu_);
    if (!app_) app_ = std::make_shared<NetApp>(conn_.ip(), conn_.port());
    return app_;
  }
  std::shared_ptr<INuvFileMonitor> FileMonitorObject() override {
    std::lock_guard<std::mutex> g(mu_);
    if (!fm_) fm_ = std::make_shared<NetFileMonitor>(conn_.ip(), conn_.port());
    return fm_;
  }
  std::shared_ptr<INUVSData> CreateNUVSData() override {
    conn_.Call("CreateNUVSData", WireFields{});
    return CreateLocalNUVSData();
  }
  std::wstring QueryUsersByState(const std::wstring& state) override {
    return W(conn_.Call("QueryUsersByState", WireFields{{"state", U8(state)}}).fields.Get("users"));
  }
  void SendSysMessage(const std::wstring& receiver, const std::wstring& title, int32_t kind,
                      const std::wstring& content) override {
    WireFields a{{"receiver", U8(receiver)}, {"title", U8(title)}, {"content", U8(content)}};
    a.SetInt("kind", kind);
    conn_.Call("SendSysMessage", a);
  }
  void SendFile(const std::wstring& sender, const std::wstring& extra, const std::wstring& receiver,
                const std::wstring& path, int32_t isFile, const std::wstring& key) override {
    const std::string p = WideToPath(path);
    std::string bytes;
    if (!ReadFileData(p, bytes)) throw NuvSdkError(kSdkErrInvalidArg, "SendFile: cannot read '" + p + "'");
    const size_t slash = p.find_last_of('/');
    WireFields a{{"sender", U8(sender)}, {"extra", U8(extra)}, {"receiver", U8(receiver)},
                 {"name", slash == std::string::npos ? p : p.substr(slash + 1)}, {"key", U8(key)}};
    a.SetInt("isFile", isFile);
    a.SetInt("size", static_cast<long long>(bytes.size()));
    conn_.Call("SendFile", a, bytes);
  }

 private:
  // Guarded by mu_: the two objects made by the root.
  std::mutex mu_;
  std::shared_ptr<NetApp> app_;
  std::shared_ptr<NetFileMonitor> fm_;
  ImConnection conn_;
};

}  // namespace

std::shared_ptr<INuvRoot> CreateNuvRoot() { return std::make_shared<NetRoot>(); }

}  // namespace nuv
