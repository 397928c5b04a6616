// Status reports to the cloud (cli_report): the statistics thread with its
// report every 10 s, and the restart report sent just before the worker ends
// itself.

#include <algorithm>

#include "cloud/ondeko_api.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/text_conv.h"
#include "processor/processor.h"

namespace nuv {
namespace {

constexpr uint32_t kReportPeriodMs = 10000;
// The whole restart report (a session-key renewal included) gets this long;
// the worker that sends it is about to end and must not linger.
constexpr uint32_t kRebootReportLimitMs = 10000;

int32_t NowSec() { return static_cast<int32_t>(GetClock().Now()); }

}  // namespace

int CNuv4OndekoProcessor::ReportMsgStat(const ReportItem& item) {
  CloudSettings settings = CloudSettings::FromServiceIni();
  settings.cancel = [this] { return m_stop.Requested(); };  // a stopping processor does not wait
  COndekoApi api(m_configDir, settings);
  EmptyReply rsp;
  const int ret = api.CliReport(CliReportRequest{COndekoApi::BuildReportContent(item)}, rsp);
  if (ret != 0 || rsp.errCode != 0) {
    WriteLogF("%s proc msgcount=%d iRet = %d errcode %d errmsg '%s'", "ReportMsgStat", item.itemCount, ret,
              rsp.errCode, rsp.message.c_str());
    return 0;
  }
  return 1;
}

int CNuv4OndekoProcessor::ReportReboot(const std::wstring& code) {
  const std::string codeText = WideToUtf8(code);
  ReportItem item;
  item.kind = "REBOOT";
  item.marker = "1";
  item.rebootTime = NowSec();
  item.reason = WideToAnsi(code);

  CloudSettings settings = CloudSettings::FromServiceIni();
  settings.connect_timeout_ms = std::min<long>(settings.connect_timeout_ms, kRebootReportLimitMs);
  Clock& clock = GetClock();
  const uint32_t started = clock.TickMs();
  bool overdue = false;  // set by the transfer's cancel check, on this thread
  settings.cancel = [&] {
    overdue = clock.TickMs() - started >= kRebootReportLimitMs;
    return overdue;
  };
  COndekoApi api(m_configDir, settings);
  EmptyReply rsp;
  const int ret = api.CliReport(CliReportRequest{COndekoApi::BuildReportContent(item)}, rsp);
  if (overdue) {
    WriteLogF("ReportReboot '%s' no answer within %u sec, the worker ends without the report", codeText.c_str(),
              kRebootReportLimitMs / 1000);
    return 0;
  }
  if (ret != 0 || rsp.errCode != 0) {
    WriteLogF("%s '%s' iRet = %d errcode %d errmsg '%s'", "ReportReboot", codeText.c_str(), ret, rsp.errCode,
              rsp.message.c_str());
    return 0;
  }
  WriteLogF("%s '%s' OK", "ReportReboot", codeText.c_str());
  return 1;
}

// The statistics record lives here: only this thread touches it. A report
// that does not get through leaves the period's start and the count alone,
// so the next one covers the longer period.
void CNuv4OndekoProcessor::ReportMsgStatProc(const StopSignal& stop) {
  ReportItem stat;
  stat.kind = "MSG";
  stat.marker = "1";
  stat.periodStart = stat.periodEnd = NowSec();
  m_processedItems = 0;
  while (!stop.Requested()) {
    try {
      stat.periodEnd = NowSec();
      const uint32_t counted = m_processedItems.load();
      stat.itemCount = static_cast<int32_t>(counted);
      if (ReportMsgStat(stat) == 1) {
        stat.periodStart = stat.periodEnd;
        // Take off what was reported: items the workers finished during the
        // exchange stay for the next report.
        m_processedItems -= counted;
      }
    } catch (...) {
      WriteLogF("ReportMsgStat exception");
    }
    if (stop.SleepMs(kReportPeriodMs)) break;
  }
}

}  // namespace nuv
