// CAppManager: messages and files from the cloud delivered into the IM, and
// the presence lists the directory sync reads.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "cloud/ondeko_api.h"
#include "common/file_util.h"
#include "common/func_timer.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/sdk_error.h"
#include "common/str_format.h"
#include "common/text_conv.h"
#include "config/config_center.h"
#include "im/app_manager.h"
#include "im/guid.h"
#include "im/im_connection.h"
#include "im/msg_body.h"
#include "im/safe_name.h"
#include "processor/message_metrics.h"

namespace nuv {
namespace {

std::string U8(const std::wstring& w) { return WideToUtf8(w); }
unsigned long long Id(uint64_t v) { return static_cast<unsigned long long>(v); }
// An SDK error code the way the log shows it (hr=%ld).
long Hr(uint32_t code) { return static_cast<long>(static_cast<int32_t>(code)); }

// What the failure being handled was; call inside a catch block only.
std::string CurrentError() {
  try {
    throw;
  } catch (const NuvSdkError& e) {
    return StrFormat("SDK error %08x %s", static_cast<unsigned>(e.code()), e.what());
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// The SDK error code of the failure being handled; call inside a catch
// block only.
uint32_t CurrentCode() {
  try {
    throw;
  } catch (const NuvSdkError& e) {
    return e.code();
  } catch (...) {
    return kSdkErrFail;
  }
}

// The IM server could not be reached or did not answer: says nothing about
// the message.
bool IsUnreachable(uint32_t code) { return code == kSdkErrServerUnavailable || code == kSdkErrTimeout; }

NuvSdkError NotInitialised() {
  return NuvSdkError(kSdkErrFail, "the IM application objects are not initialised");
}

bool MovePath(const std::wstring& from, const std::wstring& to) {
  return std::rename(WideToPath(from).c_str(), WideToPath(to).c_str()) == 0;
}

bool IsFile(const std::wstring& path) {
  struct stat st {};
  return !path.empty() && ::stat(WideToPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::wstring DirOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'/');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A folder of its own in the download directory for one attachment's copy,
// so that attachments of the same name (of one message or of several) never
// meet; the copy keeps its name, which is what the IM user sees. Empty when
// it cannot be made.
std::string MakeCopyDir() {
  std::string templ = GetDownloadDirA() + "dk-XXXXXX";
  if (!::mkdtemp(&templ[0])) return std::string();
  return templ;
}

// Removes a local copy, and its folder when that is an attachment's own
// folder in the download directory (and empty now). Nothing outside the
// download directory is touched.
void RemoveCopy(const std::wstring& path) {
  const std::wstring top = GetDownloadDir() + L"/";
  if (path.compare(0, top.size(), top) != 0) return;
  // <file> or <folder>/<file>, nothing deeper, no "." or "..".
  const std::wstring rest = path.substr(top.size());
  const size_t slash = rest.find(L'/');
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : rest.substr(0, slash);
  const std::wstring name = slash == std::wstring::npos ? rest : rest.substr(slash + 1);
  auto plain = [](const std::wstring& n) { return !n.empty() && n != L"." && n != L".." && n.find(L'/') == n.npos; };
  if (!plain(name) || (slash != std::wstring::npos && !plain(folder))) return;
  std::remove(WideToPath(path).c_str());
  if (!folder.empty()) ::rmdir(WideToPath(top + folder).c_str());
}

// The attachment's copy goes; a later attempt fetches it again.
void DropCopy(CQueueFile& f) {
  RemoveCopy(f.localPath);
  f.localPath.clear();
  f.status = FILE_STATUS_WAIT;
}

// What the receivers get instead of attachments larger than the limits.
const wchar_t kTooLargeNotice[] = L"OndekoPallen文件太大：";
const wchar_t kTooLargeNoticeEnd[] = L" ，未能同步文件到NUV";

}  // namespace

int CAppManager::SendText2Nuv(CQueueMsg& msg, bool /*isRetry*/) {
  if (msg.mt == 0) return SendTxtMsg2Nuv(msg);
  if (msg.mt == 1) return SendSysMsg2Nuv(msg);
  WriteLogF("SendText2Nuv dkmsgid %llu has invalid type %d, skip it", Id(msg.msgid), msg.mt);
  CountHandled(MetricDirection::kCloudToIm, MetricKind::kText, MetricOutcome::kDropped, msg);
  return 1;
}

int CAppManager::SendTxtMsg2Nuv(CQueueMsg& msg) {
  if (msg.key.size() < 20) {
    const std::wstring key = FormatGuid(NewGuid());
    WriteLogF("SendTxtMsg2Nuv set dkkey invalid '%s' to '%s'", U8(msg.key).c_str(), U8(key).c_str());
    msg.key = key;  // the retry keeps it
  }
  const std::string from = U8(msg.from), to = U8(msg.to), content = U8(msg.content);
  const std::string tail = U8(KeyTail(msg.key));
  try {
    std::shared_ptr<INuvApp> app = appObject;
    std::shared_ptr<INuvRoot> root = apiRoot;
    if (!app || !root) throw NotInitialised();
    std::shared_ptr<NuvMessage> message = app->CreateMessage();
    if (!message) {
      WriteLogF("SendTxtMsg2Nuv dkmsgid %llu '%s' to '%s' '%s' key %s FAIL, CreateMessage() return NULL",
                Id(msg.msgid), from.c_str(), to.c_str(), content.c_str(), tail.c_str());
      return 0;
    }
    std::shared_ptr<INUVSData> data = root->CreateNUVSData();
    if (!data) {
      WriteLogF("SendTxtMsg2Nuv dkmsgid %llu '%s' to '%s' '%s' key %s FAIL, CreateNUVSData() return NULL",
                Id(msg.msgid), from.c_str(), to.c_str(), content.c_str(), tail.c_str());
      return 0;
    }
    const std::wstring body = MakeSentBody(msg.content);
    uint8_t imMessageId[16];
    GuidBytes(NewGuid(), imMessageId);
    data->SetInt(L"Mode", 0);
    data->SetString(L"Sender", msg.from);
    data->SetString(L"Content", body);
    data->SetString(L"Key", msg.key);
    data->SetString(L"Title", msg.from);
    data->SetString(L"Initiator", msg.from);
    data->SetBytes(L"im_message_id", imMessageId, sizeof(imMessageId));
    message->Sender = msg.from;
    message->Receivers = msg.to;
    message->Type1 = msgType;
    message->Type2 = L"Morvane.NUV.IM";
    message->Content = data->GetXML();
    message->Number = 0;
    app->SendMessage(*message, 0);
  } catch (...) {
    WriteLogF("SendTxtMsg2Nuv dkmsgid %llu '%s' to '%s' '%s' key %s FAIL, %s", Id(msg.msgid),
              from.c_str(), to.c_str(), content.c_str(), tail.c_str(), CurrentError().c_str());
    return 0;
  }
  WriteLogF("SendTxtMsg2Nuv dkmsgid %llu '%s' to '%s' '%s' key %s  OK", Id(msg.msgid), from.c_str(),
            to.c_str(), content.c_str(), tail.c_str());
  CountHandled(MetricDirection::kCloudToIm, MetricKind::kText, MetricOutcome::kDelivered, msg);
  return 1;
}

int CAppManager::SendSysMsg2Nuv(CQueueMsg& msg) {
  if (msg.from.empty()) msg.from = L"[无标题]";
  if (msg.content.empty()) msg.content = L"[无内容]";
  if (msg.to.empty()) {
    WriteLogF("SendSysMsg2Nuv dkmsgid %llu no recvs, skip msg", Id(msg.msgid));
    CountHandled(MetricDirection::kCloudToIm, MetricKind::kBroadcast, MetricOutcome::kDropped, msg);
    return 1;
  }
  const std::string content = U8(msg.content), tail = U8(KeyTail(msg.key));
  try {
    std::shared_ptr<INuvRoot> root = apiRoot;
    if (!root) throw NotInitialised();
    std::vector<std::wstring> receivers;
    SplitText(msg.to, receivers);
    // Receivers an earlier attempt reached are not sent to again (each
    // served entry stands for one piece of to).
    std::vector<std::wstring> servedBefore = msg.served;
    int ok = 0, fail = 0, unreachable = 0, skipped = 0;
    for (const std::wstring& r : receivers) {
      auto done = std::find(servedBefore.begin(), servedBefore.end(), r);
      if (done != servedBefore.end()) {
        servedBefore.erase(done);
        ++skipped;
        continue;
      }
      uint32_t code = 0;
      try {
        root->SendSysMessage(r, msg.from, 100, msg.content);
        ++ok;
        msg.served.push_back(r);
        continue;
      } catch (...) {
        code = CurrentCode();
      }
      WriteLogF("SendSysMsg2Nuv dkmsgid %llu BCAST to '%s' '%s' key %s FAIL, hr=%ld", Id(msg.msgid),
                U8(r).c_str(), content.c_str(), tail.c_str(), Hr(code));
      ++fail;
      if (IsUnreachable(code)) ++unreachable;
    }
    if (skipped > 0) {
      WriteLogF("SendSysMsg2Nuv dkmsgid %llu BCAST %d users served by an earlier attempt, not sent again",
                Id(msg.msgid), skipped);
    }
    WriteLogF("SendSysMsg2Nuv dkmsgid %llu BCAST to %d users '%s' key %s %d OK %d Fail", Id(msg.msgid),
              static_cast<int>(receivers.size()), content.c_str(), tail.c_str(), ok, fail);
    // Receivers the IM server could not be reached for, or nobody reached at
    // all: the broadcast did not go out (the retry policy counts what becomes
    // of it).
    if (unreachable > 0 || (fail > 0 && ok == 0 && skipped == 0)) return WQUEUE_HANDLER_TRANSPORT;
    CountHandled(MetricDirection::kCloudToIm, MetricKind::kBroadcast,
                 ok + skipped > 0 ? MetricOutcome::kDelivered : MetricOutcome::kRefused, msg);
    return 1;
  } catch (...) {
    WriteLogF("SendSysMsg2Nuv dkmsgid %llu BCAST '%s' key %s FAIL, %s", Id(msg.msgid), content.c_str(),
              tail.c_str(), CurrentError().c_str());
    return 0;
  }
}

int CAppManager::SendFileMsg2Nuv(CQueueMsg& msg, bool isRetry) {
  FuncTimer timer(L"SendFileMsg2Nuv");
  timer.EnableReport(true);
  if (msg.files.empty()) {
    WriteLogF("SendFileMsg2Nuv dkmsgid %llu 文件列表size为0，不下发消息", Id(msg.msgid));
    CountHandled(MetricDirection::kCloudToIm, MetricKind::kFile, MetricOutcome::kDropped, msg);
    return 1;
  }
  int unreachable = 0;
  std::wstring tooLarge;
  for (auto it = msg.files.begin(); it != msg.files.end();) {
    const int got = GetOndekoFile(*it);
    if (got < 0) ++unreachable;
    if (got != kOndekoFileTooLarge) {
      ++it;
      continue;
    }
    // Like an IM attachment over the limit on its way to the cloud: it is
    // not sent, the receivers get a notice (and the message's text).
    tooLarge += (it->fileName.empty() ? it->fid : it->fileName) + L" ";
    it = msg.files.erase(it);
  }
  if (!tooLarge.empty()) {
    CQueueMsg notice = msg;
    notice.files.clear();
    if (!msg.content.empty()) SendTxtMsg2Nuv(notice);
    notice.content = kTooLargeNotice + tooLarge + kTooLargeNoticeEnd;
    SendTxtMsg2Nuv(notice);
    if (msg.files.empty()) return 1;
  }
  int ok = 0, err = 0;
  for (const CQueueFile& f : msg.files) (f.status == FILE_STATUS_OK ? ok : err)++;
  const int count = static_cast<int>(msg.files.size());
  if (unreachable > 0 && isRetry) {
    // The cloud could not be reached: nothing is given up, the fetched
    // copies stay for the next attempt.
    WriteLogF("SendFileMsg2Nuv dkmsgid %llu 从Ondeko下载文件有失败，稍后重试 ok %d err %d size %d",
              Id(msg.msgid), ok, err, count);
    return -1;
  }
  if (err > 0 && !isRetry) {
    WriteLogF("SendFileMsg2Nuv dkmsgid %llu 从Ondeko下载文件有失败，稍后重试 ok %d err %d size %d",
              Id(msg.msgid), ok, err, count);
    return 0;  // what is on disk stays there, status OK, for the retry
  }
  if (ok == 0) {
    WriteLogF("SendFileMsg2Nuv dkmsgid %llu 从Ondeko下载文件不成功，retry %s 不下发消息 ok %d err %d size %d",
              Id(msg.msgid), isRetry ? "TRUE" : "FALSE", ok, err, count);
    if (!isRetry) return 0;
    for (int i = 0; i < count; ++i) Metrics().CountAttachment(MetricDirection::kCloudToIm, MetricOutcome::kDropped, 0);
    CountHandled(MetricDirection::kCloudToIm, MetricKind::kFile, MetricOutcome::kDropped, msg);
    return 1;
  }

  std::vector<bool> delivered(msg.files.size(), false);
  int sent = 0;
  for (size_t i = 0; i < msg.files.size(); ++i) {
    CQueueFile& f = msg.files[i];
    if (f.status != FILE_STATUS_OK) continue;
    // The copy takes its display name inside its own folder.
    const std::wstring dest = DirOf(f.localPath) + L"/" + f.fileName;
    if (!MovePath(f.localPath, dest)) {
      WriteLogF("SendFileMsg2Nuv dkmsgid %llu MoveFileEx(%s.dat, %s) return false", Id(msg.msgid),
                U8(f.fid).c_str(), U8(f.fileName).c_str());
      continue;
    }
    f.localPath = dest;  // the fetched copy lives here now
    AddSentFile(f.fileName, msg.key, f.size);
    try {
      std::shared_ptr<INuvRoot> root = apiRoot;
      if (!root) throw NotInitialised();
      root->SendFile(msg.from, L"", msg.to, dest, f.kind == FILE_KIND_FILE ? 1 : 0, msg.key);
    } catch (...) {
      const bool unreachable = IsUnreachable(CurrentCode());
      WriteLogF("SendFileMsg2Nuv dkmsgid %llu SendFile '%s' to '%s' key %s FAIL, %s", Id(msg.msgid),
                U8(f.fileName).c_str(), U8(msg.to).c_str(), U8(KeyTail(msg.key)).c_str(),
                CurrentError().c_str());
      // No echo is expected for it. Leave only what is still to be sent:
      // the attachments already delivered go, the fetched copies of the rest
      // stay (status OK) for the retry; after the retry they go, and an
      // attempt after that (the journal's) fetches them again.
      TakeSentFileEcho(f.fileName, msg.key, f.size);
      std::vector<CQueueFile> rest;
      for (size_t j = 0; j < msg.files.size(); ++j) {
        if (delivered[j]) continue;
        if (isRetry && msg.files[j].status == FILE_STATUS_OK) DropCopy(msg.files[j]);
        rest.push_back(std::move(msg.files[j]));
      }
      msg.files = std::move(rest);
      return unreachable ? WQUEUE_HANDLER_TRANSPORT : 0;
    }
    RemoveCopy(dest);
    delivered[i] = true;
    Metrics().CountAttachment(MetricDirection::kCloudToIm, MetricOutcome::kDelivered,
                              f.size > 0 ? static_cast<uint64_t>(f.size) : 0);
    ++sent;
  }
  if (sent == 0) {
    // Nothing of the message reached the IM: it is not done.
    WriteLogF("SendFileMsg2Nuv dkmsgid %llu no file could be delivered, retry %s ok %d size %d", Id(msg.msgid),
              isRetry ? "TRUE" : "FALSE", ok, count);
    if (isRetry)
      for (CQueueFile& f : msg.files)
        if (f.status == FILE_STATUS_OK) DropCopy(f);
    return 0;
  }
  // The message is done: fetched copies that could not be delivered go too.
  for (size_t i = 0; i < msg.files.size(); ++i) {
    if (delivered[i]) continue;
    if (msg.files[i].status == FILE_STATUS_OK) RemoveCopy(msg.files[i].localPath);
    Metrics().CountAttachment(MetricDirection::kCloudToIm, MetricOutcome::kDropped, 0);
  }
  CountHandled(MetricDirection::kCloudToIm, MetricKind::kFile, MetricOutcome::kDelivered, msg);
  WriteLogF("SendFileMsg2Nuv dkmsgid %llu '%s' to '%s' filecount %d key %s finished", Id(msg.msgid),
            U8(msg.from).c_str(), U8(msg.to).c_str(), count, U8(KeyTail(msg.key)).c_str());
  return 1;
}

int CAppManager::GetOndekoFile(CQueueFile& file) {
  if (file.status == FILE_STATUS_OK) {
    if (IsFile(file.localPath)) {
      WriteLogF("GetOndekoFile mediaid '%s' file has downloaded", U8(file.fid).c_str());
      return 1;
    }
    WriteLogF("GetOndekoFile mediaid '%s' local copy '%s' is gone, fetch it again", U8(file.fid).c_str(),
              U8(file.localPath).c_str());
    DropCopy(file);
  }
  try {
    COndekoApi api(configDir);
    GetMediaUrlRequest urlReq;
    urlReq.media_id = WideToAnsi(file.fid);
    GetMediaUrlReply urlRsp;
    int ret = api.GetMediaUrl(urlReq, urlRsp);
    if (ret != 0 || urlRsp.errCode != 0) {
      WriteLogF("GetOndekoFile GetMediaUrl() failed, mediaid '%s' iRet = %d errcode %d errmsg '%s'",
                U8(file.fid).c_str(), ret, urlRsp.errCode, urlRsp.message.c_str());
      file.status = FILE_STATUS_ERR;
      return IsCloudTransportFailure(ret, urlRsp) ? -1 : 0;
    }
    const std::string copyDir = MakeCopyDir();
    if (copyDir.empty()) {
      WriteLogF("GetOndekoFile mediaid '%s' cannot make a folder in '%s'", U8(file.fid).c_str(),
                GetDownloadDirA().c_str());
      file.status = FILE_STATUS_ERR;
      return 0;
    }
    DownloadFileRequest dlReq;
    dlReq.url = urlRsp.media_url;
    dlReq.targetDir = copyDir + "/";
    // The limits of the other direction hold here too: a large cloud file
    // would otherwise fill the disk that holds the journal.
    const ConfigValues& limits = CConfigCenter::GetInstance().values();
    dlReq.maxBytes = file.kind == FILE_KIND_IMAGE ? limits.maximgsize : limits.maxfilesize;
    DownloadFileReply dlRsp;
    ret = api.DownloadFile(dlReq, dlRsp);
    if (dlRsp.oversize) {
      WriteLogF("GetOndekoFile mediaid '%s' '%s' is larger than %llu bytes, not delivered", U8(file.fid).c_str(),
                dlRsp.fileName.c_str(), static_cast<unsigned long long>(dlReq.maxBytes));
      if (!dlRsp.fileName.empty()) file.fileName = SafeBaseName(Utf8ToWide(dlRsp.fileName), file.fid);
      ::rmdir(copyDir.c_str());
      file.status = FILE_STATUS_ERR;
      return kOndekoFileTooLarge;
    }
    if (ret != 0 || dlRsp.errCode != 0) {
      WriteLogF("GetOndekoFile DownloadFile() failed, url '%s' iRet = %d errcode %d errmsg '%s'",
                dlReq.url.c_str(), ret, dlRsp.errCode, dlRsp.message.c_str());
      if (!dlRsp.localPath.empty()) std::remove(dlRsp.localPath.c_str());  // a file without a name
      ::rmdir(copyDir.c_str());
      file.status = FILE_STATUS_ERR;
      return IsCloudTransportFailure(ret, dlRsp) ? -1 : 0;
    }
    // The cloud's name becomes a file name in the download directory: it
    // must not lead anywhere else.
    const std::wstring cloudName = Utf8ToWide(dlRsp.fileName);
    const std::wstring name = SafeBaseName(cloudName, file.fid);
    if (name != cloudName) {
      WriteLogF("GetOndekoFile mediaid '%s' unsafe file name '%s', deliver it as '%s'",
                U8(file.fid).c_str(), U8(cloudName).c_str(), U8(name).c_str());
    }
    file.fileName = name;
    file.datName = name;
    file.localPath = PathToWide(dlRsp.localPath);
    uint64_t size = 0;
    if (GetFileLength(dlRsp.localPath, size) != 0) {
      WriteLogF("GetOndekoFile MyGetFileSize() failed, file '%s'", U8(file.fileName).c_str());
    } else {
      file.size = size > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    }
    file.status = FILE_STATUS_OK;
    return 1;
  } catch (...) {
    WriteLogF("GetOndekoFile mediaid '%s' failed, %s", U8(file.fid).c_str(), CurrentError().c_str());
    file.status = FILE_STATUS_ERR;
    return 0;
  }
}

int CAppManager::GetPresenceLists(std::string& online, std::string& offline, std::string& away) {
  std::shared_ptr<INuvRoot> root = apiRoot;
  if (!root) throw NotInitialised();
  std::string on = WideToAnsi(root->QueryUsersByState(L"online"));
  std::string off = WideToAnsi(root->QueryUsersByState(L"offline"));
  std::string aw = WideToAnsi(root->QueryUsersByState(L"away"));
  online = std::move(on);
  offline = std::move(off);
  away = std::move(aw);
  return 1;
}

}  // namespace nuv
