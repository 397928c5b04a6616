// Cloud event intake: notify and token callbacks of the push connection, the
// fetch and bind handlers of the WQUEUE_QID_TXT2ONDEKO worker.

#include "processor/intake.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>
#include <utility>

#include "cloud/ondeko_api.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/service_ini.h"
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

// A line formatted now as WriteLogF would write it, written later (WriteLog).
std::string FormatLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatLine(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = FormatLogText(fmt, ap);
  va_end(ap);
  return text;
}

// The journal's name for the highest cloud message id taken in.
const char kJournalMaxmsgidKey[] = "maxmsgid";

// How far above maxmsgid a notified id is trusted ([cloud] max_msgid_jump).
uint64_t MaxMsgidJump() {
  const long v = ServiceIni::Get().GetInt("cloud", "max_msgid_jump", kDefaultMaxMsgidJump);
  return v > 0 ? static_cast<uint64_t>(v) : static_cast<uint64_t>(kDefaultMaxMsgidJump);
}

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
  m->acceptedMs = GetClock().NowMs();
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

void CNuv4OndekoProcessor::AdvanceMaxmsgidLocked(CConfigCenter& config, uint64_t previous, uint64_t id,
                                                 bool durable, const char* who) {
  config.values().maxmsgid = id;
  if (!durable) {
    // What was queued lives in memory only: a worker that ends now must
    // find maxmsgid where its messages are still fetched again.
    if (!m_maxmsgidHeld) {
      m_maxmsgidHeld = true;
      m_maxmsgidOnDisk = previous;
      WriteLogF("%s msgid %llu: the work journal cannot write, maxmsgid stays %llu on disk until it can", who, U(id),
                U(previous));
    }
    return;
  }
  if (m_maxmsgidHeld) {
    m_maxmsgidHeld = false;
    WriteLogF("%s the work journal writes again, maxmsgid %llu saved", who, U(id));
  }
  if (int ret = config.Save()) WriteLogF("%s msgid %llu save maxmsgid to config failed ret %d", who, U(id), ret);
}

void CNuv4OndekoProcessor::OndekoOnNotify(const OndekoMsgItem& item, CConfigCenter& config) {
  std::lock_guard<std::recursive_mutex> intake(m_intakeMu);
  AdoptFirstNotifyId(item.msg_id, config);
  ConfigValues& values = config.values();
  const uint64_t maxmsgid = values.maxmsgid.load();
  const uint64_t id = item.msg_id;
  if (id <= maxmsgid) {
    PendingIntake skip;
    skip.line = FormatLine("OndekoOnNotifyCallback msgid %llu <= maxmsgid %llu, Need skip this msg", U(id),
                           U(maxmsgid));
    // In the burst's order, after the lines of the messages before it.
    if (m_intakeOpen) {
      m_intakePending.push_back(std::move(skip));
    } else {
      WriteLog(Utf8ToWide(skip.line));
    }
    return;
  }
  const int32_t now = NowSeconds();
  WorkJournal* journal = m_journal.get();
  OpenIntakeLocked(maxmsgid);

  // An id far above maxmsgid may be corrupt or forged: taken at its word it
  // would skip every later message. The cloud is asked what lies above
  // maxmsgid instead (the notified message among it if it is real), and
  // maxmsgid moves only as far as that fetch finds messages.
  const uint64_t jump = MaxMsgidJump();
  if (maxmsgid != 0 && id - maxmsgid > jump) {
    PendingIntake probe;
    probe.qid = WQUEUE_QID_TXT2ONDEKO;
    probe.item = MakeFetchItem(maxmsgid + 1, id, now);
    if (journal) probe.item.journalId = journal->Add(probe.item, probe.qid, now, false);
    probe.line = FormatLine(
        "OndekoOnNotifyCallback msgid %llu is more than %llu above maxmsgid %llu, not trusted: Need Fetch "
        "[%llu, %llu] msg page by page, enqueue",
        U(id), U(jump), U(maxmsgid), U(maxmsgid + 1), U(id));
    m_intakePending.push_back(std::move(probe));
    if (m_burstDepth == 0 || !journal) CommitIntakeLocked(config);
    return;
  }

  // Everything this notify hands to the queues is recorded in the journal
  // and committed (with the rest of its burst) before it is queued and
  // before maxmsgid is saved past it: once saved, the cloud does not
  // announce these messages again.
  if (id != maxmsgid + 1) {
    PendingIntake fetch;
    fetch.qid = WQUEUE_QID_TXT2ONDEKO;
    fetch.item = MakeFetchItem(maxmsgid + 1, id - 1, now);
    if (journal) fetch.item.journalId = journal->Add(fetch.item, fetch.qid, now, false);
    fetch.line = FormatLine("OndekoOnNotifyCallback msgid %llu Need Fetch [%llu, %llu] msg, enqueue", U(id),
                           U(maxmsgid + 1), U(id - 1));
    m_intakePending.push_back(std::move(fetch));
  }
  // Advanced before the type check: a message of any type is taken in.
  values.maxmsgid = id;
  PendingIntake msg;
  if (IsDeliverableOndekoType(item.msg_type)) {
    std::unique_ptr<CQueueMsg> converted = OndekoItemToQueueMsg(item, now);
    const MsgLogText t = LogTextOf(*converted);
    msg.item = MakeOndekoMsgItem(std::move(converted), now, &msg.qid);
    if (journal) msg.item.journalId = journal->Add(msg.item, msg.qid, now, false);
    msg.line = FormatLine("OndekoOnNotifyCallback dkmsgid %llu mt %d '%s' to '%s' '%s', key '%s' , enqueue",
                         U(t.msgid), t.mt, t.from.c_str(), t.to.c_str(), t.content.c_str(), t.key.c_str());
  } else {
    msg.line = FormatLine("OndekoOnNotifyCallback msgid %llu type %d invalid, skip msg", U(id),
                         static_cast<int>(item.msg_type));
  }
  m_intakePending.push_back(std::move(msg));
  if (m_burstDepth == 0 || !journal) CommitIntakeLocked(config);
}

void CNuv4OndekoProcessor::OpenIntakeLocked(uint64_t maxmsgid) {
  if (m_intakeOpen) return;
  m_intakeOpen = true;
  m_intakeFrom = maxmsgid;
}

// One journal commit for everything the open intake recorded, maxmsgid with
// it; then the items go to their queues in order, and generalconf.ini is
// saved once (or held while the journal cannot write).
void CNuv4OndekoProcessor::CommitIntakeLocked(CConfigCenter& config) {
  if (!m_intakeOpen) return;
  m_intakeOpen = false;
  WorkJournal* journal = m_journal.get();
  const uint64_t from = m_intakeFrom;
  const uint64_t to = config.values().maxmsgid.load();
  if (journal && to > from) journal->SetMeta(kJournalMaxmsgidKey, std::to_string(to));
  const bool durable = !journal || journal->Flush();
  std::vector<PendingIntake> pending;
  pending.swap(m_intakePending);
  for (PendingIntake& p : pending) {
    if (p.qid >= 0) GetWorkQueue(p.qid)->Enqueue(std::move(p.item));
    WriteLog(Utf8ToWide(p.line));
  }
  if (to > from) {
    AdvanceMaxmsgidLocked(config, from, to, durable, "OndekoOnNotifyCallback");
  } else if (m_maxmsgidHeld && durable) {
    AdvanceMaxmsgidLocked(config, from, from, durable, "OndekoOnNotifyCallback");
  }
}

void CNuv4OndekoProcessor::BeginOndekoBurst() {
  m_intakeMu.lock();
  ++m_burstDepth;
}

void CNuv4OndekoProcessor::EndOndekoBurst(CConfigCenter& config) {
  // Unlocked however the commit ends.
  std::lock_guard<std::recursive_mutex> release(m_intakeMu, std::adopt_lock);
  if (m_burstDepth > 0 && --m_burstDepth == 0) CommitIntakeLocked(config);
}

uint64_t CNuv4OndekoProcessor::MaxmsgidOnDiskLocked(CConfigCenter& config) const {
  if (m_maxmsgidHeld) return m_maxmsgidOnDisk;
  if (m_intakeOpen) return m_intakeFrom;
  return config.values().maxmsgid.load();
}

void CNuv4OndekoProcessor::TakeMaxmsgidFromJournal(CConfigCenter& config) {
  std::lock_guard<std::recursive_mutex> intake(m_intakeMu);
  std::string text;
  if (!m_journal || !m_journal->Meta(kJournalMaxmsgidKey, &text)) return;
  const uint64_t fromJournal = std::strtoull(text.c_str(), nullptr, 10);
  const uint64_t fromFile = config.values().maxmsgid.load();
  const bool unknown = config.CountersUnknown();
  if (!config.RaiseMaxMsgId(fromJournal)) return;
  if (unknown) {
    WriteLogF("TakeMaxmsgidFromJournal maxmsgid %llu from the work journal (generalconf.ini could not be read)",
              U(fromJournal));
    return;
  }
  WriteLogF("TakeMaxmsgidFromJournal maxmsgid %llu from the work journal (generalconf.ini holds %llu)",
            U(fromJournal), U(fromFile));
  if (int ret = config.Save()) WriteLogF("TakeMaxmsgidFromJournal save maxmsgid to config failed ret %d", ret);
}

void CNuv4OndekoProcessor::OndekoOnToken(uint64_t token, CConfigCenter& config) {
  ConfigValues& values = config.values();
  const uint64_t old = values.token.load();
  if (token != old) {
    WriteLogF("OndekoOnTokenCallback old token %s save new token:%s to config\n", SecretTail(old).c_str(),
              SecretTail(token).c_str());
    values.token = token;
    std::lock_guard<std::recursive_mutex> intake(m_intakeMu);
    // Inside a burst, or while the journal cannot write, maxmsgid in memory
    // is ahead of what is on disk: the file gets the value on disk.
    const uint64_t onDisk = MaxmsgidOnDiskLocked(config);
    const int ret = onDisk != values.maxmsgid.load() ? config.SaveWithMaxmsgid(onDisk) : config.Save();
    if (ret) WriteLogF("OndekoOnTokenCallback save token %s to config failed ret %d", SecretTail(token).c_str(), ret);
  }
  {
    // This bind replaces one held from before (the same token or an older one).
    std::lock_guard<std::mutex> g(m_bindMu);
    m_bindWanted = token;
    m_heldBind = 0;
    m_heldBindRounds = 0;
  }
  GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(MakeTokenItem(token, NowSeconds()));
  WriteLogF("OndekoOnTokenCallback bind token %s Enqueue", SecretTail(token).c_str());
}

int CNuv4OndekoProcessor::FetchOndekoMsg(uint64_t first, uint64_t last) {
  return FetchOndekoMsg(first, last, CConfigCenter::GetInstance());
}

int CNuv4OndekoProcessor::FetchOndekoMsg(uint64_t first, uint64_t last, CConfigCenter& config) {
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

  std::lock_guard<std::recursive_mutex> intake(m_intakeMu);
  const uint64_t maxmsgid = config.values().maxmsgid.load();
  // A range that reaches above maxmsgid was not trusted to a notify: only
  // what the cloud holds above maxmsgid is taken in (what lies below is
  // taken in or being fetched already), and maxmsgid follows it. Before the
  // first message (maxmsgid 0) there is nothing to protect.
  const bool probe = maxmsgid != 0 && last > maxmsgid;
  uint64_t top = 0;  // the highest id of the reply inside the range
  uint64_t newMax = maxmsgid;
  std::set<uint64_t> taken;

  // The fetched messages are in the journal before the range's own entry is
  // removed (when this returns done).
  WorkJournal* journal = m_journal.get();
  for (const OndekoMsgItem& item : rsp.msglist) {
    const bool inRange = item.msg_id >= first && item.msg_id <= last;
    if (inRange) top = std::max(top, item.msg_id);
    if (probe) {
      if (!inRange) continue;
      if (item.msg_id <= maxmsgid) {
        WriteLogF("FetchOndekoMsg msgid %llu <= maxmsgid %llu, Need skip this msg", U(item.msg_id), U(maxmsgid));
        continue;
      }
      if (!taken.insert(item.msg_id).second) continue;  // listed twice in the reply
      newMax = std::max(newMax, item.msg_id);
    }
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
  // A reply that stops short of its range may have been capped by the
  // cloud: the rest is fetched next (an empty reply ends it).
  WorkItem rest;
  const bool more = top != 0 && top < last;
  if (more) {
    rest = MakeFetchItem(std::max(top, probe ? maxmsgid : 0) + 1, last, now);
    if (journal) rest.journalId = journal->Add(rest, WQUEUE_QID_TXT2ONDEKO, now, false);
  }
  if (journal && newMax > maxmsgid) journal->SetMeta(kJournalMaxmsgidKey, std::to_string(newMax));
  const bool durable = !journal || journal->Flush();
  if (more) {
    WriteLogF("FetchOndekoMsg (%llu, %llu) reply ends at msgid %llu, Need Fetch [%llu, %llu] msg, enqueue", U(first),
              U(last), U(top), U(rest.range.first), U(rest.range.last));
    GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(std::move(rest));
  }
  if (newMax > maxmsgid) {
    AdvanceMaxmsgidLocked(config, maxmsgid, newMax, durable, "FetchOndekoMsg");
  } else if (m_maxmsgidHeld && durable) {
    AdvanceMaxmsgidLocked(config, maxmsgid, maxmsgid, durable, "FetchOndekoMsg");
  }
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

namespace {

// Back-off of a held bind: 60 s, doubled each round, at most 5 minutes
// (without a bound token no cloud message is pushed).
constexpr int64_t kHeldBindFirstSec = 60;
constexpr int64_t kHeldBindMaxSec = 300;

}  // namespace

void CNuv4OndekoProcessor::HoldBind(uint64_t token, int64_t now, int64_t retryAfterSec) {
  std::lock_guard<std::mutex> g(m_bindMu);
  if (m_bindWanted != 0 && token != m_bindWanted) {
    WriteLogF("BindToken %s failed, cloud not reachable; token %s is newer, this bind is dropped",
              SecretTail(token).c_str(), SecretTail(m_bindWanted).c_str());
    return;
  }
  int64_t delay = kHeldBindFirstSec;
  for (int i = 0; i < m_heldBindRounds && delay < kHeldBindMaxSec; ++i) delay *= 2;
  if (delay > kHeldBindMaxSec) delay = kHeldBindMaxSec;
  if (retryAfterSec > delay) delay = retryAfterSec;
  ++m_heldBindRounds;
  m_heldBind = token;
  m_heldBindDue = now + delay;
  WriteLogF("BindToken %s failed, cloud not reachable: held (round %d), tried again in %lld sec",
            SecretTail(token).c_str(), m_heldBindRounds, static_cast<long long>(delay));
}

void CNuv4OndekoProcessor::RequeueHeldBind() {
  uint64_t token = 0;
  {
    std::lock_guard<std::mutex> g(m_bindMu);
    if (m_heldBind == 0 || GetClock().Now() < m_heldBindDue) return;
    token = m_heldBind;
    m_heldBind = 0;
  }
  if (CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)) q->Enqueue(MakeTokenItem(token, NowSeconds()));
  WriteLogF("BindToken %s held bind Enqueue", SecretTail(token).c_str());
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

void OndekoOnBurstCallback(bool begin) {
  CNuv4OndekoProcessor* p = GetProcessor();
  if (begin) {
    p->BeginOndekoBurst();
    return;
  }
  try {
    p->EndOndekoBurst(CConfigCenter::GetInstance());
  } catch (const std::exception& e) {
    WriteLogF("OndekoOnBurstCallback failed: %s", e.what());
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
