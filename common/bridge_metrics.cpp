#include "common/bridge_metrics.h"

#include <cstring>

namespace nuv {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
const char kOtherOp[] = "other";

template <class E>
int Index(E e, int count) {
  const int i = static_cast<int>(e);
  return i >= 0 && i < count ? i : -1;
}

}  // namespace

const double kDeliveryBucketSeconds[kDeliveryBuckets] = {0.05, 0.1, 0.25, 0.5, 0.75, 1.0, 1.25,
                                                          1.5,  2.0, 3.0,  5.0, 10.0, 60.0, 300.0};

const char* MetricDirectionName(int d) {
  static const char* const kNames[] = {"im_to_cloud", "cloud_to_im"};
  return d >= 0 && d < kMetricDirections ? kNames[d] : "";
}

const char* MetricKindName(int k) {
  static const char* const kNames[] = {"text", "file", "broadcast"};
  return k >= 0 && k < kMetricKinds ? kNames[k] : "";
}

const char* MetricOutcomeName(int o) {
  static const char* const kNames[] = {"delivered", "refused", "dropped", "parked"};
  return o >= 0 && o < kMetricOutcomes ? kNames[o] : "";
}

const char* CloudCallResultName(int r) {
  static const char* const kNames[] = {"ok", "refused", "transport"};
  return r >= 0 && r < kCloudCallResults ? kNames[r] : "";
}

uint64_t MetricsSnapshot::Delivered(MetricDirection d) const {
  uint64_t n = 0;
  for (int k = 0; k < kMetricKinds; ++k) n += messages[static_cast<int>(d)][k][0];
  return n;
}

BridgeMetrics::BridgeMetrics() {
  // std::atomic's default constructor leaves the value unset before C++20.
  for (auto& d : messages_)
    for (auto& k : d)
      for (auto& c : k) c.store(0, kRelaxed);
  for (auto& d : attachments_)
    for (auto& c : d) c.store(0, kRelaxed);
  for (int d = 0; d < kMetricDirections; ++d) {
    attachmentBytes_[d].store(0, kRelaxed);
    deliveries_[d].store(0, kRelaxed);
    deliveryMs_[d].store(0, kRelaxed);
    for (auto& b : buckets_[d]) b.store(0, kRelaxed);
  }
  for (int i = 0; i < kMaxCloudOps; ++i) {
    opNames_[i].store(nullptr, kRelaxed);
    for (auto& c : opCounts_[i]) c.store(0, kRelaxed);
  }
}

void BridgeMetrics::CountMessage(MetricDirection d, MetricKind k, MetricOutcome o) {
  const int di = Index(d, kMetricDirections), ki = Index(k, kMetricKinds), oi = Index(o, kMetricOutcomes);
  if (di < 0 || ki < 0 || oi < 0) return;
  messages_[di][ki][oi].fetch_add(1, kRelaxed);
}

void BridgeMetrics::ObserveDelivery(MetricDirection d, int64_t elapsedMs) {
  const int di = Index(d, kMetricDirections);
  if (di < 0) return;
  if (elapsedMs < 0) elapsedMs = 0;  // a clock step backwards
  const double seconds = elapsedMs / 1000.0;
  for (int b = 0; b < kDeliveryBuckets; ++b) {
    if (seconds <= kDeliveryBucketSeconds[b]) {
      buckets_[di][b].fetch_add(1, kRelaxed);
      break;
    }
  }
  deliveries_[di].fetch_add(1, kRelaxed);
  deliveryMs_[di].fetch_add(static_cast<uint64_t>(elapsedMs), kRelaxed);
}

void BridgeMetrics::CountAttachment(MetricDirection d, MetricOutcome o, uint64_t bytes) {
  const int di = Index(d, kMetricDirections), oi = Index(o, kMetricOutcomes);
  if (di < 0 || oi < 0) return;
  attachments_[di][oi].fetch_add(1, kRelaxed);
  if (o == MetricOutcome::kDelivered) attachmentBytes_[di].fetch_add(bytes, kRelaxed);
}

void BridgeMetrics::PushEstablished() {
  if (pushEverEstablished_.exchange(true)) pushReconnects_.fetch_add(1, kRelaxed);
  pushConnected_.store(true);
}

void BridgeMetrics::PushLost() { pushConnected_.store(false); }

void BridgeMetrics::CountCloudRequest(const char* op, CloudCallResult r) {
  const int ri = Index(r, kCloudCallResults);
  if (!op || ri < 0) return;
  // The last slot is kept for "other".
  for (int i = 0; i < kMaxCloudOps - 1; ++i) {
    const char* name = opNames_[i].load(std::memory_order_acquire);
    if (name == nullptr) {
      const char* expected = nullptr;
      if (opNames_[i].compare_exchange_strong(expected, op, std::memory_order_acq_rel)) name = op;
      else name = expected;  // another thread claimed it first
    }
    if (name == op || std::strcmp(name, op) == 0) {
      opCounts_[i][ri].fetch_add(1, kRelaxed);
      return;
    }
  }
  const char* expected = nullptr;
  opNames_[kMaxCloudOps - 1].compare_exchange_strong(expected, kOtherOp, std::memory_order_acq_rel);
  opCounts_[kMaxCloudOps - 1][ri].fetch_add(1, kRelaxed);
}

void BridgeMetrics::SetDirectorySynced(int64_t when) { directorySync_.store(when); }
void BridgeMetrics::SetPresenceSynced(int64_t when) { presenceSync_.store(when); }

void BridgeMetrics::SetWorkerStart(int64_t when, uint64_t restarts) {
  workerStart_.store(when);
  workerRestarts_.store(restarts);
}

MetricsSnapshot BridgeMetrics::Snapshot() const {
  MetricsSnapshot s;
  for (int d = 0; d < kMetricDirections; ++d) {
    for (int k = 0; k < kMetricKinds; ++k)
      for (int o = 0; o < kMetricOutcomes; ++o) s.messages[d][k][o] = messages_[d][k][o].load(kRelaxed);
    for (int o = 0; o < kMetricOutcomes; ++o) s.attachments[d][o] = attachments_[d][o].load(kRelaxed);
    s.attachmentBytes[d] = attachmentBytes_[d].load(kRelaxed);
    for (int b = 0; b < kDeliveryBuckets; ++b) s.delivery[d].buckets[b] = buckets_[d][b].load(kRelaxed);
    s.delivery[d].count = deliveries_[d].load(kRelaxed);
    s.delivery[d].sumMs = deliveryMs_[d].load(kRelaxed);
  }
  s.pushConnected = pushConnected_.load();
  s.pushReconnects = pushReconnects_.load(kRelaxed);
  for (int i = 0; i < kMaxCloudOps; ++i) {
    const char* name = opNames_[i].load(std::memory_order_acquire);
    if (!name) continue;
    MetricsSnapshot::CloudOp op;
    op.op = name;
    for (int r = 0; r < kCloudCallResults; ++r) op.results[r] = opCounts_[i][r].load(kRelaxed);
    s.cloudRequests.push_back(std::move(op));
  }
  s.directorySyncSuccess = directorySync_.load();
  s.presenceSyncSuccess = presenceSync_.load();
  s.workerStart = workerStart_.load();
  s.workerRestarts = workerRestarts_.load(kRelaxed);
  return s;
}

BridgeMetrics& Metrics() {
  static BridgeMetrics metrics;
  return metrics;
}

}  // namespace nuv
