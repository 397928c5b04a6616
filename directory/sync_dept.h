#pragma once
// SyncDept carries the IM organisation to the cloud: SyncDataToDK exports the
// departments and users into the snapshot files and, when they changed,
// uploads each file and has the cloud import it (departments first, then
// users), following each import to 100 percent. SyncOnlineStateToDK mirrors
// the users' presence as the cloud's mute status, sending only users that
// newly appear in a state. No state between calls (only the owner's stop):
// every call builds its own CDBProcessor and cloud clients. Used by the
// directory sync thread only.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cloud/cloud_settings.h"
#include "cloud/ondeko_records.h"

namespace nuv {

// Result codes of the directory upload (besides the cloud client's codes).
constexpr int kSyncEmptyPath = -10001;     // SyncDataToQF got no file path
constexpr int kSyncUploadFailed = -10002;  // a file upload failed
constexpr int kSyncImportFailed = -10003;  // an import did not reach 100, or a query failed
constexpr int kSyncStopped = -10004;       // the caller's stop came first

// Marker in the sync directory while an export has not gone through.
constexpr char kSyncPendingName[] = "dirsync.pending";

// Longest wait for one import to reach 100 percent, and the pause between
// two progress queries.
constexpr int64_t kImportGiveUpMs = 30LL * 60 * 1000;
constexpr uint32_t kImportPollMs = 1000;
// Most entries in one set_mute request.
constexpr size_t kMuteBatchMax = 1000;

// Sizes of the set_mute requests that carry count names, in order.
std::vector<size_t> MuteBatchSizes(size_t count);

// How the owner of a SyncDept ends its work early. requested is polled
// between steps and by every cloud transfer (about once a second); pause
// replaces the pauses between import progress queries and returns true when
// it was cut short by a stop. Unset members: the work runs to its end.
struct SyncDeptStop {
  std::function<bool()> requested;
  std::function<bool(uint32_t ms)> pause;
};

class SyncDept {
 public:
  SyncDept() = default;
  explicit SyncDept(SyncDeptStop stop) : stop_(std::move(stop)) {}

  // dir: the configuration directory (ends in '/'; empty: the sync
  // configuration directory). errCode/errMsg get the last failing or final
  // cloud reply's code and message. 0 = nothing to do or both imports done;
  // kSyncStopped when a stop ended it (an import may go on on the cloud).
  int SyncDataToDK(std::string dir, int unused, int32_t& errCode, std::string& errMsg);
  // Uploads one snapshot file (type 1 departments, 2 users): 0, -10001, -10002.
  int SyncDataToQF(const std::string& filePath, int32_t type, const std::string& vid,
                   int32_t& errCode, std::string& errMsg);
  // One import progress query: 0 or -10003.
  int CheckSyncPercentage(const std::string& dir, const CheckContactsRequest& req,
                          CheckContactsReply& rsp);

  // The three presence lists ("name;" each). 0, or kSyncStopped when a stop
  // ended it (states not yet compared keep their files).
  int SyncOnlineStateToDK(std::string online, std::string offline, std::string away);
  // New names of a state since the previous run (state: offline 0, online 1,
  // away 2); rewrites the state's file. 0 or -1.
  int DiffPresenceList(const std::string& text, int state, std::vector<std::string>& names);

 private:
  struct Phase;
  bool Stopped() const { return stop_.requested && stop_.requested(); }
  // Sleeps ms (cut short by a stop); true when stopped.
  bool Pause(uint32_t ms) const;
  // The cloud settings of this run: service.ini's, with the stop as cancel.
  CloudSettings Settings() const;
  int RunPhase(const Phase& phase, const std::string& dir, int32_t& errCode, std::string& errMsg);

  const SyncDeptStop stop_;
};

}  // namespace nuv
