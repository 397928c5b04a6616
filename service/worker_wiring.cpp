#include "service/worker_wiring.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "common/log.h"
#include "common/service_ini.h"
#include "config/config_center.h"
#include "im/app_manager.h"
#include "processor/intake.h"
#include "processor/journal.h"
#include "processor/message_metrics.h"
#include "processor/processor.h"
#include "push/gap_hub_logic.h"

namespace nuv {
namespace {

// The push long connection as the processor drives it: a GapHubLogic with
// the processor's two push callbacks. Owned by the processor's control
// thread; GapHubLogic runs its own Clientmain thread and its destructor
// joins it.
class GapHubConnection : public PushConnection {
 public:
  GapHubConnection(const std::string& configDir, PushNotifyCallback onNotify, PushTokenCallback onToken)
      : hub_(configDir, onNotify, onToken) {
    // The messages of one push read are taken in as one burst.
    if (onNotify == OndekoOnNotifyCallback) hub_.SetBurstCallback(OndekoOnBurstCallback);
  }

  int Init() override { return hub_.Init(); }
  void Start() override {
    if (hub_.Start() != 0) throw std::runtime_error("GapHubLogic Start failed");
  }
  void Stop() override { hub_.Stop(); }

 private:
  GapHubLogic hub_;
};

// A cloud-to-IM delivery that failed while the IM application is not up (or
// the processor left START because the IM server went away) failed for a
// transport reason: it says nothing about the message.
int ImSideResult(CNuv4OndekoProcessor* p, int result) {
  if (result != WQUEUE_HANDLER_FAILED) return result;
  const bool imUp = CAppManager::GetInstance().IsStarted() && p->GetStatus() == CNuv4OndekoProcessor::START;
  return imUp ? result : WQUEUE_HANDLER_TRANSPORT;
}

std::unique_ptr<PushConnection> MakeGapHub(const std::string& configDir, PushNotifyCallback onNotify,
                                           PushTokenCallback onToken) {
  return std::make_unique<GapHubConnection>(configDir, onNotify, onToken);
}

}  // namespace

void WireWorker(CNuv4OndekoProcessor& processor) {
  ProcessorSeams& seams = processor.Seams();

  // The IM application: the connector's single instance, created (and its
  // SDK objects made) on the control thread's first start.
  seams.imApp = []() -> ImApp* { return &CAppManager::GetInstance(); };

  // The push connection. It is handed seams.onNotify and seams.onToken as
  // they stand when the control thread creates it.
  seams.pushFactory = MakeGapHub;

  // ---- Push callbacks (cloud event intake) ----
  seams.onNotify = OndekoOnNotifyCallback;
  seams.onToken = OndekoOnTokenCallback;

  // ---- Handler registrations: one line per work-item type ----
  HandlerTable& handlers = processor.Handlers();
  CNuv4OndekoProcessor* p = &processor;
  // IM to cloud.
  handlers.Register(WQUEUE_NUV2ONDEKOMSG,
                    MsgHandler([p](CQueueMsg& m, bool isRetry) { return p->SendTxtMsg2Ondeko(m, isRetry); }));
  handlers.Register(WQUEUE_NUV2ONDEKOFILE,
                    MsgHandler([p](CQueueMsg& m, bool isRetry) { return p->SendFileMsg2Ondeko(m, isRetry); }));
  // Cloud to IM.
  handlers.Register(WQUEUE_ONDEKO2NUVMSG, MsgHandler([p](CQueueMsg& m, bool isRetry) {
                      const int r = CAppManager::GetInstance().SendText2Nuv(m, isRetry);
                      // Without a journal to keep it, a broadcast is done
                      // after one attempt: its receivers not reached are not
                      // tried again.
                      if (r < 0 && m.mt == 1 && !p->Journal()) {
                        CountHandled(MetricDirection::kCloudToIm, MetricKind::kBroadcast,
                                     m.served.empty() ? MetricOutcome::kDropped : MetricOutcome::kDelivered, m);
                        return static_cast<int>(WQUEUE_HANDLER_DONE);
                      }
                      return ImSideResult(p, r);
                    }));
  handlers.Register(WQUEUE_ONDEKO2NUVFILE, MsgHandler([p](CQueueMsg& m, bool isRetry) {
                      return ImSideResult(p, CAppManager::GetInstance().SendFileMsg2Nuv(m, isRetry));
                    }));
  // Cloud requests served on the TXT2ONDEKO worker.
  handlers.Register(WQUEUE_FETCHONDEKOMSG,
                    FetchHandler([p](uint64_t first, uint64_t last) { return p->FetchOndekoMsg(first, last); }));
  handlers.Register(WQUEUE_ONDEKOBINDTOKEN, TokenHandler([p](uint64_t token) { return p->BindToken(token); }));

  // ---- Thread routines and the restart report ----
  seams.reportReboot = [p](const std::wstring& code) { return p->ReportReboot(code); };
  seams.reportMsgStat = [](CNuv4OndekoProcessor& proc, const StopSignal& stop) { proc.ReportMsgStatProc(stop); };
  seams.syncOrg2Ondeko = [](CNuv4OndekoProcessor& proc, const StopSignal& stop) { proc.SyncOrg2Ondeko(stop); };

  // ---- The work journal: opened and replayed before anything new is taken
  // in (the queue workers idle until START, the IM application and the push
  // connection start after this). A bad file is moved aside, an unwritable
  // one leaves the journal in memory: the worker starts either way.
  // service.ini [journal] enabled = false runs without one (as the worker
  // did before it existed); sync_to_device = false commits without flushing
  // to the device (survives the worker's end, not a power loss); window
  // bounds the items each work queue holds in memory (the rest wait in the
  // journal; 0: no bound).
  const ServiceIni& ini = ServiceIni::Get();
  if (ini.GetBool("journal", "enabled", true)) {
    const long window = ini.GetInt("journal", "window", static_cast<long>(CNuv4OndekoProcessor::kQueueWindow));
    processor.SetQueueWindow(window > 0 ? static_cast<size_t>(window) : 0);
    processor.OpenJournal(processor.ConfigDir() + kJournalFileName, ini.GetBool("journal", "sync_to_device", true));
    // The journal records maxmsgid with the messages it commits: it may be
    // ahead of generalconf.ini (a worker ended between the two writes) or
    // stand in for a file that cannot be read.
    processor.TakeMaxmsgidFromJournal(CConfigCenter::GetInstance());
    processor.ReplayJournal();
  } else {
    WriteLogF("WireWorker work journal off ([journal] enabled = false): accepted work is lost when the worker ends");
  }
}

}  // namespace nuv
