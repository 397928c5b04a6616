#pragma once
// BridgeMetrics: the worker's running counts for the people who run it --
// messages by direction, kind and outcome, attachments, delivery times, the
// push connection, cloud requests by operation and result, the last
// successful directory and presence syncs, the worker's start and restarts.
// Counting is one relaxed atomic add at the place a message's fate is
// decided: no lock, no allocation, nothing on a message path waits for it.
// The status endpoint copies a Snapshot when someone asks.
//
// One process-wide instance (Metrics()); every method may be called from any
// thread. Counts start at zero with each worker process.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace nuv {

enum class MetricDirection : int { kImToCloud = 0, kCloudToIm = 1 };
enum class MetricKind : int { kText = 0, kFile = 1, kBroadcast = 2 };
// delivered: the far side took it. refused: both attempts were answered with
// something other than a transport failure (the cloud or the IM server said
// no), or an attachment was over its size limit. dropped: given up for any
// other reason (nothing left to send, could not be fetched, a transport
// failure with no journal to park it, parked for a day). parked: held by the
// work journal during an outage (it is counted again when it is delivered).
enum class MetricOutcome : int { kDelivered = 0, kRefused = 1, kDropped = 2, kParked = 3 };
// A cloud request: answered with errCode 0; answered otherwise; not answered
// (or a server error).
enum class CloudCallResult : int { kOk = 0, kRefused = 1, kTransport = 2 };

constexpr int kMetricDirections = 2;
constexpr int kMetricKinds = 3;
constexpr int kMetricOutcomes = 4;
constexpr int kCloudCallResults = 3;
constexpr int kMaxCloudOps = 32;

const char* MetricDirectionName(int direction);  // "im_to_cloud", "cloud_to_im"
const char* MetricKindName(int kind);            // "text", "file", "broadcast"
const char* MetricOutcomeName(int outcome);      // "delivered", "refused", "dropped", "parked"
const char* CloudCallResultName(int result);     // "ok", "refused", "transport"

// Upper bounds in seconds of the delivery-time histogram's buckets: fine
// around the one-second window in which copies of an IM message are combined.
constexpr int kDeliveryBuckets = 14;
extern const double kDeliveryBucketSeconds[kDeliveryBuckets];

// A copy of every count, taken without stopping the counting (each value is
// read atomically; values counted meanwhile may or may not be in it).
struct MetricsSnapshot {
  uint64_t messages[kMetricDirections][kMetricKinds][kMetricOutcomes] = {};
  uint64_t attachments[kMetricDirections][kMetricOutcomes] = {};
  uint64_t attachmentBytes[kMetricDirections] = {};
  struct Histogram {
    uint64_t buckets[kDeliveryBuckets] = {};  // per bucket, not cumulative
    uint64_t count = 0;                       // every observation (also those above the last bucket)
    uint64_t sumMs = 0;
  } delivery[kMetricDirections];
  bool pushConnected = false;
  uint64_t pushReconnects = 0;
  struct CloudOp {
    std::string op;
    uint64_t results[kCloudCallResults] = {};
  };
  std::vector<CloudOp> cloudRequests;  // operations in first-use order
  int64_t directorySyncSuccess = 0;    // seconds since 1970; 0: not yet
  int64_t presenceSyncSuccess = 0;
  int64_t workerStart = 0;
  uint64_t workerRestarts = 0;

  uint64_t Delivered(MetricDirection d) const;
};

class BridgeMetrics {
 public:
  BridgeMetrics();
  BridgeMetrics(const BridgeMetrics&) = delete;
  BridgeMetrics& operator=(const BridgeMetrics&) = delete;

  void CountMessage(MetricDirection d, MetricKind k, MetricOutcome o);
  // Time from the bridge's acceptance of a message to its delivery.
  void ObserveDelivery(MetricDirection d, int64_t elapsedMs);
  // An attachment's fate; bytes are counted for delivered ones.
  void CountAttachment(MetricDirection d, MetricOutcome o, uint64_t bytes);
  // The push connection was accepted by the server / is gone. Every accepted
  // connection after the worker's first counts as a reconnect.
  void PushEstablished();
  void PushLost();
  // op names the cloud operation ("send_msg"); it must outlive the process
  // (a string literal). More than kMaxCloudOps operations share "other".
  void CountCloudRequest(const char* op, CloudCallResult r);
  void SetDirectorySynced(int64_t when);
  void SetPresenceSynced(int64_t when);
  // The worker's start (seconds since 1970) and how many workers the
  // watchdog started before this one.
  void SetWorkerStart(int64_t when, uint64_t restarts);

  MetricsSnapshot Snapshot() const;

 private:
  using Counter = std::atomic<uint64_t>;
  Counter messages_[kMetricDirections][kMetricKinds][kMetricOutcomes];
  Counter attachments_[kMetricDirections][kMetricOutcomes];
  Counter attachmentBytes_[kMetricDirections];
  Counter buckets_[kMetricDirections][kDeliveryBuckets];
  Counter deliveries_[kMetricDirections];
  Counter deliveryMs_[kMetricDirections];
  std::atomic<bool> pushConnected_{false};
  std::atomic<bool> pushEverEstablished_{false};
  Counter pushReconnects_{0};
  // Operation slots, claimed once each (compare-and-swap on the name).
  std::atomic<const char*> opNames_[kMaxCloudOps];
  Counter opCounts_[kMaxCloudOps][kCloudCallResults];
  std::atomic<int64_t> directorySync_{0};
  std::atomic<int64_t> presenceSync_{0};
  std::atomic<int64_t> workerStart_{0};
  Counter workerRestarts_{0};
};

// The process-wide metrics.
BridgeMetrics& Metrics();

}  // namespace nuv
