#pragma once
// Counting a message's fate in the worker's metrics (common/bridge_metrics.h)
// from the places that decide it: the handlers count what they delivered or
// gave up themselves, the retry policy of the queue workers counts what it
// refused, dropped or parked. Direction and kind follow the work item's type
// and the message's mt. Any thread; lock-free.

#include "common/bridge_metrics.h"
#include "processor/work_item.h"

namespace nuv {

// When the bridge took msg in, in milliseconds since 1970 (a replayed
// message: its createTime).
int64_t AcceptedMs(const CQueueMsg& msg);

// A handler's decision about msg: delivered (its delivery time is observed
// too) or given up for good (dropped).
void CountHandled(MetricDirection d, MetricKind k, MetricOutcome o, const CQueueMsg& msg);

// The retry policy's decision about a message item (types 1..4; other items
// are not messages and are not counted). Its attachments still held share the
// outcome, except when it is parked: their fate is not decided yet.
void CountRetryOutcome(const WorkItem& item, MetricOutcome o);

}  // namespace nuv
