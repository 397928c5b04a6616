#pragma once
// PushServer: the simulator's push server. Listens on a loopback TCP port
// (0 picks an ephemeral one) and speaks the push frames from the server's
// side: decrypts the key request with the private key and answers a fresh
// session key, accepts ConnectReq (assigning a token to a client that
// presents 0, keeping a known one), answers heartbeats, announces cloud
// messages as NotifyReq items and records every acknowledged sequence.
// Faults can be injected to exercise the client's recovery.
//
// Tests own one in-process; the push_sim and ondeko_sim programs own one
// for their lifetime. The server thread does the socket work; every public
// method may be called from any thread (state is guarded by one mutex).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud/ondeko_records.h"
#include "sim/push/server_frames.h"

namespace nuv {
namespace net {
struct WakePipe;
}
namespace sim {

// A ConnectReq as the server received it.
struct ConnectRecord {
  uint64_t token = 0;
  uint32_t createtime = 0;
  uint32_t lastSeq = 0;
};

// Everything the server observed, for inspection.
struct PushServerStats {
  int accepted = 0;           // TCP connections accepted
  int open = 0;               // connections open now
  int established = 0;        // open connections past an accepted ConnectRsp
  int keyRequests = 0;        // key requests decrypted and answered (or held)
  int badFrames = 0;          // frames from the client that failed to decode
  int heartbeatRequests = 0;  // HeartBeatReq received from the client
  int heartbeatReplies = 0;   // HeartBeatRsp received from the client
  std::vector<ConnectRecord> connects;
  std::vector<uint32_t> acks;  // NotifyRsp sequences, in arrival order
  uint64_t lastKeyRequestMs = 0;  // send time carried by the last key request
  bool lastKeyWasInitial = false;  // the last key request carried the initial key
};

// Injected faults; they apply to frames sent after they are set.
struct PushFaults {
  bool withholdKeyReply = false;      // hold key replies until ReleaseHeldReplies
  int keyReplyDelayMs = 0;            // or send them this much later
  bool withholdConnectReply = false;  // the same for connect replies
  int connectReplyDelayMs = 0;
  int rejectConnects = 0;        // refuse this many connects (then accept again)
  uint32_t rejectResult = 1;     // the result code of a refusal
  int badKeyChecksums = 0;       // this many key replies carry a wrong checksum
  int splitWrites = 1;           // write every frame in this many pieces
  bool answerHeartbeats = true;  // reply to the client's HeartBeatReq
};

class PushServer {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string privateKeyPem;  // empty: the simulator's own key
  };

  PushServer();
  explicit PushServer(Options options);
  ~PushServer();
  PushServer(const PushServer&) = delete;
  PushServer& operator=(const PushServer&) = delete;

  // Binds and starts the server thread; false when the port cannot be bound.
  bool Start();
  void Stop();
  uint16_t port() const { return port_; }

  // Queues a cloud message: it gets the next item sequence and is sent at
  // once to the established client, or when one establishes; it is sent
  // again on every new connection until acknowledged. Returns the sequence.
  uint32_t AnnounceMessage(const OndekoMsgItem& item);
  // Sends one NotifyReq with exactly these items, in this order, to the
  // established client. False when none is established.
  bool Announce(const std::vector<NotifyEntry>& items);
  // Sends several NotifyReq frames; with oneWrite all of them go out in one
  // TCP write.
  bool AnnounceFrames(const std::vector<std::vector<NotifyEntry>>& frames, bool oneWrite);
  // Sends a HeartBeatReq to the established client.
  bool SendHeartbeat();
  // Sends a frame that cannot be decrypted / a NotifyReq whose checksum is
  // wrong, to the established (or, failing that, any open) connection.
  bool SendUndecryptableFrame();
  bool SendBadChecksumFrame();
  // Closes every open connection (the client sees the peer close).
  void CloseConnections();
  // Sends held key/connect replies now.
  void ReleaseHeldReplies();

  void SetFaults(const PushFaults& faults);
  PushFaults faults() const;
  // The token and createtime given to a client that presents token 0.
  void SetNewClientToken(uint64_t token, uint32_t createtime);
  // When non-zero, every ConnectRsp carries this token instead.
  void SetReplyTokenOverride(uint64_t token);

  PushServerStats Stats() const;
  // Waits (real time, at most timeoutMs) until pred holds for the stats.
  bool WaitUntil(const std::function<bool(const PushServerStats&)>& pred, int timeoutMs = 5000) const;
  // Announced messages not yet acknowledged.
  size_t PendingCount() const;

 private:
  struct Session;
  struct Scheduled;

  void Run();
  void AcceptNew();
  void ReadFrom(Session& s);
  bool HandleFrame(Session& s, const uint8_t* frame, size_t len);
  void OnKeyRequest(Session& s, const uint8_t* frame, size_t len);
  void OnConnectRequest(Session& s, const ClientFrame& f);
  void OnAck(uint32_t seq);
  void Schedule(Session& s, std::string wire, bool hold, int delayMs);
  void FlushDue();
  bool WriteFrames(Session& s, const std::string& wire);
  void SendPending(Session& s);
  Session* Established();
  void CloseSession(size_t index);
  void NotifyChanged();

  const Options options_;
  std::string privateKey_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::unique_ptr<net::WakePipe> wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // Guards everything below (sessions, their sockets' writes, stats, faults).
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::deque<Scheduled> scheduled_;
  std::vector<NotifyEntry> pending_;  // announced, not yet acknowledged
  uint32_t nextSequence_ = 1;
  uint64_t nextSessionId_ = 1;
  uint64_t newToken_;
  uint32_t newCreatetime_;
  uint64_t replyTokenOverride_ = 0;
  PushFaults faults_;
  PushServerStats stats_;
};

}  // namespace sim
}  // namespace nuv
