// The handlers that carry IM users' messages to the cloud: texts go out as
// one send_msg; messages with attachments first fetch the files from the IM
// server, drop (and announce) what is too large or what the IM server would
// not give (a file monitor out of reach is waited for, like the cloud),
// upload the rest one by one and then send one send_msg naming their media
// ids. What must survive a failed attempt lives in the work item's message:
// dropped attachments are gone from files, uploaded ones carry their mediaId.

#include "processor/outbound.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cloud/ondeko_api.h"
#include "common/clock.h"
#include "common/func_timer.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "config/config_center.h"
#include "processor/journal.h"
#include "processor/message_metrics.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

const char kFileFunc[] = "SendFileMsg2Ondeko";
const wchar_t kNoticeSuffix[] = L" ，未能同步文件到OndekoPallen";
const wchar_t kFetchFailPrefix[] = L"获取NUV文件失败：";
const wchar_t kTooLargePrefix[] = L"NUV文件太大：";

// Longest file name the file system takes, in bytes of UTF-8.
constexpr size_t kMaxNameBytes = 255;
// An extension longer than this is not kept when a name is shortened.
constexpr size_t kMaxKeptExtension = 32;
// Attempts at a name that spares another attachment's local copy.
constexpr int kMaxRenameAttempts = 16;

std::string U8(const std::wstring& w) { return WideToUtf8(w); }
// Cloud texts arrive in the ANSI code page; the log is UTF-8.
std::string CloudText(const std::string& ansi) { return WideToUtf8(AnsiToWide(ansi)); }

size_t Utf8Bytes(wchar_t c) {
  const uint32_t u = static_cast<uint32_t>(c);
  if (u < 0x80) return 1;
  if (u < 0x800) return 2;
  if (u < 0x10000) return 3;
  return 4;  // also covers what the conversion replaces (never more than 4)
}

size_t Utf8Bytes(const std::wstring& s) {
  size_t n = 0;
  for (wchar_t c : s) n += Utf8Bytes(c);
  return n;
}

bool IsControl(wchar_t c) {
  const uint32_t u = static_cast<uint32_t>(c);
  return u < 0x20 || (u >= 0x7F && u < 0xA0);
}

// Last path component with control characters replaced; may be empty.
std::wstring BaseComponent(const std::wstring& name) {
  const size_t sep = name.find_last_of(L"/\\");
  std::wstring base = sep == std::wstring::npos ? name : name.substr(sep + 1);
  for (wchar_t& c : base)
    if (IsControl(c)) c = L'_';
  return base;
}

bool Usable(const std::wstring& base) { return !base.empty() && base != L"." && base != L".."; }

// Drops characters before the extension (or from the end) until the name fits.
std::wstring Shorten(std::wstring name) {
  size_t bytes = Utf8Bytes(name);
  if (bytes <= kMaxNameBytes) return name;
  const size_t dot = name.find_last_of(L'.');
  const bool keepExt = dot != std::wstring::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension;
  const std::wstring ext = keepExt ? name.substr(dot) : std::wstring();
  std::wstring stem = keepExt ? name.substr(0, dot) : name;
  bytes = Utf8Bytes(stem) + Utf8Bytes(ext);
  while (!stem.empty() && bytes > kMaxNameBytes) {
    bytes -= Utf8Bytes(stem.back());
    stem.pop_back();
  }
  return stem + ext;
}

bool EndsWithDat(const std::wstring& name) {
  if (name.size() < 4) return false;
  std::wstring tail = name.substr(name.size() - 4);
  for (wchar_t& c : tail)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return tail == L".dat";
}

// True when path names an existing file other than the one at source.
bool OtherFileExists(const std::string& path, const std::string& source) {
  struct stat p {}, s {};
  if (::stat(path.c_str(), &p) != 0) return false;
  if (::stat(source.c_str(), &s) != 0) return true;
  return p.st_dev != s.st_dev || p.st_ino != s.st_ino;
}

// True when path names an entry directly inside the temporary-files
// directory. Local copies are always made there ("<fid>.dat"); the fid comes
// from the IM message body, so a path that leads elsewhere is never touched.
bool InTmpDir(const std::wstring& path) {
  const std::wstring dir = GetTmpFilesDir() + L"/";
  if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
  const std::wstring name = path.substr(dir.size());
  if (name == L"." || name == L"..") return false;
  for (wchar_t c : name)
    if (c == L'/' || c == L'\0') return false;
  return true;
}

void RemoveLocal(const std::wstring& path) {
  if (InTmpDir(path)) ::unlink(WideToPath(path).c_str());
}

bool MoveReplacing(const std::wstring& from, const std::wstring& to) {
  return ::rename(WideToPath(from).c_str(), WideToPath(to).c_str()) == 0;
}

// The message record for send_msg; with media, the ids of the uploaded
// attachments (images and other files apart, in attachment order).
OndekoMsgItem BuildMsgItem(const CQueueMsg& msg, bool withMedia, uint32_t now) {
  OndekoMsgItem item;
  item.cur_userid = WideToAnsi(msg.from);
  item.chatid = WideToAnsi(msg.key);
  SplitTextA(msg.to, item.to_userid_list);
  item.content = WideToUtf8(msg.content);
  if (withMedia) {
    for (const CQueueFile& f : msg.files) {
      if (f.mediaId.empty()) continue;
      if (f.kind == FILE_KIND_IMAGE)
        item.image_id_list.push_back(WideToAnsi(f.mediaId));
      else
        item.file_id_list.push_back(WideToAnsi(f.mediaId));
    }
  }
  item.create_time = now;
  item.msg_type = 0;
  return item;
}

std::wstring NoticeContent(const wchar_t* prefix, const std::vector<CQueueFile>& files) {
  std::wstring text = prefix;
  for (const CQueueFile& f : files) text += f.fileName + L" ";
  return text + kNoticeSuffix;
}

std::unique_ptr<CQueueMsg> BuildNotice(const CQueueMsg& msg, uint64_t id, std::wstring content, int32_t now) {
  auto n = std::make_unique<CQueueMsg>();
  n->mt = 0;
  n->msgid = id;
  n->from = msg.from;
  n->to = msg.to;
  n->key = msg.key;
  n->content = std::move(content);
  n->createTime = now;
  return n;
}

// The notice is recorded before the message that caused it can be removed
// from the journal (its handler returning done).
void EnqueueNotice(std::unique_ptr<CQueueMsg> notice, int32_t now, WorkJournal* journal) {
  WorkItem item = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, std::move(notice), now);
  if (journal) item.journalId = journal->Add(item, WQUEUE_QID_TXT2ONDEKO, now, true);
  if (CWorkQueue* q = GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)) q->Enqueue(std::move(item));
}

std::vector<std::wstring> FidsOf(const std::vector<CQueueFile>& files) {
  std::vector<std::wstring> fids;
  for (const CQueueFile& f : files) fids.push_back(f.fid);
  return fids;
}

// Puts files back into the order of order (the fids before the download);
// files of equal fid keep their own order.
void RestoreOrder(std::vector<CQueueFile>& files, const std::vector<std::wstring>& order) {
  std::vector<bool> used(order.size(), false);
  std::vector<std::pair<size_t, CQueueFile>> ranked;
  for (CQueueFile& f : files) {
    size_t rank = order.size();
    for (size_t i = 0; i < order.size(); ++i) {
      if (!used[i] && order[i] == f.fid) {
        used[i] = true;
        rank = i;
        break;
      }
    }
    ranked.emplace_back(rank, std::move(f));
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  files.clear();
  for (auto& r : ranked) files.push_back(std::move(r.second));
}

// The size of the local copy at path; false when there is none.
bool LocalSize(const std::wstring& path, uint64_t* size) {
  struct stat st {};
  if (path.empty() || ::stat(WideToPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

int FailureResult(int ret, const ApiResult& rsp) {
  return IsCloudTransportFailure(ret, rsp) ? WQUEUE_HANDLER_TRANSPORT : WQUEUE_HANDLER_FAILED;
}

}  // namespace

std::wstring UploadFileName(const std::wstring& displayName, const std::wstring& fid) {
  std::wstring base = BaseComponent(displayName);
  if (!Usable(base)) base = BaseComponent(fid);
  if (!Usable(base)) base = L"file";
  return Shorten(base);
}

int CNuv4OndekoProcessor::SendTxtMsg2Ondeko(const CQueueMsg& msg, bool /*isRetry*/) {
  COndekoApi api(m_configDir);
  const OndekoMsgItem item = BuildMsgItem(msg, false, static_cast<uint32_t>(GetClock().Now()));
  EmptyReply rsp;
  const int ret = api.SendMsg(item, rsp);
  WriteLogF("SendTxtMsg2Ondeko SendMsg() climsgid %llu '%s' to '%s' '%s' key '%s' iRet = %d errcode %d errmsg '%s'",
            static_cast<unsigned long long>(msg.msgid), U8(msg.from).c_str(), U8(msg.to).c_str(),
            U8(msg.content).c_str(), U8(KeyTail(msg.key)).c_str(), ret, rsp.errCode,
            CloudText(rsp.message).c_str());
  if (ret != 0 || rsp.errCode != 0) return FailureResult(ret, rsp);
  CountHandled(MetricDirection::kImToCloud, MetricKind::kText, MetricOutcome::kDelivered, msg);
  return WQUEUE_HANDLER_DONE;
}

namespace {

// The attachments of a file message that is done: those the cloud took
// (they carry a media id) went with it, the others are given up.
void CountSentAttachments(const CQueueMsg& msg, bool delivered) {
  for (const CQueueFile& f : msg.files) {
    const bool went = delivered && !f.mediaId.empty();
    Metrics().CountAttachment(MetricDirection::kImToCloud, went ? MetricOutcome::kDelivered : MetricOutcome::kDropped,
                              f.size > 0 ? static_cast<uint64_t>(f.size) : 0);
  }
}

}  // namespace

int CNuv4OndekoProcessor::SendFileMsg2Ondeko(CQueueMsg& msg, bool isRetry) {
  FuncTimer timer(L"SendFileMsg2Ondeko");
  timer.EnableReport(true);
  const ConfigValues& limits = CConfigCenter::GetInstance().values();
  const unsigned long long climsgid = msg.msgid;
  const std::string shortKey = U8(KeyTail(msg.key));
  // Without a journal the retry is the last attempt: what cannot be fetched
  // or uploaded then is dropped and the rest goes. With one, a message that
  // meets an unreachable IM file monitor or cloud is parked whole and tried
  // again later.
  const bool lastAttempt = isRetry && !m_journal;
  auto tooBig = [&limits](const CQueueFile& f, uint64_t size) {
    return size > (f.kind == FILE_KIND_IMAGE ? limits.maximgsize : limits.maxfilesize);
  };

  // Size limits as announced; an attachment exactly at its limit goes.
  std::vector<CQueueFile> failList, bigList;
  for (auto it = msg.files.begin(); it != msg.files.end();) {
    if (tooBig(*it, static_cast<uint32_t>(it->size))) {
      bigList.push_back(std::move(*it));
      it = msg.files.erase(it);
    } else {
      ++it;
    }
  }

  // A copy an earlier attempt fetched may be gone since: another message
  // carrying the same IM file ("<fid>.dat" is one per file) took it for its
  // own upload, or it was removed. Fetched again (the IM server announced the
  // file already), never taken for a refused upload: that would send the
  // text without it.
  for (CQueueFile& f : msg.files) {
    uint64_t size = 0;
    if (!f.mediaId.empty() || f.status != FILE_STATUS_OK || LocalSize(f.localPath, &size)) continue;
    WriteLogF("%s climsgid %llu fid '%s' local copy is gone, fetch it again", kFileFunc, climsgid,
              U8(f.fid).c_str());
    f.status = FILE_STATUS_READY;
    f.failCount = 0;
  }

  const int32_t now = static_cast<int32_t>(GetClock().Now());
  ImApp* app = m_seams.imApp ? m_seams.imApp() : nullptr;
  const std::vector<std::wstring> order = FidsOf(msg.files);
  std::vector<CQueueFile> notFetched;
  if (app) {
    app->DownloadAllFiles(msg, notFetched);
  } else {
    for (CQueueFile& f : msg.files) notFetched.push_back(std::move(f));
    msg.files.clear();
  }
  // The IM server refused these (ERR): they go into the notice. The others
  // could not be fetched for a transport reason and wait for the next
  // attempt, in their place among the attachments.
  int dlWaiting = 0;
  for (CQueueFile& f : notFetched) {
    if (f.status == FILE_STATUS_ERR || lastAttempt) {
      failList.push_back(std::move(f));
      continue;
    }
    if (f.status == FILE_STATUS_DOWNING) f.status = FILE_STATUS_READY;  // requested, so announced
    msg.files.push_back(std::move(f));
    ++dlWaiting;
  }
  if (dlWaiting > 0) RestoreOrder(msg.files, order);
  // The bytes received count, not the size the IM client announced.
  for (auto it = msg.files.begin(); it != msg.files.end();) {
    uint64_t real = 0;
    if (it->status == FILE_STATUS_OK && LocalSize(it->localPath, &real) && tooBig(*it, real)) {
      WriteLogF("%s climsgid %llu fid '%s' announced %d bytes but %llu arrived, too large", kFileFunc, climsgid,
                U8(it->fid).c_str(), it->size, static_cast<unsigned long long>(real));
      bigList.push_back(std::move(*it));
      it = msg.files.erase(it);
    } else {
      ++it;
    }
  }

  std::unique_ptr<CQueueMsg> failNotice, bigNotice;
  if (!failList.empty())
    failNotice = BuildNotice(msg, app ? app->NextMsgId() : 0, NoticeContent(kFetchFailPrefix, failList), now);
  if (!bigList.empty())
    bigNotice = BuildNotice(msg, app ? app->NextMsgId() : 0, NoticeContent(kTooLargePrefix, bigList), now);
  for (size_t i = 0; i < bigList.size(); ++i)
    Metrics().CountAttachment(MetricDirection::kImToCloud, MetricOutcome::kRefused, 0);
  for (size_t i = 0; i < failList.size(); ++i)
    Metrics().CountAttachment(MetricDirection::kImToCloud, MetricOutcome::kDropped, 0);
  if (failNotice) {
    WriteLogF("%s dfmsgid %llu NUV文件失败通知消息 '%s' to '%s' '%s', '%s' , enqueue", kFileFunc,
              static_cast<unsigned long long>(failNotice->msgid), U8(failNotice->from).c_str(),
              U8(failNotice->to).c_str(), U8(failNotice->content).c_str(), shortKey.c_str());
    EnqueueNotice(std::move(failNotice), now, m_journal.get());
  }
  if (bigNotice) {
    WriteLogF("%s fbmsgid %llu NUV文件过大通知消息 '%s' to '%s' '%s', '%s' , enqueue", kFileFunc,
              static_cast<unsigned long long>(bigNotice->msgid), U8(bigNotice->from).c_str(),
              U8(bigNotice->to).c_str(), U8(bigNotice->content).c_str(), shortKey.c_str());
    EnqueueNotice(std::move(bigNotice), now, m_journal.get());
    for (const CQueueFile& f : bigList) RemoveLocal(f.localPath);
  }

  if (msg.files.empty() && msg.content.empty()) {
    WriteLogF("%s climsgid %llu 没有文件，消息内容为空，failsize %d bigsize %d 不做处理。", kFileFunc, climsgid,
              static_cast<int>(failList.size()), static_cast<int>(bigList.size()));
    CountHandled(MetricDirection::kImToCloud, MetricKind::kFile, MetricOutcome::kDropped, msg);
    return 1;
  }

  // One upload at a time: this worker is the only mover in the temp
  // directory, so same-named attachments never meet there.
  int uploaded = 0, failed = 0, unreachable = 0;
  for (CQueueFile& f : msg.files) {
    if (!f.mediaId.empty()) {
      ++uploaded;
      continue;
    }
    if (f.status != FILE_STATUS_OK) continue;  // not fetched yet (counted above)
    std::string mediaId;
    const int up = UploadFile2Ondeko(msg.msgid, f, mediaId);
    if (up > 0) {
      f.mediaId = AnsiToWide(mediaId);
      ++uploaded;
    } else {
      WriteLogF("SendFileMsg2Ondeko climsgid %llu UploadFile2Ondeko fid '%s' failed, retry %s", climsgid,
                U8(f.fid).c_str(), isRetry ? "TRUE" : "FALSE");
      if (up < 0 && !lastAttempt) {
        ++unreachable;  // the copy stays for a later attempt
      } else if (isRetry) {
        RemoveLocal(f.localPath);
      }
      ++failed;
    }
  }

  // The IM file monitor or the cloud could not be reached: nothing is sent
  // without the attachments they did not give or take; the item (copies
  // and media ids kept) is tried again.
  const int waiting = unreachable + dlWaiting;
  if (waiting > 0 && (isRetry || failed == unreachable)) {
    WriteLogF("%s climsgid %llu errcount %d retry %s 回队列重试", kFileFunc, climsgid, failed + dlWaiting,
              isRetry ? "TRUE" : "FALSE");
    return WQUEUE_HANDLER_TRANSPORT;
  }
  if ((failed > 0 || dlWaiting > 0) && !isRetry) {
    WriteLogF("%s climsgid %llu errcount %d retry %s 回队列重试", kFileFunc, climsgid, failed + dlWaiting, "FALSE");
    return WQUEUE_HANDLER_FAILED;
  }

  if (uploaded > 0 || !msg.content.empty()) {
    COndekoApi api(m_configDir);
    const OndekoMsgItem item = BuildMsgItem(msg, true, static_cast<uint32_t>(now));
    EmptyReply rsp;
    const int ret = api.SendMsg(item, rsp);
    WriteLogF("SendFileMsg2Ondeko SendMsg() , climsgid %llu '%s' to '%s' '%s' key %s flistsize %d iRet = %d errcode "
              "%d errmsg '%s'",
              climsgid, U8(msg.from).c_str(), U8(msg.to).c_str(), U8(msg.content).c_str(), shortKey.c_str(),
              static_cast<int>(msg.files.size()), ret, rsp.errCode, CloudText(rsp.message).c_str());
    if (ret != 0 || rsp.errCode != 0) return FailureResult(ret, rsp);
    CountSentAttachments(msg, true);
    CountHandled(MetricDirection::kImToCloud, MetricKind::kFile, MetricOutcome::kDelivered, msg);
    return WQUEUE_HANDLER_DONE;
  }

  WriteLogF("%s climsgid %llu retry %s 没有上传成功的文件且消息为空，不发送消息到Ondeko", kFileFunc, climsgid, "TRUE");
  CountSentAttachments(msg, false);
  CountHandled(MetricDirection::kImToCloud, MetricKind::kFile, MetricOutcome::kDropped, msg);
  return 1;
}

int CNuv4OndekoProcessor::UploadFile2Ondeko(uint64_t climsgid, const CQueueFile& file, std::string& mediaId) {
  const unsigned long long id = climsgid;
  COndekoApi api(m_configDir);
  GetUploadFileUrlRequest urlReq;
  urlReq.type = file.kind == FILE_KIND_IMAGE ? 1 : 0;
  urlReq.contact_type = 0;
  GetUploadFileUrlReply urlRsp;
  int ret = api.GetUploadFileUrl(urlReq, urlRsp);
  if (ret != 0 || urlRsp.errCode != 0) {
    WriteLogF("UploadFile2Ondeko climsgid %llu GetUploadFileUrl failed ret %d code %d '%s'", id, ret, urlRsp.errCode,
              CloudText(urlRsp.message).c_str());
    return FailureResult(ret, urlRsp);
  }

  // The copy takes the display name (reduced to a safe base name) so that the
  // upload carries it. A name that would replace some other attachment's
  // local copy ("<fid>.dat") is prefixed until it spares it.
  const std::wstring tmpDir = GetTmpFilesDir() + L"/";
  const std::string source = WideToPath(file.localPath);
  std::wstring name = UploadFileName(file.fileName, file.fid);
  for (int i = 0; i < kMaxRenameAttempts && EndsWithDat(name) && OtherFileExists(WideToPath(tmpDir + name), source);
       ++i)
    name = UploadFileName(L"_" + name, file.fid);
  const std::wstring target = tmpDir + name;
  const bool spared = !(EndsWithDat(name) && OtherFileExists(WideToPath(target), source));
  if (!spared || !InTmpDir(file.localPath) || !MoveReplacing(file.localPath, target)) {
    WriteLogF("UploadFile2Ondeko climsgid %llu MoveFileEx(%s.dat , %s) failed", id, U8(file.fid).c_str(),
              U8(file.fileName).c_str());
    return 0;
  }

  UploadFileRequest upReq;
  upReq.url = urlRsp.upload_file_url;
  upReq.localPath = WideToPath(target);
  UploadFileReply upRsp;
  ret = api.UploadFile(upReq, upRsp);
  if (ret != 0 || upRsp.errCode != 0) {
    WriteLogF("UploadFile2Ondeko climsgid %llu GetUploadFileUrl OK but UploadFile failed, ret %d code %d '%s'", id, ret,
              upRsp.errCode, CloudText(upRsp.message).c_str());
    MoveReplacing(target, file.localPath);
    return FailureResult(ret, upRsp);
  }
  mediaId = upRsp.media_id;
  RemoveLocal(target);
  return 1;
}

}  // namespace nuv
