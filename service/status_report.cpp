#include "service/status_report.h"

#include <json/json.h>

#include "common/str_format.h"

namespace nuv {
namespace {

const char* const kProcessorStatus[] = {"INIT", "START", "STOP", "END", "EXIT"};

const char* StatusName(int s) { return s >= 0 && s <= 4 ? kProcessorStatus[s] : "NONE"; }

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

// One metric family of the exposition: HELP and TYPE lines, then samples.
class Family {
 public:
  Family(std::string& out, const char* name, const char* type, const char* help) : out_(out), name_(name) {
    out_ += StrFormat("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  }
  // labels: the text between the braces ("" for none).
  void Sample(const std::string& labels, const std::string& value, const char* suffix = "") {
    out_ += name_;
    out_ += suffix;
    if (!labels.empty()) out_ += "{" + labels + "}";
    out_ += " " + value + "\n";
  }
  void Sample(const std::string& labels, uint64_t value, const char* suffix = "") {
    Sample(labels, StrFormat("%llu", U(value)), suffix);
  }

 private:
  std::string& out_;
  const char* name_;
};

std::string Label(const char* name, const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return std::string(name) + "=\"" + escaped + "\"";
}

std::string Seconds(uint64_t ms) { return StrFormat("%.3f", ms / 1000.0); }

}  // namespace

const char* const kStatusQueueNames[kStatusQueues] = {"TXT2NUV", "FILE2NUV", "TXT2ONDEKO", "FILE2ONDEKO",
                                                      "COMBINEQUEUE"};

bool IsHealthy(const MetricsSnapshot& m, const WorkerGauges& g) { return g.imUp && m.pushConnected; }

std::string FormatMetricsText(const MetricsSnapshot& m, const WorkerGauges& g) {
  std::string out;
  {
    Family f(out, "nuv4ondeko_messages_total", "counter",
             "Messages by direction, kind and outcome since the worker started.");
    for (int d = 0; d < kMetricDirections; ++d)
      for (int k = 0; k < kMetricKinds; ++k)
        for (int o = 0; o < kMetricOutcomes; ++o)
          f.Sample(Label("direction", MetricDirectionName(d)) + "," + Label("kind", MetricKindName(k)) + "," +
                       Label("outcome", MetricOutcomeName(o)),
                   m.messages[d][k][o]);
  }
  {
    Family f(out, "nuv4ondeko_attachments_total", "counter",
             "Attachments by direction and outcome (refused: over the size limit or refused by the far side).");
    for (int d = 0; d < kMetricDirections; ++d)
      for (int o = 0; o < kMetricOutcomes; ++o) {
        if (o == static_cast<int>(MetricOutcome::kParked)) continue;  // parked with their message
        f.Sample(Label("direction", MetricDirectionName(d)) + "," + Label("outcome", MetricOutcomeName(o)),
                 m.attachments[d][o]);
      }
  }
  {
    Family f(out, "nuv4ondeko_attachment_bytes_total", "counter", "Bytes of the attachments delivered.");
    for (int d = 0; d < kMetricDirections; ++d)
      f.Sample(Label("direction", MetricDirectionName(d)), m.attachmentBytes[d]);
  }
  {
    Family f(out, "nuv4ondeko_delivery_seconds", "histogram",
             "Time from the bridge taking a message in to its delivery (IM messages wait out the 1 s window "
             "in which copies are combined).");
    for (int d = 0; d < kMetricDirections; ++d) {
      const std::string dir = Label("direction", MetricDirectionName(d));
      uint64_t cumulative = 0;
      for (int b = 0; b < kDeliveryBuckets; ++b) {
        cumulative += m.delivery[d].buckets[b];
        f.Sample(dir + "," + Label("le", StrFormat("%g", kDeliveryBucketSeconds[b])), cumulative, "_bucket");
      }
      f.Sample(dir + "," + Label("le", "+Inf"), m.delivery[d].count, "_bucket");
      f.Sample(dir, Seconds(m.delivery[d].sumMs), "_sum");
      f.Sample(dir, m.delivery[d].count, "_count");
    }
  }
  {
    Family f(out, "nuv4ondeko_queue_items", "gauge", "Items waiting in each queue.");
    for (int q = 0; q < kStatusQueues; ++q) f.Sample(Label("queue", kStatusQueueNames[q]), g.queues[q]);
  }
  {
    Family f(out, "nuv4ondeko_journal_entries", "gauge",
             "Work journal entries: queued (accepted, not finished) and parked (held during an outage).");
    f.Sample(Label("state", "queued"), g.journalQueued);
    f.Sample(Label("state", "parked"), g.journalParked);
  }
  Family(out, "nuv4ondeko_journal_oldest_parked_age_seconds", "gauge",
         "Age of the oldest parked journal entry since it was accepted (0: nothing parked).")
      .Sample("", static_cast<uint64_t>(g.oldestParkedAgeSec > 0 ? g.oldestParkedAgeSec : 0));
  Family(out, "nuv4ondeko_im_connected", "gauge", "1 while the IM application is started and the bridge runs.")
      .Sample("", g.imUp ? 1 : 0);
  Family(out, "nuv4ondeko_push_connected", "gauge", "1 while the push connection is established.")
      .Sample("", m.pushConnected ? 1 : 0);
  Family(out, "nuv4ondeko_push_reconnects_total", "counter",
         "Push connections established after the worker's first one.")
      .Sample("", m.pushReconnects);
  {
    Family f(out, "nuv4ondeko_cloud_requests_total", "counter",
             "Cloud requests by operation and result (refused: answered with an error code; transport: no "
             "answer or a server error).");
    for (const auto& op : m.cloudRequests)
      for (int r = 0; r < kCloudCallResults; ++r)
        f.Sample(Label("op", op.op) + "," + Label("result", CloudCallResultName(r)), op.results[r]);
  }
  Family(out, "nuv4ondeko_directory_sync_last_success_timestamp_seconds", "gauge",
         "When the directory export last completed (0: not since the worker started).")
      .Sample("", static_cast<uint64_t>(m.directorySyncSuccess));
  Family(out, "nuv4ondeko_presence_sync_last_success_timestamp_seconds", "gauge",
         "When the presence states were last taken by the cloud (0: not since the worker started).")
      .Sample("", static_cast<uint64_t>(m.presenceSyncSuccess));
  Family(out, "nuv4ondeko_worker_start_time_seconds", "gauge", "When the worker process started.")
      .Sample("", static_cast<uint64_t>(m.workerStart));
  Family(out, "nuv4ondeko_worker_restarts_total", "counter",
         "Workers the watchdog started before this one since the service started.")
      .Sample("", m.workerRestarts);
  Family(out, "process_resident_memory_bytes", "gauge", "Resident memory of the worker process.")
      .Sample("", g.residentBytes);
  Family(out, "process_cpu_seconds_total", "counter", "CPU time (user and system) of the worker process.")
      .Sample("", StrFormat("%.2f", g.cpuSeconds));
  Family(out, "process_start_time_seconds", "gauge", "When the worker process started.")
      .Sample("", static_cast<uint64_t>(m.workerStart));
  return out;
}

namespace {

std::string OneLine(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  return Json::writeString(b, v) + "\n";
}

Json::UInt64 J(uint64_t v) { return static_cast<Json::UInt64>(v); }

}  // namespace

std::string FormatHealthJson(const MetricsSnapshot& m, const WorkerGauges& g) {
  Json::Value v;
  v["im"] = g.imUp ? "up" : "down";
  v["push"] = m.pushConnected ? "up" : "down";
  v["processor"] = StatusName(g.processorStatus);
  return OneLine(v);
}

std::string FormatStatusJson(const MetricsSnapshot& m, const WorkerGauges& g, int64_t now) {
  Json::Value v;
  v["healthy"] = IsHealthy(m, g);
  v["im"] = g.imUp ? "up" : "down";
  v["push"] = m.pushConnected ? "up" : "down";
  v["processor"] = StatusName(g.processorStatus);
  v["pid"] = g.pid;
  v["started"] = static_cast<Json::Int64>(m.workerStart);
  v["uptime_seconds"] = static_cast<Json::Int64>(m.workerStart > 0 && now > m.workerStart ? now - m.workerStart : 0);
  v["restarts"] = J(m.workerRestarts);
  for (int d = 0; d < kMetricDirections; ++d) {
    Json::Value& dir = v["messages"][MetricDirectionName(d)];
    for (int k = 0; k < kMetricKinds; ++k)
      for (int o = 0; o < kMetricOutcomes; ++o) dir[MetricKindName(k)][MetricOutcomeName(o)] = J(m.messages[d][k][o]);
    Json::Value& att = v["attachments"][MetricDirectionName(d)];
    for (int o = 0; o < kMetricOutcomes; ++o)
      if (o != static_cast<int>(MetricOutcome::kParked)) att[MetricOutcomeName(o)] = J(m.attachments[d][o]);
    att["bytes"] = J(m.attachmentBytes[d]);
    Json::Value& time = v["delivery_seconds"][MetricDirectionName(d)];
    time["count"] = J(m.delivery[d].count);
    time["sum"] = m.delivery[d].sumMs / 1000.0;
  }
  for (int q = 0; q < kStatusQueues; ++q) v["queues"][kStatusQueueNames[q]] = J(g.queues[q]);
  v["journal"]["enabled"] = g.journal;
  v["journal"]["queued"] = J(g.journalQueued);
  v["journal"]["parked"] = J(g.journalParked);
  v["journal"]["oldest_parked_age_seconds"] = static_cast<Json::Int64>(g.oldestParkedAgeSec);
  v["push_reconnects"] = J(m.pushReconnects);
  v["cloud_requests"] = Json::Value(Json::objectValue);
  for (const auto& op : m.cloudRequests)
    for (int r = 0; r < kCloudCallResults; ++r) v["cloud_requests"][op.op][CloudCallResultName(r)] = J(op.results[r]);
  v["directory_sync_last_success"] = static_cast<Json::Int64>(m.directorySyncSuccess);
  v["presence_sync_last_success"] = static_cast<Json::Int64>(m.presenceSyncSuccess);
  v["resident_bytes"] = J(g.residentBytes);
  v["cpu_seconds"] = g.cpuSeconds;
  v["log_file"] = g.logFile;
  return OneLine(v);
}

}  // namespace nuv
