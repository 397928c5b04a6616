// CAppManager: messages typed by IM users, from the message-received event to
// the combine queue (and the notice for files passed peer to peer).
#include <exception>

#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/msg_body.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {
std::string U8(const std::wstring& w) { return WideToUtf8(w); }
}  // namespace

bool CAppManager::ParseMsgContent(const std::wstring& content, CQueueMsg& msg,
                                  std::vector<std::wstring>& names) {
  names.clear();
  std::shared_ptr<INuvRoot> root = apiRoot;
  if (!root) return false;
  std::shared_ptr<INUVSData> data = root->CreateNUVSData();
  if (!data) return false;
  data->LoadXML(content);
  const std::wstring body = data->GetString(L"Content");
  msg.key = data->GetString(L"Key");
  return ParseMsgBody(body, GetTmpFilesDir(), &msg.content, &msg.files, &names);
}

namespace {

// The running worker's journal, or null (none, or no processor yet).
WorkJournal* ProcessorJournal() {
  CNuv4OndekoProcessor* processor = PeekProcessor();
  return processor ? processor->Journal() : nullptr;
}

}  // namespace

void CAppManager::OnRecvMessage(NuvMessage& message) {
  std::unique_ptr<CQueueMsg> msg;
  std::vector<std::wstring> names;
  int32_t now = 0;
  try {
    const std::wstring content = message.Content;
    now = static_cast<int32_t>(GetClock().Now());
    msg = std::make_unique<CQueueMsg>();
    msg->mt = 0;
    msg->createTime = now;
    msg->acceptedMs = GetClock().NowMs();
    msg->from = message.Sender;
    msg->to = message.Receivers;
    if (!ParseMsgContent(content, *msg, names)) msg.reset();
  } catch (const std::exception&) {
    msg.reset();
  }
  if (!msg) {
    WriteLog(L"OnRecvMessage 接收到客户端的消息时出错。");
    return;
  }
  if (msg->files.size() == 1 && TakeSentFileEcho(msg->files[0].fileName, msg->key, msg->files[0].size)) {
    return;  // the echo of a file this service delivered
  }
  const std::wstring from = msg->from, to = msg->to, key = msg->key;
  msg->msgid = NextMsgId();
  const bool hasFiles = !msg->files.empty();
  WriteLogF("OnRecvMessage climsgid %llu '%s' to '%s' has %u Files. Enqueue COMBINEQUEUE",
            static_cast<unsigned long long>(msg->msgid), U8(from).c_str(), U8(to).c_str(),
            static_cast<unsigned>(msg->files.size()));
  WorkItem item = MakeMsgItem(hasFiles ? WQUEUE_NUV2ONDEKOFILE : WQUEUE_NUV2ONDEKOMSG, std::move(msg), now);
  // The IM server counts a message as handed over once the application
  // object acknowledges it (until then the server hands it to the next
  // worker again). That comes after OnMessagesHandled, which commits what
  // this handler added: one commit for a whole burst of messages.
  WorkJournal* journal = ProcessorJournal();
  if (journal) item.journalId = journal->Add(item, kJournalCombineQueue, now, false);
  GetCombineQueue().Enqueue(item);

  if (names.empty()) return;
  auto notice = std::make_unique<CQueueMsg>();
  notice->mt = 0;
  notice->createTime = now;
  notice->from = from;
  notice->to = to;
  notice->key = key;
  notice->msgid = NextMsgId();
  std::wstring text = L"你收到在线直传的文件：";
  for (const auto& n : names) text += n + L" ";
  text += L"，请到PC端的NUV Client查看";
  notice->content = text;
  WriteLogF("OnRecvMessage notimsgid %llu 在线直传通知消息 '%s' to '%s' content '%s', '%s' , enqueue",
            static_cast<unsigned long long>(notice->msgid), U8(from).c_str(), U8(to).c_str(),
            U8(text).c_str(), U8(KeyTail(key)).c_str());
  WorkItem noticeItem = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, std::move(notice), now);
  if (journal) noticeItem.journalId = journal->Add(noticeItem, WQUEUE_QID_TXT2ONDEKO, now, false);
  GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Enqueue(std::move(noticeItem));
}

bool CAppManager::OnMessagesHandled() {
  WorkJournal* journal = ProcessorJournal();
  if (!journal) return true;
  // While the journal cannot write (a full disk), what the messages became
  // lives in memory only: the IM server keeps them until it is on disk.
  const bool onDisk = journal->Flush();
  if (onDisk != !ackHeld.load()) {
    ackHeld = !onDisk;
    WriteLog(onDisk ? L"OnMessagesHandled the work journal is written again: the IM messages held are acknowledged"
                    : L"OnMessagesHandled the work journal cannot be written: IM messages stay unacknowledged "
                      L"with the IM server until it can");
  }
  return onDisk;
}

bool CAppManager::TakeSentFileEcho(const std::wstring& fileName, const std::wstring& key, int size) {
  CSLockGuard g(fileLock, L"TakeSentFileEcho", 300000);
  for (auto it = sentFiles.begin(); it != sentFiles.end(); ++it) {
    if (it->fileName == fileName && it->size == size && it->key == key) {
      sentFiles.erase(it);
      return true;
    }
  }
  return false;
}

void CAppManager::AddSentFile(const std::wstring& fileName, const std::wstring& key, int size) {
  CSLockGuard g(fileLock, L"AddSentFile", 300000);
  sentFiles.push_back(SentFileRecord{fileName, key, size});
}

}  // namespace nuv
