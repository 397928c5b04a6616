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

  // Loads and corrects the values; always true.
  bool Init();
  // Writes the whole record back (safe replace). 0 or the write's error code.
  int Save();
  // The same, with maxmsgid written as onDisk instead of the current value
  // (which stays as it is in memory).
  int SaveWithMaxmsgid(uint64_t onDisk);

  ConfigValues& values() { return values_; }
  const std::string& path() const { return path_; }

  // The one-line file text of the current values.
  std::string Format() const;

 private:
  std::string FormatWith(uint64_t maxmsgid) const;

  std::string path_;
  ConfigValues values_;
  std::mutex saveMu_;
};

}  // namespace nuv
