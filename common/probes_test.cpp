#include <gtest/gtest.h>

#include <vector>

#include "common/probes.h"

namespace nuv {
namespace {

TEST(CpuLoad, FirstSampleYieldsZeroAndOutOfRangeIsIgnored) {
  CpuLoadCalculator calc;
  EXPECT_EQ(calc.Update(1000, 10000, 2), 0);
  // 2 processors, 1000 ms elapsed, 1000 ms idle in all: 50 %.
  EXPECT_EQ(calc.Update(2000, 11000, 2), 50);
  // Idle grew faster than time allows: -? % is ignored, 50 stays.
  EXPECT_EQ(calc.Update(5000, 12000, 2), 50);
  // No idle at all over 1000 ms would be 100; more than that is impossible.
  EXPECT_EQ(calc.Update(5000, 13000, 2), 100);
}

TEST(Probes, RealSystemValues) {
  uint64_t kb = 0;
  ASSERT_EQ(GetMemUsageKB(kb), 0);
  std::vector<char> block(8 << 20, 1);  // touch 8 MB
  uint64_t kb2 = 0;
  ASSERT_EQ(GetMemUsageKB(kb2), 0);
  EXPECT_GE(kb2 + 1024, kb + 8 * 1024);
  int load = -1;
  EXPECT_EQ(GetCpuUsage(load), 0);
  EXPECT_GE(load, 0);
  EXPECT_LE(load, 100);
  (void)block[100];
}

}  // namespace
}  // namespace nuv
