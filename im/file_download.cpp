// CAppManager: fetching a message's attachments from the IM server's file
// monitor. Announcements (OnFileUploaded) make attachments READY; one download
// runs at a time; completion and failure events carry no file identity and
// apply to the single entry of the downing list (a completion only when the
// entry's copy is on disk: the monitor stores before it reports, so another
// copy means a forgotten earlier request's event). A file the IM server refuses
// (twice) ends in ERR; a file monitor that cannot be reached (or lost during
// a download) ends the message's download loop with the file still READY.
#include <sys/stat.h>

#include "common/clock.h"
#include "common/log.h"
#include "common/sdk_error.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/im_connection.h"

namespace nuv {
namespace {

std::string U8(const std::wstring& w) { return WideToUtf8(w); }

// The last 12 characters of a file id (all of it when shorter).
std::string FidTail(const std::wstring& fid) {
  return U8(fid.size() > 12 ? fid.substr(fid.size() - 12) : fid);
}

// The file monitor could not be reached or did not answer: nothing is known
// about the file itself.
bool IsUnreachableCode(uint32_t code) { return code == kSdkErrServerUnavailable || code == kSdkErrTimeout; }

bool CopyOnDisk(const std::wstring& path) {
  struct stat st {};
  return !path.empty() && ::stat(WideToPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

void CAppManager::OnFileUploaded(const std::wstring& info, int16_t* outFlag) {
  if (outFlag) *outFlag = -1;  // all bits set
  static const std::wstring kToken = L" FileID=\"";
  const size_t at = info.find(kToken);
  if (at == std::wstring::npos) {
    WriteLog(L"OnFileUploaded FID token not Found, upinfo is:");
    return;
  }
  const size_t begin = at + kToken.size();
  const size_t end = info.find(L"\" ", begin);
  if (end == std::wstring::npos) {
    WriteLog(L"OnFileUploaded FID token Endtag not Found");
    return;
  }
  fileLock.Lock(L"OnFileUploaded", 1000);
  uploadedFids.push_back(info.substr(begin, end - begin));
  fileLock.Unlock();
}

void CAppManager::DropStaleRetiredLocked() {
  const int64_t now = GetClock().NowMs();
  for (auto it = downingFiles.begin(); it != downingFiles.end();) {
    if (!it->file && now - it->retiredAtMs > kRetiredDownloadGraceMs) {
      WriteLogF("DownloadNuvFile retired download got no event within %lld ms, forget it",
                static_cast<long long>(kRetiredDownloadGraceMs));
      it = downingFiles.erase(it);
    } else {
      ++it;
    }
  }
}

void CAppManager::RetireDownloadsLocked(uint64_t owner, uint64_t msgid) {
  for (DowningEntry& e : downingFiles) {
    if (e.owner != owner || !e.file) continue;
    WriteLogF("DownloadNuvFile climsgid %llu fid '%s' still downloading, retire it",
              static_cast<unsigned long long>(msgid), FidTail(e.file->fid).c_str());
    e.file = nullptr;
    e.retiredAtMs = GetClock().NowMs();
  }
}

void CAppManager::DownloadAllFiles(CQueueMsg& msg, std::vector<CQueueFile>& failed) {
  const uint64_t owner = ++downloadOwnerSeq;
  const int64_t start = GetClock().Now();
  for (;;) {
    int end = 0, ok = 0, err = 0, wait = 0, ready = 0, downing = 0;
    CQueueFile* candidate = nullptr;
    bool listEmpty;
    fileLock.Lock(L"DownloadNuvFile", 300000);
    for (CQueueFile& f : msg.files) {
      if (f.status == FILE_STATUS_WAIT) {
        for (auto it = uploadedFids.begin(); it != uploadedFids.end(); ++it) {
          if (*it == f.fid) {
            f.status = FILE_STATUS_READY;
            uploadedFids.erase(it);
            break;
          }
        }
        if (f.status == FILE_STATUS_WAIT) {
          ++wait;
          continue;
        }
      }
      switch (f.status) {
        case FILE_STATUS_OK:
          ++end;
          ++ok;
          break;
        case FILE_STATUS_ERR:
          ++end;
          ++err;
          break;
        case FILE_STATUS_READY:
          ++ready;
          if (!candidate || f.failCount < candidate->failCount) candidate = &f;
          break;
        case FILE_STATUS_DOWNING:
          ++downing;
          break;
        default:
          WriteLogF("DownloadNuvFile WARNNING fid '%s' is WRONG status %d !!! set Error status",
                    FidTail(f.fid).c_str(), f.status);
          f.status = FILE_STATUS_ERR;
          ++end;
          ++err;
          break;
      }
    }
    DropStaleRetiredLocked();
    listEmpty = downingFiles.empty();
    const bool unreachable = unreachableOwner == owner;
    fileLock.Unlock();

    const int64_t elapsed = GetClock().Now() - start;
    if (unreachable) {
      WriteLogF("DownloadNuvFile climsgid %llu file monitor not reachable, quit download loop",
                static_cast<unsigned long long>(msg.msgid));
      break;
    }
    if (candidate && listEmpty) {
      DownloadNuvFile(*candidate, owner);
      continue;
    }
    if (end == static_cast<int>(msg.files.size())) {
      WriteLogF("DownloadNuvFile files %d End %d (OK %d ERR %d) WAIT %d READY %d DOWNING %d, FINISHED !",
                static_cast<int>(msg.files.size()), end, ok, err, wait, ready, downing);
      break;
    }
    if (elapsed > 10) {
      WriteLog(L"DownloadNuvFile Download > 10s , quit download loop");
      break;
    }
    GetClock().SleepMs(20);
  }

  fileLock.Lock(L"DownloadNuvFile", 300000);
  if (unreachableOwner == owner) unreachableOwner = 0;
  RetireDownloadsLocked(owner, msg.msgid);
  std::vector<CQueueFile> kept;
  for (CQueueFile& f : msg.files) {
    if (f.status == FILE_STATUS_OK) {
      kept.push_back(std::move(f));
      continue;
    }
    WriteLogF("DownloadNuvFile climsgid %llu File '%s' download failed, last status %d, put to faillist",
              static_cast<unsigned long long>(msg.msgid), U8(f.fileName).c_str(), f.status);
    failed.push_back(std::move(f));
  }
  msg.files = std::move(kept);
  fileLock.Unlock();
}

bool CAppManager::DownloadNuvFile(CQueueFile& file, uint64_t owner) {
  std::wstring fid, fkey, datName, fileName;
  {
    CSLockGuard g(fileLock, L"DownloadNuvFile", 300000);
    file.status = FILE_STATUS_DOWNING;
    downingFiles.push_back(DowningEntry{&file, owner, 0});
    fid = file.fid;
    fkey = file.fkey;
    datName = file.datName;
    fileName = file.fileName;
  }
  uint32_t code = 0;
  try {
    std::shared_ptr<INuvFileMonitor> fm = fileMonitor;
    if (!fm) throw NuvSdkError(kSdkErrServerUnavailable, "no file monitor");
    fm->DownloadFile(fid, fkey, datName);
    return true;
  } catch (const NuvSdkError& e) {
    code = e.code();
  } catch (...) {
    code = kSdkErrFail;
  }
  WriteLogF("DownloadNuvFile DownloadFile %s fid '%s' fkey '%s' failed hr=%ld", U8(fileName).c_str(),
            FidTail(fid).c_str(), SecretTail(U8(fkey)).c_str(), static_cast<long>(static_cast<int32_t>(code)));
  CSLockGuard g(fileLock, L"DownloadNuvFile", 300000);
  // A refusal gives the file up; an unreachable file monitor says nothing
  // about it: it stays READY and the message's download loop ends.
  if (IsUnreachableCode(code)) {
    file.status = FILE_STATUS_READY;
    unreachableOwner = owner;
  } else {
    file.status = FILE_STATUS_ERR;
  }
  // A refused request raises no event: its entry would block every later
  // download, so it leaves the list at once.
  for (auto it = downingFiles.begin(); it != downingFiles.end(); ++it) {
    if (it->file == &file) {
      downingFiles.erase(it);
      break;
    }
  }
  return false;
}

void CAppManager::OnDownloadFail(int32_t code) {
  CSLockGuard g(fileLock, L"OnDownloadFail", 300000);
  if (downingFiles.size() == 1) {
    CQueueFile* f = downingFiles.front().file;
    if (!f) {
      WriteLogF("OnDownloadFail Call, iCode =%d for a retired download, ignored", code);
    } else if (IsUnreachableCode(static_cast<uint32_t>(code))) {
      // The connection to the file monitor went: not the file's failure.
      WriteLogF("OnDownloadFail Call, fid '%s' file '%s' download faile, code %d, file monitor not reachable, "
                "change status to READY",
                FidTail(f->fid).c_str(), U8(f->fileName).c_str(), code);
      f->status = FILE_STATUS_READY;
      unreachableOwner = downingFiles.front().owner;
    } else {
      ++f->failCount;
      const bool final = f->failCount >= 2;
      WriteLogF("OnDownloadFail Call, fid '%s' file '%s' download faile, code %d, retry %d change status to %s",
                FidTail(f->fid).c_str(), U8(f->fileName).c_str(), code, f->failCount,
                final ? "DOWNERR" : "READY");
      f->status = final ? FILE_STATUS_ERR : FILE_STATUS_READY;
    }
  } else {
    WriteLogF("OnDownloadFail Call, iCode =%d but downing list size %d != 1, error", code,
              static_cast<int>(downingFiles.size()));
  }
  downingFiles.clear();
}

void CAppManager::OnDownloadComplete() {
  CSLockGuard g(fileLock, L"OnDownloadComplete", 300000);
  if (downingFiles.size() == 1) {
    CQueueFile* f = downingFiles.front().file;
    if (f && !CopyOnDisk(f->localPath)) {
      // The file monitor stores a download before it reports it: this is
      // the late event of an earlier request, forgotten after its grace.
      // The entry waits for its own event.
      WriteLogF("OnDownloadComplete Call, but fid '%s' has no local copy: another download's late event, ignored",
                FidTail(f->fid).c_str());
      return;
    }
    if (f) {
      f->status = FILE_STATUS_OK;
    } else {
      WriteLog(L"OnDownloadComplete Call for a retired download, ignored");
    }
  } else {
    WriteLogF("OnDownloadComplete Call, but downing list size %d != 1, error",
              static_cast<int>(downingFiles.size()));
  }
  downingFiles.clear();
}

}  // namespace nuv
