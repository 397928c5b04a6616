// Cloud event intake: notify and token callbacks of the push connection, the
// fetch and bind handlers of the WQUEUE_QID_TXT2ONDEKO worker.

#include "processor/intake.h"

#include <exception>
#include <string>
#include <utility>

#include "cloud/ondeko_api.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/text_conv.h"
#include "config/config_center.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {

const wchar_t kBroadcastKey[] = L"{BROADCASTMSG}";

namespace {

int32_t NowSeconds() { return static_cast<int32_t>(GetClock().Now()); }

void AddFiles(const std::vector<std::string>& ids, int kind, std::vector<CQueueFile>& files) {
  for (const std::string& id : ids) {
    CQueueFile f;
    f.kind = kind;
    f.size = 0;
    f.status = FILE_STATUS_WAIT;
    f.fid = AnsiToWide(id);
    files.push_back(std::move(f));
  }
}

// The texts a message's enqueue line shows, taken before the message is
// handed to its queue.
struct MsgLogText {
  uint64_t msgid = 0;
  int mt = 0;
  std::string from, to, content, key;
};

MsgLogText LogTextOf(const CQueueMsg& m) {
  MsgLogText t;
  t.msgid = m.msgid;
  t.mt = m.mt;
  t.from = WideToUtf8(m.from);
  t.to = WideToUtf8(m.to);
  t.content = WideToUtf8(m.content);
  t.key = WideToUtf8(KeyTail(m.key));
  return t;
}

// A cloud reply's message for the log (the cloud answers in the ANSI code page).
std::string ReplyText(const ApiResult& r) { return WideToUtf8(AnsiToWide(r.message)); }

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

// generalconf.ini could not be read at start: maxmsgid is unknown, and taking
// it as 0 would fetch the cloud's whole history into the IM again. The first
// message announced sets it instead.
void AdoptFirstNotifyId(uint64_t id, CConfigCenter& config) {
  if (!config.CountersUnknown() || !config.AdoptMaxMsgIdFrom(id)) return;
  WriteLogF("OndekoOnNotifyCallback msgid %llu maxmsgid is unknown (generalconf.ini could not be read): the "
            "messages before this one are not fetched",
            U(id));
}

}  // namespace

std::unique_ptr<CQueueMsg> OndekoItemToQueueMsg(const OndekoMsgItem& item, int32_t now) {
  auto m = std::make_unique<CQueueMsg>();
  const bool broadcast = item.msg_type == 1;
  m->mt = broadcast ? 1 : 0;
  m->msgid = item.msg_id;
  m->from = broadcast ? Utf8ToWide(item.chatname) : AnsiToWide(item.cur_userid);
  std::string to;
  for (size_t i = 0; i < item.to_userid_list.size(); ++i) {
    if (i) to += ';';
    to += item.to_userid_list[i];
  }
  m->to = AnsiToWide(to);
  m->key = broadcast ? std::wstring(kBroadcastKey) : AnsiToWide(item.chatid);
  m->content = Utf8ToWide(item.content);
  AddFiles(item.image_id_list, FILE_KIND_IMAGE, m->files);
  AddFiles(item.file_id_list, FILE_KIND_FILE, m->files);
  m->createTime = now;
  return m;
}

// The work item of a converted cloud message and the queue it goes to.
static WorkItem MakeOndekoMsgItem(std::unique_ptr<CQueueMsg> msg, int32_t now, int* qid) {
  const bool hasFiles = !msg->files.empty();
  *qid = hasFiles ? WQUEUE_QID_FILE2NUV : WQUEUE_QID_TXT2NUV;
  return MakeMsgItem(hasFiles ? WQUEUE_ONDEKO2NUVFILE : WQUEUE_ONDEKO2NUVMSG, std::move(msg), now);
}

int EnqueueOndekoMsg(std::unique_ptr<CQueueMsg> msg, int32_t now) {
  int qid = 0;
  WorkItem item = MakeOndekoMsgItem(std::move(msg), now, &qid);
  GetWorkQueue(qid)->Enqueue(std::move(item));
  return qid;
}

void CNuv4OndekoProcessor::OndekoOnNotify(const OndekoMsgItem& item, CConfigCenter& config) {
  AdoptFirstNotifyId(item.msg_id, config);
  ConfigValues& values = config.values();
  const uint64_t maxmsgid = values.maxmsgid.load();
  const uint64_t id = item.msg_id;
  if (id <= maxmsgid) {
    WriteLogF("OndekoOnNotifyCallback msgid %llu <= maxmsgid %llu, Need skip this msg", U(id), U(maxmsgid));
    return;
  }
  const int32_t now = NowSeconds();
  WorkJournal* journal = m_journal.get();

  // Everything this notify hands to the queues is built first and recorded
  // in the journal (one commit) before maxmsgid moves past it: once saved,
  // the cloud does not announce these messages again.
  WorkItem fetch;
  uint64_t first = 0, last = 0;
  const bool gap = id != maxmsgid + 1;
  if (gap) {
    first = maxmsgid + 1;
    last = id - 1;
    fetch = MakeFetchItem(first, last, now);
    if (journal) fetch.journalId = journal->Add(fetch, WQUEUE_QID_TXT2ONDEKO, now, false);
  }
  const bool deliverable = IsDeliverableOndekoType(item.msg_type);
  WorkItem msgItem;
  int msgQid = 0;
  MsgLogText t;
  if (deliverable) {
    std::unique_ptr<CQueueMsg> msg = OndekoItemToQueueMsg(item, now);
    t = LogTextOf(*msg);
    msgItem = MakeOndekoMsgItem(std::move(msg), now, &msgQid);
    if (journal) msgItem.journalId = journal->Add(msgItem, msgQid, now, false);
  }
  if (journal) journal->Flush();

  if (gap) {
    GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(std::move(fetch));
    WriteLogF("OndekoOnNotifyCallback msgid %llu Need Fetch [%llu, %llu] msg, enqueue", U(id), U(first), U(last));
  }
  // Advanced before the type check: a message of any type is taken in.
  values.maxmsgid = id;
  if (int ret = config.Save())
    WriteLogF("OndekoOnNotifyCallback msgid %llu save maxmsgid to config failed ret %d", U(id), ret);
  if (!deliverable) {
    WriteLogF("OndekoOnNotifyCallback msgid %llu type %d invalid, skip msg", U(id), static_cast<int>(item.msg_type));
    return;
  }
  GetWorkQueue(msgQid)->Enqueue(std::move(msgItem));
  WriteLogF("OndekoOnNotifyCallback dkmsgid %llu mt %d '%s' to '%s' '%s', key '%s' , enqueue", U(t.msgid), t.mt,
            t.from.c_str(), t.to.c_str(), t.content.c_str(), t.key.c_str());
}

void CNuv4OndekoProcessor::OndekoOnToken(uint64_t token, CConfigCenter& config) {
  ConfigValues& values = config.values();
  const uint64_t old = values.token.load();
  if (token != old) {
    WriteLogF("OndekoOnTokenCallback old token %s save new token:%s to config\n", SecretTail(old).c_str(),
              SecretTail(token).c_str());
    values.token = token;
    if (int ret = config.Save())
      WriteLogF("OndekoOnTokenCallback save token %s to config failed ret %d", SecretTail(token).c_str(), ret);
  }
  GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(MakeTokenItem(token, NowSeconds()));
  WriteLogF("OndekoOnTokenCallback bind token %s Enqueue", SecretTail(token).c_str());
}

int CNuv4OndekoProcessor::FetchOndekoMsg(uint64_t first, uint64_t last) {
  const int32_t now = NowSeconds();
  COndekoApi api(m_configDir);
  FetchMsgReply rsp;
  const int ret = api.FetchMsg(FetchMsgRequest{first, last}, rsp);
  if (ret != kApiOk || rsp.errCode != 0) {
    // Nothing of a failed reply is queued, so the retry cannot duplicate
    // the items parsed before the failure.
    WriteLogF("FetchOndekoMsg (%llu, %llu) iRet = %d errcode %d errmsg '%s'", U(first), U(last), ret, rsp.errCode,
              ReplyText(rsp).c_str());
    return IsCloudTransportFailure(ret, rsp) ? WQUEUE_HANDLER_TRANSPORT : WQUEUE_HANDLER_FAILED;
  }
  // The fetched messages are in the journal before the range's own entry is
  // removed (when this returns done).
  WorkJournal* journal = m_journal.get();
  for (const OndekoMsgItem& item : rsp.msglist) {
    if (!IsDeliverableOndekoType(item.msg_type)) {
      WriteLogF("FetchOndekoMsg msgid %llu type %d invalid, skip msg", U(item.msg_id), static_cast<int>(item.msg_type));
      continue;
    }
    std::unique_ptr<CQueueMsg> msg = OndekoItemToQueueMsg(item, now);
    const MsgLogText t = LogTextOf(*msg);
    int qid = 0;
    WorkItem queued = MakeOndekoMsgItem(std::move(msg), now, &qid);
    if (journal) queued.journalId = journal->Add(queued, qid, now, false);
    GetWorkQueue(qid)->Enqueue(std::move(queued));
    WriteLogF("FetchOndekoMsg dkmsgid %llu '%s' to '%s' '%s', key '%s' , enqueue", U(t.msgid), t.from.c_str(),
              t.to.c_str(), t.content.c_str(), t.key.c_str());
  }
  if (journal) journal->Flush();
  if (rsp.msglist.empty()) WriteLogF("FetchOndekoMsg (%llu, %llu) OK, but no MsgItem return", U(first), U(last));
  return WQUEUE_HANDLER_DONE;
}

int CNuv4OndekoProcessor::BindToken(uint64_t token) {
  COndekoApi api(m_configDir);
  EmptyReply rsp;
  const int ret = api.BindToken(BindTokenRequest{token}, rsp);
  WriteLogF("BindToken %s iRet = %d errcode %d errmsg '%s'", SecretTail(token).c_str(), ret, rsp.errCode,
            ReplyText(rsp).c_str());
  if (ret == kApiOk && rsp.errCode == 0) return WQUEUE_HANDLER_DONE;
  return IsCloudTransportFailure(ret, rsp) ? WQUEUE_HANDLER_TRANSPORT : WQUEUE_HANDLER_FAILED;
}

// The push thread's entry points. Nothing may escape into the push
// connection's loop: a failure here loses this one event, not the channel.
void OndekoOnNotifyCallback(uint64_t /*msgid*/, OndekoMsgItem* item) {
  if (!item) return;
  try {
    GetProcessor()->OndekoOnNotify(*item, CConfigCenter::GetInstance());
  } catch (const std::exception& e) {
    WriteLogF("OndekoOnNotifyCallback msgid %llu failed: %s", U(item->msg_id), e.what());
  }
}

int OndekoOnTokenCallback(uint64_t token) {
  try {
    GetProcessor()->OndekoOnToken(token, CConfigCenter::GetInstance());
  } catch (const std::exception& e) {
    WriteLogF("OndekoOnTokenCallback token %s failed: %s", SecretTail(token).c_str(), e.what());
  }
  return 0;
}

}  // namespace nuv
