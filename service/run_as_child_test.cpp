#include "service/run_as_child.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/paths.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "processor/processor.h"

namespace nuv {
namespace {

// The process's real memory, a calm CPU.
class RealMemoryCalmCpu : public ResourceProbes {
 public:
  int MemUsageKB(uint64_t& kb) override { return SystemResourceProbes().MemUsageKB(kb); }
  int CpuUsage(int& load) override {
    load = 10;
    return 0;
  }
};

class RunAsChildTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTest(&clock_); }
  void TearDown() override { SetClockForTest(nullptr); }
  test::TempInstallRoot root_;
  VirtualClock clock_{VirtualClock::Mode::kAuto};
};

// The worker's main routine with the limits of the configuration center.
class RecordingBridge : public WorkerBridge {
 public:
  void Start() override { started = true; }
  void EndProcess(const std::wstring& code) override { endCode = code; }
  bool started = false;
  std::wstring endCode;
};

TEST_F(RunAsChildTest, RunAsChildStartsTheBridgeAndEndsAtTheFirstCheckOverTheLimit) {
  MakeDirs(root_.config());
  test::WriteWholeFile(root_.config() + "generalconf.ini", "0;0;0;0;95;1;0;0;");
  std::vector<char> ballast(4 << 20, 1);
  asm volatile("" : : "r"(ballast.data()) : "memory");
  RealMemoryCalmCpu probes;
  RecordingBridge bridge;
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(RunAsChild(bridge, probes), 0);
  EXPECT_TRUE(bridge.started);
  EXPECT_EQ(bridge.endCode, L"TOOMANYMEM");
  EXPECT_EQ(clock_.NowMs() - start, 20200);
  auto lines = root_.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(root_.LogContains("RunAsChild() is call"));
  EXPECT_NE(lines.back().find("KB, use too many memory, exit"), std::string::npos) << lines.back();
}

// The production bridge reports the reason through the processor's restart
// report and then ends the process with exit code 0.
TEST_F(RunAsChildTest, ProcessorBridgeReportsThenEnds) {
  std::vector<std::wstring> reports;
  std::vector<int> exits;
  ProcessorSeams& seams = GetProcessor()->Seams();
  seams.reportReboot = [&](const std::wstring& code) {
    reports.push_back(code);
    return 1;
  };
  seams.exitProcess = [&](int code) {
    EXPECT_EQ(reports.size(), 1u);  // reported first
    exits.push_back(code);
  };
  ProcessorBridge().EndProcess(L"TOOMANYMEM");
  EXPECT_EQ(reports, std::vector<std::wstring>{L"TOOMANYMEM"});
  EXPECT_EQ(exits, std::vector<int>{0});
  ReleaseProcessor();
}

}  // namespace
}  // namespace nuv
