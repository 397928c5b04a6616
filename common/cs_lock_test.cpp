#include <gtest/gtest.h>

#include <thread>

#include "common/clock.h"
#include "common/cs_lock.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"

namespace nuv {
namespace {

class CSLockTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTest(&clock_); }
  void TearDown() override { SetClockForTest(nullptr); }
  VirtualClock clock_;
};

TEST_F(CSLockTest, HeldForAndOverdue) {
  CSLock lock;
  EXPECT_EQ(lock.HeldFor(), 0u);
  EXPECT_FALSE(lock.IsOverdue());
  lock.Lock(L"Enqueue", 1000);
  clock_.Advance(1000);
  EXPECT_EQ(lock.HeldFor(), 1000u);
  EXPECT_FALSE(lock.IsOverdue());
  clock_.Advance(1);
  EXPECT_TRUE(lock.IsOverdue());
  lock.Unlock();
  EXPECT_EQ(lock.HeldFor(), 0u);
  EXPECT_FALSE(lock.IsOverdue());
}

TEST_F(CSLockTest, RecursiveHoldKeepsFirstTick) {
  CSLock lock;
  lock.Lock(L"outer", 0);
  clock_.Advance(10);
  lock.Lock(L"inner", 0);
  lock.Unlock();
  EXPECT_EQ(lock.HeldFor(), 10u);
  lock.Unlock();
  EXPECT_EQ(lock.HeldFor(), 0u);
}

TEST_F(CSLockTest, SweepListsLongHoldersEvenWithoutLimit) {
  test::TempInstallRoot root;
  test::WriteWholeFile(root.logs() + "config.ini", "[General]\nLevel=0\n");
  CSLock noLimit, limited, quick;
  noLimit.Lock(L"DownloadNuvFile", 0);
  limited.Lock(L"OnFileUploaded", 1000);
  quick.Lock(L"quick", 300000);
  clock_.Advance(1500);
  CSLock::Sweep();
  EXPECT_TRUE(root.LogContains("DEBUG:CSLock name:OnFileUploaded timeout:1000  time:1500"));
  EXPECT_FALSE(root.LogContains("name:DownloadNuvFile"));
  clock_.Advance(60000);
  CSLock::Sweep();
  EXPECT_TRUE(root.LogContains("DEBUG:CSLock name:DownloadNuvFile timeout:0  time:61500"));
  EXPECT_TRUE(root.LogContains("DEBUG:CSLock name:quick timeout:300000  time:61500"));
  noLimit.Unlock();
  limited.Unlock();
  quick.Unlock();
}

TEST_F(CSLockTest, ExcludesOtherThreads) {
  CSLock lock;
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        CSLockGuard g(lock, L"count", 0);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace nuv
