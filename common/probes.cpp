#include "common/probes.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/clock.h"

namespace nuv {

int CpuLoadCalculator::Update(uint64_t idle, uint64_t time, int processors) {
  if (prevIdle_ != 0 && time != prevTime_ && processors > 0) {
    double load = 100.0 - (static_cast<double>(idle) - static_cast<double>(prevIdle_)) /
                              (static_cast<double>(time) - static_cast<double>(prevTime_)) *
                              100.0 / processors;
    if (load >= 0.0 && load <= 100.0) lastLoad_ = static_cast<int>(load);
  }
  prevIdle_ = idle;
  prevTime_ = time;
  return lastLoad_;
}

int GetMemUsageKB(uint64_t& kb) {
  std::ifstream in("/proc/self/status");
  if (!in) return -1;
  std::string line;
  uint64_t total = 0;
  bool found = false;
  while (std::getline(in, line)) {
    unsigned long long v = 0;
    if (std::sscanf(line.c_str(), "RssAnon: %llu kB", &v) == 1 ||
        std::sscanf(line.c_str(), "VmSwap: %llu kB", &v) == 1) {
      total += v;
      found = true;
    }
  }
  if (!found) return -1;
  kb = total;
  return 0;
}

int GetCpuUsage(int& load) {
  static CpuLoadCalculator calc;  // the one previous sample of the process
  std::ifstream in("/proc/stat");
  if (!in) return -1;
  long procs = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (procs <= 0) return -2;
  int64_t nowMs = GetClock().NowMs();
  if (nowMs <= 0) return -3;
  std::string line;
  if (!std::getline(in, line) || line.compare(0, 4, "cpu ") != 0) return -4;
  std::istringstream fields(line.substr(4));
  unsigned long long user = 0, nice = 0, sys = 0, idle = 0, iowait = 0;
  if (!(fields >> user >> nice >> sys >> idle)) return -4;
  fields >> iowait;  // absent on very old kernels
  long hz = ::sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  uint64_t idleMs = (idle + iowait) * 1000ULL / static_cast<unsigned long long>(hz);
  load = calc.Update(idleMs, static_cast<uint64_t>(nowMs), static_cast<int>(procs));
  return 0;
}

}  // namespace nuv
