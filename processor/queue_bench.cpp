// Throughput of the queues on the worker's hot paths: enqueue and take-out
// of a work queue, take-out past items held back for their retry (a linear
// scan), and one combining pass over a second of IM traffic.
// Run: build/processor/processor_bench

#include <benchmark/benchmark.h>

#include "common/clock.h"
#include "common/test_support.h"
#include "common/virtual_clock.h"
#include "processor/combine_queue.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

std::unique_ptr<CQueueMsg> BenchMsg(uint64_t id, int receiver) {
  auto m = std::make_unique<CQueueMsg>();
  m->msgid = id;
  m->from = L"sender";
  m->to = L"user" + std::to_wstring(receiver);
  m->key = L"{1BDD00D1-0874-42D5-B372-" + std::to_wstring(100000000000ULL + id / 4) + L"}";
  m->content = L"a message of ordinary length, typed by a person";
  return m;
}

// Enqueue one item and take it out again, queue otherwise empty.
void BM_EnqueueOutQueue(benchmark::State& state) {
  CWorkQueue q(WQUEUE_QID_TXT2ONDEKO);
  uint64_t id = 0;
  WorkItem out;
  for (auto _ : state) {
    q.Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, BenchMsg(++id, 0), 0));
    benchmark::DoNotOptimize(q.OutQueue(out));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnqueueOutQueue);

// Take-out of a fresh item behind N items waiting for their retry.
void BM_OutQueuePastRetries(benchmark::State& state) {
  VirtualClock clock;
  SetClockForTest(&clock);
  CWorkQueue q(WQUEUE_QID_TXT2ONDEKO);
  const int32_t now = static_cast<int32_t>(clock.Now());
  for (int64_t i = 0; i < state.range(0); ++i) {
    WorkItem w = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, BenchMsg(static_cast<uint64_t>(i), 0), now);
    w.retryCount = 1;
    q.Enqueue(std::move(w));
  }
  WorkItem out;
  for (auto _ : state) {
    q.Enqueue(MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, BenchMsg(1, 0), now));
    benchmark::DoNotOptimize(q.OutQueue(out));
  }
  SetClockForTest(nullptr);
}
BENCHMARK(BM_OutQueuePastRetries)->Arg(10)->Arg(100)->Arg(1000);

// One combining pass over N messages that arrived within one second, groups
// of four copies each, all leaving in the pass.
void BM_CombinePass(benchmark::State& state) {
  test::TempInstallRoot root;  // the merge lines go to a temporary log
  VirtualClock clock;
  SetClockForTest(&clock);
  CCombineQueue q;
  std::vector<WorkItem> out;
  for (auto _ : state) {
    state.PauseTiming();
    for (int64_t i = 0; i < state.range(0); ++i) {
      WorkItem w = MakeMsgItem(WQUEUE_NUV2ONDEKOMSG, BenchMsg(static_cast<uint64_t>(i), static_cast<int>(i % 4)), 0);
      q.Enqueue(w);
      clock.Advance(1000 / state.range(0));
    }
    clock.Advance(1001);
    out.clear();
    state.ResumeTiming();
    q.CombineOutQueue(out);
  }
  state.counters["out"] = static_cast<double>(out.size());
  SetClockForTest(nullptr);
}
BENCHMARK(BM_CombinePass)->Arg(40)->Arg(400);

}  // namespace
}  // namespace nuv

BENCHMARK_MAIN();
