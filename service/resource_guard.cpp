#include "service/resource_guard.h"

#include "common/clock.h"
#include "common/func_timer.h"
#include "common/log.h"
#include "common/probes.h"

namespace nuv {
namespace {

class SystemProbes : public ResourceProbes {
 public:
  int MemUsageKB(uint64_t& kb) override { return GetMemUsageKB(kb); }
  int CpuUsage(int& load) override { return GetCpuUsage(load); }
};

}  // namespace

ResourceProbes& SystemResourceProbes() {
  static SystemProbes probes;
  return probes;
}

ResourceGuard::ResourceGuard(ResourceProbes& probes, uint32_t maxmemMB, uint32_t maxcpu)
    : probes_(probes), maxmemMB_(maxmemMB), maxcpu_(maxcpu) {}

void ResourceGuard::Prime() {
  int cpu = 0;
  probes_.CpuUsage(cpu);
  GetClock().SleepMs(200);
  probes_.CpuUsage(cpu);
  uint64_t mem = 0;
  probes_.MemUsageKB(mem);
  mem_.fill(mem);
  cpu_.fill(cpu);
  memNext_ = 0;
  cpuNext_ = 0;
}

uint64_t ResourceGuard::MemAverageKB() const {
  uint64_t sum = 0;
  for (uint64_t v : mem_) sum += v;
  return sum / kSlots;
}

uint32_t ResourceGuard::CpuAverage() const {
  int64_t sum = 0;
  for (int v : cpu_) sum += v;
  return static_cast<uint32_t>(sum / kSlots);
}

std::wstring ResourceGuard::Check(int pass) {
  const bool report = pass % 60 == 0;

  uint64_t mem = 0;
  if (probes_.MemUsageKB(mem) == 0) {
    mem_[memNext_] = mem;
    memNext_ = (memNext_ + 1) % kSlots;
  } else {
    WriteLogF("RunAsChild() Check Mem failed, check again after 20sec");
  }
  const uint64_t memAvg = MemAverageKB();
  if (memAvg > static_cast<uint64_t>(maxmemMB_) * 1024) {
    WriteLogF("RunAsChild() Check Mem %llu KB, use too many memory, exit",
              static_cast<unsigned long long>(memAvg));
    return L"TOOMANYMEM";
  }
  if (report)
    WriteLogF("RunAsChild() Check Mem %llu KB, OK", static_cast<unsigned long long>(memAvg));

  int cpu = 0;
  int ret = probes_.CpuUsage(cpu);
  if (ret == 0) {
    cpu_[cpuNext_] = cpu;
    cpuNext_ = (cpuNext_ + 1) % kSlots;
  } else if (report) {
    WriteLogF("RunAsChild() Check CPU failed ret=%d, check again after 20sec", ret);
  }
  const uint32_t cpuAvg = CpuAverage();
  if (cpuAvg > maxcpu_) {
    WriteLogF("RunAsChild() Check CPU %u%%, load too high, exit", cpuAvg);
    return L"TOOMANYCPUUSAGE";
  }
  if (report) WriteLogF("RunAsChild() Check CPU %u%%, OK", cpuAvg);
  return std::wstring();
}

std::wstring ResourceGuard::Run() {
  Prime();
  FuncTimer timer(L"RunAsChild");
  for (int pass = 1;; ++pass) {
    GetClock().SleepMs(5000);
    if (pass % 4 != 0) continue;
    std::wstring reason = Check(pass);
    if (!reason.empty()) return reason;
  }
}

}  // namespace nuv
