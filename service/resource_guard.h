#pragma once
// ResourceGuard: the worker's watch over its own memory use and the
// machine's CPU load. Every 20 s it takes one reading of each into a window
// of the last five and compares the window's average with the limit, so a
// single spike never ends the worker but a load lasting about 100 s does.
// Created and run by the worker's main routine on its main thread; all
// waits go through the service clock.

#include <array>
#include <cstdint>
#include <string>

namespace nuv {

// Where the readings come from (the system probes in production).
class ResourceProbes {
 public:
  virtual ~ResourceProbes() = default;
  // 0 and the process's private memory in KB, or a negative error code.
  virtual int MemUsageKB(uint64_t& kb) = 0;
  // 0 and the machine's load in percent since the previous call, or a
  // negative error code. The first call only takes a sample.
  virtual int CpuUsage(int& load) = 0;
};

// The probes of common/probes.h.
ResourceProbes& SystemResourceProbes();

class ResourceGuard {
 public:
  // maxmemMB in MB (compared against KB), maxcpu in percent.
  ResourceGuard(ResourceProbes& probes, uint32_t maxmemMB, uint32_t maxcpu);

  // Takes the first readings (CPU twice, 200 ms apart, then memory) and
  // fills every slot of both windows with them.
  void Prime();
  // One checking pass; pass is the pass counter (lines about a healthy
  // state and CPU probe failures are written when it is a multiple of 60).
  // Returns the report code of the limit passed ("TOOMANYMEM",
  // "TOOMANYCPUUSAGE"), or an empty text.
  std::wstring Check(int pass);
  // Primes, then sleeps 5 s per pass and checks every fourth pass, until a
  // limit is passed; returns its report code.
  std::wstring Run();

  uint64_t MemAverageKB() const;
  uint32_t CpuAverage() const;

 private:
  static constexpr int kSlots = 5;

  ResourceProbes& probes_;
  const uint32_t maxmemMB_;
  const uint32_t maxcpu_;
  std::array<uint64_t, kSlots> mem_{};
  std::array<int, kSlots> cpu_{};
  int memNext_ = 0;
  int cpuNext_ = 0;
};

}  // namespace nuv
