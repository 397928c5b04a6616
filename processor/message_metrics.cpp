#include "processor/message_metrics.h"

#include "common/clock.h"

namespace nuv {

int64_t AcceptedMs(const CQueueMsg& msg) {
  return msg.acceptedMs != 0 ? msg.acceptedMs : static_cast<int64_t>(msg.createTime) * 1000;
}

void CountHandled(MetricDirection d, MetricKind k, MetricOutcome o, const CQueueMsg& msg) {
  BridgeMetrics& m = Metrics();
  m.CountMessage(d, k, o);
  if (o == MetricOutcome::kDelivered) m.ObserveDelivery(d, GetClock().NowMs() - AcceptedMs(msg));
}

void CountRetryOutcome(const WorkItem& item, MetricOutcome o) {
  if (!item.msg) return;
  MetricDirection d;
  switch (item.type) {
    case WQUEUE_NUV2ONDEKOMSG:
    case WQUEUE_NUV2ONDEKOFILE: d = MetricDirection::kImToCloud; break;
    case WQUEUE_ONDEKO2NUVMSG:
    case WQUEUE_ONDEKO2NUVFILE: d = MetricDirection::kCloudToIm; break;
    default: return;
  }
  const bool files = item.type == WQUEUE_NUV2ONDEKOFILE || item.type == WQUEUE_ONDEKO2NUVFILE;
  const MetricKind k = files ? MetricKind::kFile : item.msg->mt == 1 ? MetricKind::kBroadcast : MetricKind::kText;
  BridgeMetrics& m = Metrics();
  m.CountMessage(d, k, o);
  if (o == MetricOutcome::kParked) return;
  for (size_t i = 0; i < item.msg->files.size(); ++i) m.CountAttachment(d, o, 0);
}

}  // namespace nuv
