#include "service/resource_guard.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "common/log.h"
#include "common/paths.h"
#include "common/test_support.h"
#include "service/test_log_count.h"
#include "common/virtual_clock.h"

namespace nuv {
namespace {

// Probes that hand out scripted readings; a reading of -1 is a probe failure.
class ScriptedProbes : public ResourceProbes {
 public:
  std::deque<int64_t> mem;  // KB
  std::deque<int> cpu;      // percent
  int64_t memDefault = 1000;
  int cpuDefault = 10;

  int MemUsageKB(uint64_t& kb) override {
    int64_t v = memDefault;
    if (!mem.empty()) {
      v = mem.front();
      mem.pop_front();
    }
    if (v < 0) return -1;
    kb = static_cast<uint64_t>(v);
    return 0;
  }
  int CpuUsage(int& load) override {
    int v = cpuDefault;
    if (!cpu.empty()) {
      v = cpu.front();
      cpu.pop_front();
    }
    if (v < 0) return -4;
    load = v;
    return 0;
  }
};

class ResourceGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTest(&clock_); }
  void TearDown() override { SetClockForTest(nullptr); }

  int CountLog(const std::string& needle) { return test::CountLogLines(root_, needle); }

  test::TempInstallRoot root_;
  VirtualClock clock_{VirtualClock::Mode::kAuto};
  ScriptedProbes probes_;
};

TEST_F(ResourceGuardTest, OneSpikeIsAveragedAway) {
  probes_.cpu = {50, 50};  // priming: both samples 50, all five slots 50
  ResourceGuard guard(probes_, 1024, 95);
  guard.Prime();
  EXPECT_EQ(guard.CpuAverage(), 50u);
  probes_.cpu = {100};
  EXPECT_EQ(guard.Check(4), L"");
  EXPECT_EQ(guard.CpuAverage(), 60u);  // (100 + 4 * 50) / 5
  // A load that stays high fills the window and ends the worker.
  probes_.cpu = {100, 100, 100, 100};
  EXPECT_EQ(guard.Check(8), L"");   // 70
  EXPECT_EQ(guard.Check(12), L"");  // 80
  EXPECT_EQ(guard.Check(16), L"");  // 90
  EXPECT_EQ(guard.Check(20), L"TOOMANYCPUUSAGE");
  EXPECT_EQ(guard.CpuAverage(), 100u);
  EXPECT_TRUE(root_.LogContains("RunAsChild() Check CPU 100%, load too high, exit"));
}

TEST_F(ResourceGuardTest, MemoryLimitIsInMegabytesAgainstKilobytes) {
  probes_.memDefault = 1024;  // exactly at 1 MB: not above
  ResourceGuard guard(probes_, 1, 95);
  guard.Prime();
  EXPECT_EQ(guard.Check(4), L"");
  // One reading of 1029 KB lifts the average by 1 KB: above the limit.
  probes_.mem = {1029};
  EXPECT_EQ(guard.Check(8), L"TOOMANYMEM");
  EXPECT_TRUE(root_.LogContains("RunAsChild() Check Mem 1025 KB, use too many memory, exit"));
  EXPECT_FALSE(root_.LogContains("Check CPU"));  // memory is decided first
}

TEST_F(ResourceGuardTest, FailedReadingsKeepTheOldSlotAndAreLoggedAsSpecified) {
  ResourceGuard guard(probes_, 1024, 95);
  guard.Prime();
  // Memory failures are logged on every checking pass; CPU failures only
  // on passes that are multiples of 60.
  for (int pass : {4, 8, 56, 60, 64, 120}) {
    probes_.mem = {-1};
    probes_.cpu = {-1};
    EXPECT_EQ(guard.Check(pass), L"");
  }
  EXPECT_EQ(CountLog("RunAsChild() Check Mem failed, check again after 20sec"), 6);
  EXPECT_EQ(CountLog("RunAsChild() Check CPU failed ret=-4, check again after 20sec"), 2);
  EXPECT_EQ(CountLog("RunAsChild() Check Mem 1000 KB, OK"), 2);
  EXPECT_EQ(CountLog("RunAsChild() Check CPU 10%, OK"), 2);
  EXPECT_EQ(guard.MemAverageKB(), 1000u);
  EXPECT_EQ(guard.CpuAverage(), 10u);
}

TEST_F(ResourceGuardTest, WindowAdvancesCyclicallyOnlyOnSuccess) {
  ResourceGuard guard(probes_, 1024, 95);
  probes_.memDefault = 0;
  guard.Prime();  // five slots of 0
  probes_.mem = {500, -1, 500, 500, 500, 500};
  for (int i = 0; i < 6; ++i) guard.Check(4 * (i + 1));
  // Five successful readings of 500 have replaced all five slots.
  EXPECT_EQ(guard.MemAverageKB(), 500u);
  probes_.mem = {1000};
  guard.Check(28);
  EXPECT_EQ(guard.MemAverageKB(), 600u);
}

// The real memory probe, with a calm CPU: the test holds 4 MB of its own
// so that the process is surely above 1 MB.
class RealMemoryProbes : public ScriptedProbes {
 public:
  int MemUsageKB(uint64_t& kb) override { return SystemResourceProbes().MemUsageKB(kb); }
};

TEST_F(ResourceGuardTest, RunChecksEveryTwentySecondsOfClockTime) {
  std::vector<char> ballast(4 << 20, 1);
  asm volatile("" : : "r"(ballast.data()) : "memory");
  RealMemoryProbes probes;
  ResourceGuard guard(probes, 1, 95);
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(guard.Run(), L"TOOMANYMEM");
  EXPECT_EQ(clock_.NowMs() - start, 200 + 20000);  // priming, then the first check
}

}  // namespace
}  // namespace nuv
