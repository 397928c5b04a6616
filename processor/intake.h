#pragma once
// Cloud event intake: the push connection's two callbacks and the one
// conversion of a cloud message record into the message the IM side
// delivers. The notify path (CNuv4OndekoProcessor::OndekoOnNotify) and the
// fetch handler (CNuv4OndekoProcessor::FetchOndekoMsg) both go through
// OndekoItemToQueueMsg and EnqueueOndekoMsg, so a message reads the same
// whichever way it came in.
//
// The callbacks run on the push connection's thread, one at a time, and act
// on the process-wide processor and configuration center. The conversion is
// a pure function; the enqueue takes the target queue's lock.

#include <cstdint>
#include <memory>

#include "cloud/ondeko_records.h"
#include "processor/work_item.h"

namespace nuv {

// Key given to broadcasts (shown as BROADCASTMSG in logs).
extern const wchar_t kBroadcastKey[];  // L"{BROADCASTMSG}"

// Called by the push connection for every announced message; item is valid
// only during the call (nullptr is ignored). msgid is not used: the record's
// own msg_id counts.
void OndekoOnNotifyCallback(uint64_t msgid, OndekoMsgItem* item);
// Called by the push connection around the notifies of one read (begin
// true, then false on the same thread): they are taken in as one burst.
void OndekoOnBurstCallback(bool begin);
// Called by the push connection after every accepted connect. Returns 0.
int OndekoOnTokenCallback(uint64_t token);

// A notified id more than this far above maxmsgid is not trusted at once
// (service.ini [cloud] max_msgid_jump; a day's traffic of a large site fits).
constexpr long kDefaultMaxMsgidJump = 100000;

// msg_type 0 (ordinary) and 1 (broadcast) are the kinds the IM side delivers.
inline bool IsDeliverableOndekoType(uint32_t msgType) { return msgType == 0 || msgType == 1; }

// The queued form of a cloud message of type 0 or 1, stamped with now
// (seconds since 1970). Accounts, ids and keys are read in the ANSI code
// page, content and a broadcast's chatname as UTF-8. Images come before
// files, each list in its own order.
std::unique_ptr<CQueueMsg> OndekoItemToQueueMsg(const OndekoMsgItem& item, int32_t now);

// Puts msg on WQUEUE_QID_FILE2NUV as WQUEUE_ONDEKO2NUVFILE when it has
// attachments, else on WQUEUE_QID_TXT2NUV as WQUEUE_ONDEKO2NUVMSG, with
// enqueueTime now. Returns the queue id.
int EnqueueOndekoMsg(std::unique_ptr<CQueueMsg> msg, int32_t now);

}  // namespace nuv
