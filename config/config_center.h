#pragma once
// CConfigCenter: the worker's tuning limits and the two counters that survive
// a restart (push token, highest cloud message id taken in), kept in
// generalconf.ini in the configuration directory. One process-wide instance,
// created and loaded on first access. The limits are read-only after Init;
// token and maxmsgid are atomics written by the push callbacks' thread and
// read by others. Save is serialised internally.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace nuv {

struct ConfigValues {
  std::atomic<uint64_t> token{0};
  std::atomic<uint64_t> maxmsgid{0};
  uint32_t maxfilesize = 0;
  uint32_t maximgsize = 0;
  uint32_t maxcpu = 0;
  uint32_t maxmem = 0;
  uint32_t enqInterval = 0;   // "enq-interval", seconds
  uint32_t outqInterval = 0;  // "outq-interval", seconds
};

class CConfigCenter {
 public:
  // The process-wide instance over <configuration directory>/generalconf.ini.
  static CConfigCenter& GetInstance();

  // An instance over a given file (tests, tools). Call Init to load.
  explicit CConfigCenter(std::string path);

  // Loads and corrects the values; always true. A file that exists but
  // cannot be read gives the defaults and makes the counters unknown.
  bool Init();
  // Writes the whole record back (safe replace, 0600 when new). 0, the
  // write's error code, or kSaveRefused when the file could not be read at
  // Init: an unreadable file is never overwritten (logged once).
  int Save();
  // The same, with maxmsgid written as onDisk instead of the current value
  // (which stays as it is in memory).
  int SaveWithMaxmsgid(uint64_t onDisk);
  static constexpr int kSaveRefused = -3;

  // True when generalconf.ini exists but could not be read at Init.
  bool CountersUnknown() const { return countersUnknown_; }
  // While maxmsgid is unknown, the first call makes it msgid - 1 (so that
  // msgid is the first message taken in and nothing before it is fetched)
  // and returns true; every other call returns false.
  bool AdoptMaxMsgIdFrom(uint64_t msgid);
  // maxmsgid known from elsewhere (the work journal): the value becomes
  // msgid where that is higher or the file's value is unknown, and is known
  // from then on (no first message adopted). True when anything changed.
  bool RaiseMaxMsgId(uint64_t msgid);

  ConfigValues& values() { return values_; }
  const std::string& path() const { return path_; }

  // The one-line file text of the current values.
  std::string Format() const;

 private:
  std::string FormatWith(uint64_t maxmsgid) const;
  // Save's body; maxmsgid, when given, replaces the current value.
  int SaveRecord(const uint64_t* maxmsgid);

  std::string path_;
  ConfigValues values_;
  bool countersUnknown_ = false;  // set by Init only
  std::atomic<bool> maxmsgidUnknown_{false};
  std::mutex saveMu_;  // guards Save and the flag below
  bool saveRefusedLogged_ = false;
};

}  // namespace nuv
