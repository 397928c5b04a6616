#pragma once
// The IM server simulator: the server side of the IM protocol
// (docs/im-protocol.md) on two loopback ports (application and root object;
// file monitor), holding users with presence, the registered application and
// files, recording every call it receives, and acting out users and faults on
// request. Message events to an application that started with acknowledgements
// carry a sequence and are kept, per application GUID, until the client
// acknowledges them; the next Start of that application gets the ones left
// again, in order, before any new one. ImSimControl (im_sim_control.h) puts an HTTP+JSON interface in
// front of the methods below. Tests start it in-process on ephemeral ports;
// nuv_im_sim runs it as a program. Connection threads, the control thread
// and test threads use it concurrently; all state is guarded by one mutex.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "im/wire_codec.h"

namespace nuv {
namespace sim {

class ImSimServer {
 public:
  struct Options {
    std::string ip = "127.0.0.1";
    uint16_t appPort = 0;  // 0: ephemeral
    uint16_t fmPort = 0;
  };
  // A file of a message typed by a user.
  struct UserFile {
    std::string name;
    std::string data;
    bool image = false;
    bool p2p = false;  // passed peer to peer: no FID in the body, not stored
  };
  // A message typed by a user, sent as one event per receiver copy.
  struct UserMessage {
    std::string from;
    std::vector<std::string> to;
    std::string text;
    std::vector<UserFile> files;
    std::string key;                // empty: a new GUID
    int gapMs = 2;                  // real milliseconds between the copies
    std::string announce = "before";  // "before", "after" the copies, or "never"
    std::string rawBody;            // non-empty: used as the body as it stands
    std::string rawContent;         // non-empty: the message content as it stands
  };
  struct Faults {
    bool refuseRegister = false;
    bool failAppStart = false;
    bool failFmStart = false;
    bool neverAnnounce = false;
    int downloadFail = 0;  // 0 never, 1 the next download, 2 every download
    int sendFileFail = 0;  // SendFile answers an error: 0 never, 1 the next one, 2 every one
    bool holdDownloads = false;  // answer downloads only on ReleaseDownloads
  };
  // A file the bridge delivered with SendFile, bytes copied at the call.
  struct SentFile {
    WireFields fields;
    std::string data;
    int64_t receivedUs = 0;  // MonotonicMicros() when the call arrived
  };
  struct AppState {
    bool registered = false;
    bool started = false;
    bool fmStarted = false;
    WireFields registration;  // the Register call's fields
  };

  ImSimServer();
  explicit ImSimServer(Options options);
  ~ImSimServer();
  ImSimServer(const ImSimServer&) = delete;
  ImSimServer& operator=(const ImSimServer&) = delete;

  bool Start(std::string* error);
  void Stop();
  uint16_t appPort() const { return appPort_; }
  uint16_t fmPort() const { return fmPort_; }

  // Users and their presence ("online", "offline", "away").
  void SetPresence(const std::string& user, const std::string& state);
  std::map<std::string, std::string> Presence() const;

  // A user sends a message. Returns false (and why) when the application is
  // not started; otherwise the key used and the ids of the stored files,
  // and (raisedUs) MonotonicMicros() just before the first event was sent.
  bool UserSend(const UserMessage& m, std::string* keyOrError, std::vector<std::string>* fids,
                int64_t* raisedUs = nullptr);
  // A user uploads a file: stored and announced (unless announce is false or
  // announcements are off). Returns its id.
  std::string UserUpload(const std::string& name, const std::string& data, bool announce = true);
  // Announces a stored file to the file monitor now.
  bool Announce(const std::string& fid);

  void SetFaults(const Faults& f);
  Faults GetFaults() const;
  // Sends the held downloads' answers.
  void ReleaseDownloads();
  // Raises the application-stopped event on the application ("app"), the
  // file monitor ("fm") or both ("both").
  bool RaiseAppStopped(int32_t code, const std::string& target);
  // Drops every client connection.
  void DropConnections();

  std::vector<WireFields> Calls() const;
  std::vector<WireFields> Messages() const;
  // MonotonicMicros() at the arrival of each of Messages(), same order.
  std::vector<int64_t> MessageTimesUs() const;
  // Sizes of the records, cheap to ask for often.
  struct Counts {
    size_t calls = 0, messages = 0, sysMessages = 0, sentFiles = 0;
    size_t acks = 0;     // acknowledgements received
    size_t unacked = 0;  // message events kept for redelivery, all applications
  };
  Counts RecordCounts() const;
  std::vector<WireFields> SysMessages() const;
  std::vector<SentFile> SentFiles() const;
  AppState State() const;
  // The sequences of the message events of application guid not yet
  // acknowledged, oldest first (empty when it does not acknowledge).
  std::vector<uint64_t> Unacked(const std::string& guid) const;
  void ClearRecords();

 private:
  struct Conn;
  struct StoredFile {
    std::string name;
    std::string key;
    std::string data;
    bool image = false;
  };
  struct HeldDownload {
    std::weak_ptr<Conn> conn;
    std::string fid;
    std::string name;
  };

  void AcceptLoop(int listenFd, bool fm);
  void ServeConn(std::shared_ptr<Conn> c);
  void Handle(const std::shared_ptr<Conn>& c, WireFrame& f);
  WireFields HandleOp(const std::shared_ptr<Conn>& c, const std::string& op, WireFrame& f,
                      std::vector<HeldDownload>* downloads);
  void AnswerDownload(const HeldDownload& d);
  // Sends a message event (event 1) to the started application; when it
  // acknowledges, tags it with the next sequence and keeps it (also when no
  // connection takes it now). Called without mu_.
  bool DeliverMessageEvent(WireFields ev);
  void OnAck(const WireFields& f);
  static bool Send(const std::shared_ptr<Conn>& c, const WireFields& fields,
                   const std::string& body = std::string());
  std::string StoreFileLocked(const std::string& name, const std::string& data, bool image);
  std::string AnnounceInfoLocked(const std::string& fid);
  std::string MakeContent(const std::string& body, const std::string& key);
  std::string NewGuid();
  std::string NewFid();

  const Options options_;
  uint16_t appPort_ = 0;
  uint16_t fmPort_ = 0;
  int appListen_ = -1;
  int fmListen_ = -1;
  std::thread appAccept_;
  std::thread fmAccept_;

  // Held while a message event is tagged and written, and by a Start from its
  // decision to its redelivery, so that the application's events keep their
  // order. Taken before mu_.
  std::mutex deliverMu_;

  // The message events of one application GUID that await acknowledgement.
  struct Ledger {
    bool acks = false;  // its last Start asked for acknowledgements
    uint64_t lastSeq = 0;
    std::deque<std::pair<uint64_t, WireFields>> unacked;
  };

  // Guards everything below.
  mutable std::mutex mu_;
  bool stopping_ = false;
  std::vector<std::shared_ptr<Conn>> conns_;
  std::weak_ptr<Conn> appConn_;  // the connection that started the application
  std::weak_ptr<Conn> fmConn_;   // the connection that started the file monitor
  AppState state_;
  std::string appGuid_;  // of the last Start that succeeded
  std::map<std::string, Ledger> ledgers_;
  size_t acks_ = 0;
  Faults faults_;
  std::map<std::string, std::string> presence_;
  std::vector<std::string> presenceOrder_;
  std::map<std::string, StoredFile> files_;
  std::vector<HeldDownload> held_;
  std::vector<WireFields> calls_;
  std::vector<WireFields> messages_;
  std::vector<int64_t> messageTimesUs_;  // beside messages_
  std::vector<WireFields> sysMessages_;
  std::vector<SentFile> sentFiles_;
  uint64_t seq_ = 0;
};

}  // namespace sim
}  // namespace nuv
