#pragma once
// The two jobs the directory sync thread (CNuv4OndekoProcessor::SyncOrg2Ondeko)
// paces: the directory export and the presence push. The thread decides only
// when they run; in production they are SyncDept's, with the thread's stop
// passed down. Called on the directory sync thread only.

#include <cstdint>
#include <string>

namespace nuv {

class DirectoryJobs {
 public:
  virtual ~DirectoryJobs() = default;
  // dir: the configuration directory (narrow, trailing '/'). errCode and
  // errMsg come in as 0 and empty and are filled by the job.
  virtual int SyncDataToDK(std::string dir, int unused, int32_t& errCode, std::string& errMsg) = 0;
  // The online, offline and away lists, "name;" each.
  virtual int SyncOnlineStateToDK(std::string online, std::string offline, std::string away) = 0;
};

}  // namespace nuv
