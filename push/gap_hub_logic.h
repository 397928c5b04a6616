#pragma once
// GapHubLogic: the push long connection of the worker. It owns the socket
// client (GapClient) and the frame codec (m_tSerialization), performs the key
// exchange and the connect handshake with the stored token, answers and
// sends heartbeats, acknowledges notify requests and hands every announced
// cloud message to the notify callback and every accepted connect's token to
// the token callback. The token lives in <config dir>/token.ini.
//
// Created, started, stopped and destroyed by the processor's control thread;
// everything else (the handshake, the callbacks, token and sequence state)
// runs on the client's Clientmain thread only. Stop may be called from any
// thread; destruction joins Clientmain.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "cloud/ondeko_records.h"
#include "push/serialization.h"

namespace nuv {

class GapClient;

// Called once per notify item, in ascending item sequence, on the push
// thread. The record lives only for the call.
typedef void (*OndekoNotifyCallbackFn)(uint64_t msgId, OndekoMsgItem* item);
// Called after every accepted connect with the stored token; result ignored.
typedef int (*OndekoTokenCallbackFn)(uint64_t token);
// Called with true before the first notify item of one read from the
// socket and with false after its last frame, before the notifies are
// acknowledged, so that the owner can take a burst of messages in as one.
typedef void (*OndekoBurstCallbackFn)(bool begin);

class GapHubLogic {
 public:
  // dir: the configuration directory, ending in a separator. Reads
  // token.ini; no network activity.
  GapHubLogic(const std::string& dir, OndekoNotifyCallbackFn notify, OndekoTokenCallbackFn token);
  ~GapHubLogic();
  GapHubLogic(const GapHubLogic&) = delete;
  GapHubLogic& operator=(const GapHubLogic&) = delete;

  // Reads token.ini again and the [push] settings, creates the client. 0.
  int Init();
  // Starts the Clientmain thread. 0, or -1 without Init or when running.
  int Start();
  // Asks the thread to end (effective within about a second).
  void Stop();

  // Optional; set before Start.
  void SetBurstCallback(OndekoBurstCallbackFn burst) { burst_ = burst; }

  int LoadToken();
  int WriteToken();

  // The client's callbacks (Clientmain thread).
  void ConnectCallBack();
  void RecevieCallBack(const uint8_t* bytes, size_t len);
  void KeepAlive();
  void HandleMsg(uint64_t msgId, const uint8_t* payload, size_t len);
  // The client's end of one read: closes the burst opened by its notifies.
  void ReadDone();

  // State, for the owner's and tests' inspection once the thread is stopped.
  uint64_t token() const { return token_; }
  uint32_t createtime() const { return createtime_; }
  uint32_t lastSequence() const { return lastSeq_; }
  const std::string& tokenPath() const { return tokenPath_; }

 private:
  void ReleaseClient();
  void SendMessage(GapPacket& msg, const char* writeFail, const char* sendFail);
  void OnKeyReply(const GapKeyRsp& rsp);
  void OnConnectReply(const ConnectRsp& rsp);
  void OnNotify(NotifyReq& req);

  const OndekoNotifyCallbackFn notify_;
  const OndekoTokenCallbackFn tokenCb_;
  OndekoBurstCallbackFn burst_ = nullptr;
  const std::string tokenPath_;
  std::unique_ptr<GapClient> client_;

  // Clientmain thread only (after Start).
  uint64_t token_ = 0;
  uint32_t createtime_ = 0;
  uint32_t lastSeq_ = 0;
  uint32_t rejectDelay_ = 1;  // wait before reconnecting after a refused connect
  bool burstOpen_ = false;    // burst_(true) called, burst_(false) not yet
  Serialization m_tSerialization;
};

}  // namespace nuv
