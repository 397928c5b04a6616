#include "directory/sync_dept.h"

#include <cstdio>

#include "cloud/ondeko_api.h"
#include "common/bridge_metrics.h"
#include "common/clock.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "directory/db_processor.h"
#include "directory/presence_diff.h"

namespace nuv {

// What differs between the department and the user import.
struct SyncDept::Phase {
  const char* fileName;
  int32_t type;  // upload_kf type
  int32_t op;    // check_contacts_job op
  bool org;      // set_org_contacts (departments) or sync_member_contacts (users)
  const char* uploadFailLine;
  const char* startFailLine;
};

bool SyncDept::Pause(uint32_t ms) const {
  if (stop_.pause) return stop_.pause(ms);
  GetClock().SleepMs(ms);
  return Stopped();
}

CloudSettings SyncDept::Settings() const {
  CloudSettings s = CloudSettings::FromServiceIni();
  s.cancel = stop_.requested;
  return s;
}

int SyncDept::SyncDataToDK(std::string dir, int /*unused*/, int32_t& errCode, std::string& errMsg) {
  static const Phase kDept{kDeptSnapshotName, 1, 0, true, "SyncDataToDK Dept call SyncDataToQF fail:%d",
                           "SyncDataToDK Dept call SetOrgContacts fail ret:%d err_code:%d err_msg:%s"};
  static const Phase kUser{
      kUserSnapshotName, 2, 2, false, "SyncDataToDK Uesrs call SyncDataToQF fail:%d",
      "SyncDataToDK User call SyncMemberContacts fail: ret:%d err_code:%d err_msg:%s"};

  CDBProcessor db;
  db.OpenDB(db.GetDBPath());
  if (dir.empty()) dir = GetSyncConfigDirA();
  const int d = db.SaveDeptFile(dir);
  const int u = db.SaveUserFile(dir);
  // The snapshots are replaced before anything is sent. Until both imports
  // have gone through, a marker says the cloud may lack them, so that a run
  // after a failed or stopped one sends the files again even when the
  // directory has not changed since.
  const std::string pending = dir + kSyncPendingName;
  uint64_t markerSize = 0;
  const bool wasPending = GetFileLength(pending, markerSize) == 0;
  if (d == 1 && u == 1 && !wasPending) {
    WriteLogF("SyncDataToDK Dept and Users is not change compare with last time");
    return 0;
  }
  if (d == 1 && u == 1) WriteLogF("SyncDataToDK last export did not finish, send the files again");
  if (!wasPending && WriteFileSafe(pending, "1") != 0) {
    WriteLogF("SyncDataToDK cannot write '%s'", pending.c_str());
  }
  if (Stopped()) return kSyncStopped;
  // Any other pair (a change, a first export, a failed save) sends both files:
  // the user import refers to the departments.
  int r = RunPhase(kDept, dir, errCode, errMsg);
  if (r != 0 || errCode != 0) return r;
  r = RunPhase(kUser, dir, errCode, errMsg);
  if (r == 0 && errCode == 0) std::remove(pending.c_str());
  return r;
}

int SyncDept::RunPhase(const Phase& phase, const std::string& dir, int32_t& errCode,
                       std::string& errMsg) {
  if (Stopped()) return kSyncStopped;
  int r = SyncDataToQF(dir + phase.fileName, phase.type, "", errCode, errMsg);
  if (r != 0 && Stopped()) return kSyncStopped;
  if (r != 0) {
    WriteLogF(phase.uploadFailLine, r);
    return r;
  }

  JobIdReply job;
  {
    COndekoApi api(GetSyncConfigDirA(), Settings());
    KfFileKeyRequest req;  // empty key: the client sends its own vid
    int ret = phase.org ? api.SetOrgContacts(req, job) : api.SyncMemberContacts(req, job);
    if (ret != 0 && Stopped()) return kSyncStopped;
    if (ret != 0 || job.errCode != 0) {
      WriteLogF(phase.startFailLine, ret, job.errCode, job.message.c_str());
      errCode = job.errCode;
      errMsg = job.message;
      return ret;
    }
  }

  // Follow the import: one query a second, for at most 30 minutes.
  CheckContactsRequest req;
  req.op = phase.op;
  req.job_id = job.job_id;
  CheckContactsReply progress;
  Clock& clock = GetClock();
  const int64_t giveUpAt = clock.NowMs() + kImportGiveUpMs;
  for (;;) {
    int p = CheckSyncPercentage(dir, req, progress);
    if (p != 0 && Stopped()) break;
    if (p == 0 && progress.percentage == 100 && progress.errCode == 0) {
      WriteLogF("SyncDataToDK 同步组织架构完成100:%d", p);
      errCode = progress.errCode;
      errMsg = progress.message;
      return 0;
    }
    if (progress.errCode != 0) {
      WriteLogF("SyncDataToDK 同步组织架构百分比出错:%d", progress.errCode);
      break;
    }
    if (progress.percentage <= 0 || progress.percentage >= 100) {
      WriteLogF("SyncDataToDK 同步组织架构百分比出错:%d", p);
      break;
    }
    if (clock.NowMs() >= giveUpAt) {
      WriteLogF("SyncDataToDK import job '%s' still at %d%% after %lld minutes, giving up",
                job.job_id.c_str(), progress.percentage,
                static_cast<long long>(kImportGiveUpMs / 60000));
      break;
    }
    if (Pause(kImportPollMs)) break;
  }
  errCode = progress.errCode;
  errMsg = progress.message;
  if (Stopped()) {
    WriteLogF("SyncDataToDK import job '%s' no longer followed at %d%%: stop requested", job.job_id.c_str(),
              progress.percentage);
    return kSyncStopped;
  }
  return kSyncImportFailed;
}

int SyncDept::SyncDataToQF(const std::string& filePath, int32_t type, const std::string& vid,
                           int32_t& errCode, std::string& errMsg) {
  if (filePath.empty()) {
    WriteLogF("SyncDataToQF filePath 为空！");
    return kSyncEmptyPath;
  }
  COndekoApi api(GetSyncConfigDirA(), Settings());
  UploadContactNosessionRequest req;
  req.type = type;
  req.localPath = filePath;
  req.vid = vid;
  EmptyReply rsp;
  int r = api.UploadContactNosession(req, rsp);
  if (r != 0 || rsp.errCode != 0) {
    WriteLogF("SyncDept::SyncDataToQF call UploadContactNosession ret:%d err_code:%d err_msg:%s", r,
              rsp.errCode, rsp.message.c_str());
    errCode = rsp.errCode;
    errMsg = rsp.message;
    return kSyncUploadFailed;
  }
  return 0;
}

int SyncDept::CheckSyncPercentage(const std::string& dir, const CheckContactsRequest& req,
                                  CheckContactsReply& rsp) {
  COndekoApi api(dir.empty() ? GetSyncConfigDirA() : dir, Settings());
  int r = api.CheckContacts(req, rsp);
  if (r != 0 || rsp.errCode != 0) {
    WriteLogF("CheckSyncPercentage call CheckContacts error_code:%d error_msg:%s", rsp.errCode,
              rsp.message.c_str());
    return kSyncImportFailed;
  }
  return 0;
}

std::vector<size_t> MuteBatchSizes(size_t count) {
  // A batch is sent when it is full, when the name at index 1000 joined it
  // (so the 1001st name travels alone) or after the last name.
  std::vector<size_t> sizes;
  size_t batch = 0;
  for (size_t i = 0; i < count; ++i) {
    ++batch;
    if (batch == kMuteBatchMax || i == kMuteBatchMax || i + 1 == count) {
      sizes.push_back(batch);
      batch = 0;
    }
  }
  return sizes;
}

int SyncDept::DiffPresenceList(const std::string& text, int state, std::vector<std::string>& names) {
  return nuv::DiffPresenceList(text, state, names, GetSyncConfigDirA());
}

int SyncDept::SyncOnlineStateToDK(std::string online, std::string offline, std::string away) {
  if (online.empty() || offline.empty()) {
    WriteLogF("SyncDept::SyncOnlineStateToDK input onlineList size:%d offlieList size:%d",
              static_cast<int>(online.size()), static_cast<int>(offline.size()));
  }
  struct StateRun {
    const std::string* text;
    int state;
    int32_t muteStatus;
    const char* word;
  };
  const StateRun states[] = {{&online, kPresenceOnline, 0, "onlieList"},
                             {&offline, kPresenceOffline, 1, "offlineList"},
                             {&away, kPresenceAway, 2, "awayList"}};
  COndekoApi api(GetSyncConfigDirA(), Settings());
  bool allTaken = true;  // every change sent was taken by the cloud
  for (const StateRun& s : states) {
    if (Stopped()) return kSyncStopped;
    std::vector<std::string> names;
    DiffPresenceList(*s.text, s.state, names);
    size_t next = 0;
    for (size_t size : MuteBatchSizes(names.size())) {
      if (Stopped()) return kSyncStopped;
      SetMuteStatusRequest req;
      for (size_t i = next; i < next + size; ++i) {
        req.status_list.push_back(MuteItem{names[i], s.muteStatus});
      }
      next += size;
      SetMuteStatusReply rsp;
      int r = api.SetMuteStatus(req, rsp);
      if (r != 0 || rsp.errCode != 0 || !rsp.invalid_users.empty()) {
        WriteLogF("SyncDept::SyncOnlineStateToDK %s call SetMuteStatus ret:%d errcode:%d errmsg:%s "
                  "invalid_user.size:%d",
                  s.word, r, rsp.errCode, rsp.message.c_str(),
                  static_cast<int>(rsp.invalid_users.size()));
        allTaken = allTaken && r == 0 && rsp.errCode == 0;
      }
    }
  }
  if (allTaken) Metrics().SetPresenceSynced(GetClock().Now());
  return 0;
}

}  // namespace nuv
