#pragma once
// Test doubles and helpers shared by the processor's tests: a scripted IM
// application, a scripted push connection, a recorder for the process end,
// and helpers that drive a VirtualClock while the processor shuts down.
// Used by the test thread; the doubles' counters are atomics because the
// processor's threads call them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "processor/combine_queue.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace test {

class FakeImApp : public ImApp {
 public:
  void Run() override { ++runs; }
  bool IsStarted() override { return startOk.load(); }
  void Stop() override { ++stops; }

  std::atomic<bool> startOk{true};
  std::atomic<int> runs{0};
  std::atomic<int> stops{0};
};

// Counts what the processor does with its push connections.
struct PushLog {
  std::atomic<int> created{0};
  std::atomic<int> inits{0};
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> initResult{0};
  std::atomic<bool> startThrows{false};
  std::atomic<bool> failCreate{false};
  std::string configDir;  // of the last creation (control thread only)
};

class FakePush : public PushConnection {
 public:
  explicit FakePush(PushLog& log) : log_(log) { ++log_.created; }
  ~FakePush() override { ++log_.destroyed; }
  int Init() override {
    ++log_.inits;
    return log_.initResult.load();
  }
  void Start() override {
    ++log_.starts;
    if (log_.startThrows.load()) throw std::runtime_error("cannot start");
  }
  void Stop() override { ++log_.stops; }

 private:
  PushLog& log_;
};

inline PushConnectionFactory FakePushFactory(PushLog& log) {
  return [&log](const std::string& dir, PushNotifyCallback, PushTokenCallback) -> std::unique_ptr<PushConnection> {
    if (log.failCreate.load()) return nullptr;
    log.configDir = dir;
    return std::make_unique<FakePush>(log);
  };
}

// Records the process ends the supervisor asks for instead of dying.
struct EndRecorder {
  std::mutex mu;
  std::vector<std::wstring> reports;
  std::vector<int64_t> reportTimes;  // virtual seconds
  std::atomic<int> exits{0};

  void Install(ProcessorSeams& s) {
    s.reportReboot = [this](const std::wstring& code) {
      std::lock_guard<std::mutex> g(mu);
      reports.push_back(code);
      reportTimes.push_back(GetClock().Now());
      return 1;
    };
    s.exitProcess = [this](int code) {
      if (code == 0) ++exits;
    };
  }
  std::vector<std::wstring> Reports() {
    std::lock_guard<std::mutex> g(mu);
    return reports;
  }
};

// Polls cond in real time (bounded); true when it held.
inline bool WaitReal(const std::function<bool()>& cond, int maxMs = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs action on a helper thread while moving the manual clock along in
// 100 ms steps (one per real millisecond), so that the virtual waits inside
// it pass. Bounded to 2000 s of virtual time.
inline void DriveWhile(VirtualClock& clock, const std::function<void()>& action) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    action();
    done = true;
  });
  for (int i = 0; i < 20000 && !done.load(); ++i) {
    clock.Advance(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  t.join();
}

// Shuts the processor down (END, the 20 s wait, joins) in virtual time.
inline void ShutdownDriving(CNuv4OndekoProcessor& p, VirtualClock& clock) {
  DriveWhile(clock, [&] { p.Shutdown(); });
}

// Moves the clock in steps (one real millisecond apart) until cond holds or
// maxMs of virtual time have passed; true when cond held.
inline bool DriveUntil(VirtualClock& clock, const std::function<bool()>& cond, int64_t stepMs = 100,
                       int64_t maxMs = 2000000) {
  for (int64_t moved = 0; moved <= maxMs; moved += stepMs) {
    if (cond()) return true;
    clock.Advance(stepMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

// Number of lines of the log that contain needle.
inline int CountLog(const TempInstallRoot& root, const std::string& needle) {
  int n = 0;
  for (const auto& l : root.LogLines())
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}

// Index of the first log line containing needle, or -1.
inline int FindLog(const std::vector<std::string>& lines, const std::string& needle, int from = 0) {
  for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i)
    if (lines[i].find(needle) != std::string::npos) return static_cast<int>(i);
  return -1;
}

// Fresh queues for a test (after the clock is installed, so their creation
// times are virtual).
inline void ResetQueues() {
  for (int q = 0; q < WQUEUE_QID_COUNT; ++q) ReleaseWorkQueue(q);
  std::vector<WorkItem> drop;
  GetCombineQueue().DrainAll(drop);
}

inline std::unique_ptr<CQueueMsg> Msg(uint64_t id, const std::wstring& from, const std::wstring& to,
                                      const std::wstring& key, const std::wstring& content) {
  auto m = std::make_unique<CQueueMsg>();
  m->msgid = id;
  m->from = from;
  m->to = to;
  m->key = key;
  m->content = content;
  return m;
}

// Moves the clock by ms once the single sleeper of the test sleeps, and
// waits until it has settled again: woken and back asleep when the step
// reached its deadline (a sleeper may now sleep until a wake-up, not in
// fixed slices, so a step need not wake it). True when it settled. stop is
// no longer needed; kept for the callers' sake.
inline bool StepSleeper(VirtualClock& clock, const StopSignal& /*stop*/, int64_t ms) {
  if (!clock.WaitUntilSettled(1)) return false;
  clock.Advance(ms);
  return clock.WaitUntilSettled(1);
}

// Base of the processor's tests: a temporary install root, a manual virtual
// clock installed for the test, and fresh queues before and after.
class ClockedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetClockForTest(&clock_);
    ResetQueues();
  }
  void TearDown() override {
    ResetQueues();
    SetClockForTest(nullptr);
  }

  TempInstallRoot root_;
  VirtualClock clock_;
};

// A processor without control or supervisor thread; the test runs single
// thread routines of it on threads_ (joined after the processor's stop).
class BareProcessorTest : public ClockedTest {
 protected:
  void SetUp() override {
    ClockedTest::SetUp();
    proc_ = std::make_unique<CNuv4OndekoProcessor>();
  }
  void TearDown() override {
    ShutdownDriving(*proc_, clock_);
    for (auto& t : threads_) t.join();
    proc_.reset();
    ClockedTest::TearDown();
  }
  // Moves time by ms once the one routine under test sleeps, and waits until
  // it has woken and slept again.
  void Step(int64_t ms) { ASSERT_TRUE(StepSleeper(clock_, proc_->Stopper(), ms)); }

  std::unique_ptr<CNuv4OndekoProcessor> proc_;
  std::vector<std::thread> threads_;
};

}  // namespace test
}  // namespace nuv
