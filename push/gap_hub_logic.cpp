#include "push/gap_hub_logic.h"

#include <cstdio>
#include <ctime>

#include "common/bridge_metrics.h"
#include "common/clock.h"
#include "common/file_util.h"
#include "common/log.h"
#include "push/byte_order.h"
#include "push/gap_client.h"
#include "push/notify_payload.h"
#include "push/push_log.h"
#include "push/push_settings.h"

namespace nuv {
namespace {

constexpr size_t kTokenRecordLen = 16;

void PutLE(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The key request's send time: the local date and time read as seconds since
// 1970 with daylight saving ignored, plus the millisecond part.
uint64_t KeyRequestTimeMs() {
  const int64_t nowMs = GetClock().NowMs();
  time_t t = static_cast<time_t>(nowMs / 1000);
  std::tm local{};
  localtime_r(&t, &local);
  local.tm_isdst = 0;
  const time_t secs = std::mktime(&local);
  return static_cast<uint64_t>(secs) * 1000u + static_cast<uint64_t>(nowMs % 1000);
}

// Trampolines from the client's plain callbacks to the owning object.
void OnClientConnect(void* owner) { static_cast<GapHubLogic*>(owner)->ConnectCallBack(); }
void OnClientReceive(void* owner, const uint8_t* frame, size_t len) {
  static_cast<GapHubLogic*>(owner)->RecevieCallBack(frame, len);
}
void OnClientIdle(void* owner) { static_cast<GapHubLogic*>(owner)->KeepAlive(); }
void OnClientReadDone(void* owner) { static_cast<GapHubLogic*>(owner)->ReadDone(); }

}  // namespace

GapHubLogic::GapHubLogic(const std::string& dir, OndekoNotifyCallbackFn notify,
                         OndekoTokenCallbackFn token)
    : notify_(notify), tokenCb_(token), tokenPath_(dir + "token.ini") {
  LoadToken();
  m_tSerialization.SetPublicKey(kPushPublicKey);
}

// The client's thread calls back into this object through client_, so it is
// stopped and joined while client_ still points at it; only then is the
// client released.
void GapHubLogic::ReleaseClient() {
  if (!client_) return;
  client_->Stop();
  client_->Join();
  client_.reset();
}

GapHubLogic::~GapHubLogic() { ReleaseClient(); }

int GapHubLogic::Init() {
  int rc = LoadToken();
  if (rc != 0) PushLog("LoadToken fail ret %d", rc);
  const PushSettings settings = LoadPushSettings();
  m_tSerialization.SetPublicKey(settings.publicKey);
  ReleaseClient();
  GapClientCallbacks cb;
  cb.owner = this;
  cb.connect = &OnClientConnect;
  cb.receive = &OnClientReceive;
  cb.idle = &OnClientIdle;
  cb.readDone = &OnClientReadDone;
  client_ = std::make_unique<GapClient>(cb, settings.host, settings.port);
  return 0;
}

int GapHubLogic::Start() {
  if (!client_) return -1;
  return client_->Start() ? 0 : -1;
}

void GapHubLogic::Stop() {
  if (client_) client_->Stop();
}

int GapHubLogic::LoadToken() {
  std::FILE* f = std::fopen(tokenPath_.c_str(), "rb");
  if (!f) {
    PushLog("fopen %s fail", tokenPath_.c_str());
    return -1;
  }
  uint8_t rec[kTokenRecordLen] = {0};
  const size_t n = std::fread(rec, 1, sizeof rec, f);
  std::fclose(f);
  // Only a whole record counts: a torn file must not yield half a token.
  if (n == kTokenRecordLen) {
    token_ = GetLE(rec, 8);
    createtime_ = static_cast<uint32_t>(GetLE(rec + 8, 4));
  } else {
    PushLog("LoadToken %s holds %d bytes, not a token record", tokenPath_.c_str(),
            static_cast<int>(n));
  }
  PushLog("LoadToken %s, %u", SecretTail(token_).c_str(), createtime_);
  return 0;
}

int GapHubLogic::WriteToken() {
  uint8_t rec[kTokenRecordLen] = {0};
  PutLE(rec, token_, 8);
  PutLE(rec + 8, createtime_, 4);
  PushLog("WriteToken %s, %u", SecretTail(token_).c_str(), createtime_);
  // Written beside and renamed over the old file, so a crash never leaves a
  // torn token.
  int rc = WriteFileSafe(tokenPath_, reinterpret_cast<const char*>(rec), sizeof rec, kPrivateFileMode);
  if (rc == -1) {
    PushLog("WriteToken fopen fail");
    return -1;
  }
  if (rc != 0) {
    PushLog("WriteToken fwrite fail ret %d", 0);
    return -2;
  }
  return 0;
}

void GapHubLogic::SendMessage(GapPacket& msg, const char* writeFail, const char* sendFail) {
  hibuffer frame;
  int rc = m_tSerialization.write(frame, msg);
  if (rc != 0) {
    PushLog(writeFail, rc);
    return;
  }
  rc = client_->senddata(frame.data(), frame.length());
  if (rc != 0) PushLog(sendFail, rc);
}

void GapHubLogic::ConnectCallBack() {
  m_tSerialization.SetKey(kInitialGapKey);
  const uint64_t sendMs = KeyRequestTimeMs();
  PushLog("ConnectCallBack time %u", static_cast<unsigned>(sendMs / 1000));
  GapKeyReq req(kInitialGapKey, sendMs);
  SendMessage(req, "ConnectCallBack m_tSerialization write fail ret %d",
              "ConnectCallBack senddata fail %d");
  // A key reply that never comes would leave the connection deaf.
  client_->ExpectReply("key reply", false);
}

void GapHubLogic::RecevieCallBack(const uint8_t* bytes, size_t len) {
  std::unique_ptr<GapPacket> msg;
  int rc = m_tSerialization.read(bytes, len, &msg);
  if (rc != 0 || !msg) {
    PushLog("RecevieCallBack m_tSerialization read fail %d ", rc);
    return;
  }
  switch (msg->getCmd()) {
    case CMD_GAPKEY:
      OnKeyReply(static_cast<const GapKeyRsp&>(*msg));
      break;
    case CMD_CONNECT_RSP:
      OnConnectReply(static_cast<const ConnectRsp&>(*msg));
      break;
    case CMD_HEARTBEAT_REQ: {
      HeartBeatRsp rsp;
      SendMessage(rsp, "RecevieCallBack HeartBeatRsp Serialization fail %d",
                  "RecevieCallBack HeartBeatRsp senddata fail %d");
      break;
    }
    case CMD_HEARTBEAT_RSP:
      PushLog("RecevieCallBack HeartBeatRsp rece");
      break;
    case CMD_NOTIFY_REQ:
      OnNotify(static_cast<NotifyReq&>(*msg));
      break;
    default:
      break;
  }
}

void GapHubLogic::OnKeyReply(const GapKeyRsp& rsp) {
  m_tSerialization.SetKey(rsp.key);
  const std::string hex = HexUpper(rsp.key);
  // The session key itself stays out of the log: its tail tells keys apart.
  PushLog("gapkey %s", SecretTail(hex).c_str());
  ConnectReq req(token_, createtime_, lastSeq_);
  SendMessage(req, "RecevieCallBack ConnectReq Serialization fail %d",
              "RecevieCallBack ConectReq senddata fail %d");
  client_->ExpectReply("connect reply", false);
}

void GapHubLogic::OnConnectReply(const ConnectRsp& rsp) {
  client_->ClearReplyDeadline();
  PushLog("CMD_CONNECT_RSP, %s, createtime %u", SecretTail(rsp.token).c_str(), rsp.createtime);
  if (rsp.getResult() != 0) {
    PushLog("RecevieCallBack ConnectRsp getResult %d != 0", static_cast<int>(rsp.getResult()));
    // An unaccepted connection never carries notifies: try again later, with
    // growing pauses while the server keeps refusing.
    client_->RequestReconnect("connect refused", rejectDelay_);
    rejectDelay_ = rejectDelay_ * 2 < GapClient::kMaxBackoffSeconds ? rejectDelay_ * 2
                                                                    : GapClient::kMaxBackoffSeconds;
    return;
  }
  rejectDelay_ = 1;
  Metrics().PushEstablished();
  if (token_ == 0) {
    token_ = rsp.token;
    createtime_ = rsp.createtime;
    WriteToken();
  }
  if (tokenCb_) tokenCb_(token_);
}

void GapHubLogic::OnNotify(NotifyReq& req) {
  if (burst_ && !burstOpen_ && !req.items.empty()) {
    burstOpen_ = true;
    burst_(true);
  }
  for (const NotifyItem& item : req.items) {
    HandleMsg(item.msgId, reinterpret_cast<const uint8_t*>(item.payload.data()),
              item.payload.size());
    if (item.sequence > lastSeq_) lastSeq_ = item.sequence;
  }
  NotifyRsp rsp(lastSeq_);
  hibuffer frame;
  int rc = m_tSerialization.write(frame, rsp);
  if (rc != 0) {
    PushLog("RecevieCallBack NotifyRsp Serialization seq %d failed %d", static_cast<int>(lastSeq_),
            rc);
    return;
  }
  rc = client_->senddata(frame.data(), frame.length());
  if (rc != 0) PushLog("RecevieCallBack NotifyRsp senddata ret %d", rc);
}

void GapHubLogic::HandleMsg(uint64_t msgId, const uint8_t* payload, size_t len) {
  OndekoMsgItem item;
  if (ParseFromBuffer(&item, payload, static_cast<int>(len)) != 0) {
    PushLog("HandleMsg ParseFromBuffer fail");
    return;
  }
  if (notify_) notify_(msgId, &item);
}

void GapHubLogic::ReadDone() {
  if (!burstOpen_) return;
  burstOpen_ = false;
  burst_(false);
}

void GapHubLogic::KeepAlive() {
  HeartBeatReq req;
  SendMessage(req, "KeepAlive m_tSerialization write fail %d", "KeepAlive senddata fail ret %d");
  client_->ExpectReply("heartbeat reply", true);
}

}  // namespace nuv
