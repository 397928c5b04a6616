#include "processor/processor.h"

#include <cstdlib>
#include <mutex>

#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "processor/combine_queue.h"
#include "processor/journal.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

// Pauses of the control thread.
constexpr uint32_t kAppRetryMs = 10000;
constexpr uint32_t kStartPassMs = 2000;
constexpr unsigned kStartLogEvery = 90;  // START passes between size lines (about 3 min)
constexpr uint32_t kStopLongConnPauseMs = 5000;
constexpr uint32_t kStopAppPauseMs = 20000;
constexpr uint32_t kLongConnStopPauseMs = 3000;
// The destructor waits this many seconds for the control thread to finish.
constexpr int kEndWaitSec = 20;

}  // namespace

CNuv4OndekoProcessor::CNuv4OndekoProcessor()
    : m_configDir(GetConfigDirA()), m_seams(DefaultProcessorSeams()) {
  for (auto& t : m_threads) t = std::make_unique<Supervised>();
}

CNuv4OndekoProcessor::~CNuv4OndekoProcessor() {
  Shutdown();
  CloseInHandNotes();
}

void CNuv4OndekoProcessor::Shutdown() {
  if (m_shutDown.exchange(true)) return;
  WriteLogF("CNuv4OndekoProcessor::~CNuv4OndekoProcessor() call , set status to END and wait 20sec for cleanup");
  m_status = END;
  WakeWorkers();
  bool exited = false;
  for (int i = 0; i < kEndWaitSec; ++i) {
    GetClock().SleepMs(1000);
    if (m_status.load() == EXIT) {
      WriteLogF("CNuv4OndekoProcessor::~CNuv4OndekoProcessor() status is EXIT , exit now");
      exited = true;
      break;
    }
  }
  if (!exited) WriteLogF("CNuv4OndekoProcessor::~CNuv4OndekoProcessor() wait 20sec DONE, exit directly");

  // Every thread of the processor ends now: sleeps are cut short, loops
  // leave, and nothing is left running behind the destroyed object.
  m_stop.Request();
  WakeWorkers();
  m_controlThread.Join();
  m_monThread.Join();
  for (auto& t : m_threads) t->thread.Join();
  if (m_gapHub) {
    m_gapHub->Stop();
    m_gapHub.reset();
  }
  // Whatever is still batched goes to disk; the file stays open for the
  // IM event threads until the processor is destroyed.
  if (m_journal) m_journal->Flush();
}

void CNuv4OndekoProcessor::BeginStart() {
  if (m_controlThread.Joinable()) return;
  m_controlThread.Start(0, [this] { Start(); });
}

ImApp* CNuv4OndekoProcessor::App() { return m_seams.imApp ? m_seams.imApp() : nullptr; }

int CNuv4OndekoProcessor::Start() {
  if (m_status.load() != INIT) {
    WriteLogF("CNuv4OndekoProcessor::Start wrong status %d", m_status.load());
    return 0;
  }
  WriteLogF("CNuv4OndekoProcessor::Start  start monitorthread() now");
  if (!m_monStarted.exchange(true)) m_monThread.Start(0, [this] { monthread(); });
  WriteLogF("CNuv4OndekoProcessor::Start Start Plugin register now status =%d", m_status.load());

  unsigned startPasses = 0;
  bool done = false;
  while (!done) {
    // A stop request always comes with END; should END have been lost, the
    // loop must still end rather than spin on cut-short sleeps.
    if (m_stop.Requested()) m_status = END;
    switch (m_status.load()) {
      case INIT: {
        WriteLogF("CNuv4OndekoProcessor::Start Start Nuv App now...");
        ImApp* app = App();
        if (app) app->Run();
        if (!app || !app->IsStarted()) {
          m_stop.SleepMs(kAppRetryMs);
          WriteLogF("CNuv4OndekoProcessor::Start Start Nuv App failed, retry it after 10sec");
          break;
        }
        WriteLogF("CNuv4OndekoProcessor::Start Start Nuv App ok, start LongConn Thread now...");
        if (!StartLongConnThread()) {
          WriteLogF("CNuv4OndekoProcessor::Start 启动Ondeko长连接StartLongConnThread()失败，初始化失败，stop nuv app, "
                    "and retry it after 10sec");
          app->Stop();
          m_stop.SleepMs(kAppRetryMs);
          break;
        }
        // Only from INIT: an END set meanwhile by the destructor must stand.
        int expected = INIT;
        if (m_status.compare_exchange_strong(expected, START)) WakeWorkers();
        break;
      }
      case START:
        m_stop.SleepMs(kStartPassMs);
        if (startPasses % kStartLogEvery == 0) {
          WriteLogF("CNuv4OndekoProcessor::Start START status Count=%d WorkQueue size %d %d %d %d",
                    static_cast<int>(startPasses / kStartLogEvery),
                    static_cast<int>(GetWorkQueue(WQUEUE_QID_TXT2NUV)->Size()),
                    static_cast<int>(GetWorkQueue(WQUEUE_QID_FILE2NUV)->Size()),
                    static_cast<int>(GetWorkQueue(WQUEUE_QID_TXT2ONDEKO)->Size()),
                    static_cast<int>(GetWorkQueue(WQUEUE_QID_FILE2ONDEKO)->Size()));
        }
        ++startPasses;
        break;
      case STOP: {
        WriteLogF("CNuv4OndekoProcessor::Start STOP status !!! now stop longconn thread...");
        StopLongConnThread();
        m_stop.SleepMs(kStopLongConnPauseMs);
        WriteLogF("CNuv4OndekoProcessor::Start STOP status !!! now stop Nuv App...");
        if (ImApp* app = App()) app->Stop();
        m_stop.SleepMs(kStopAppPauseMs);
        WriteLogF("CNuv4OndekoProcessor::Start STOP status !!! clean up and set status to INIT");
        int expected = STOP;
        m_status.compare_exchange_strong(expected, INIT);
        break;
      }
      case END: {
        WriteLogF("CNuv4OndekoProcessor::Start status is END , cleanup now");
        StopLongConnThread();
        if (ImApp* app = App()) app->Stop();
        WriteLogF("CNuv4OndekoProcessor::Start status is END , DONE");
        done = true;
        break;
      }
      default:
        done = true;
        break;
    }
  }
  WriteLogF("CNuv4OndekoProcessor::Start processor loop end");
  m_status = EXIT;
  return 1;
}

void CNuv4OndekoProcessor::SetStatus(int status) {
  if (status < INIT || status > END) {
    WriteLogF("CNuv4OndekoProcessor::SetStatus error , status %d invalid, stay status %d", status, m_status.load());
    return;
  }
  int old = m_status.exchange(status);
  WakeWorkers();
  WriteLogF("CNuv4OndekoProcessor::SetStatus change status from %d to %d", old, status);
}

void CNuv4OndekoProcessor::WakeWorkers() {
  for (int qid = 0; qid < WQUEUE_QID_COUNT; ++qid) GetWorkQueue(qid)->Wake();
  GetCombineQueue().Wake();
}

int CNuv4OndekoProcessor::StartLongConnThread() {
  if (m_gapHub) {
    WriteLogF("StartLongConnThread GapHubLogic thread already running");
    return 0;
  }
  std::unique_ptr<PushConnection> hub;
  if (m_seams.pushFactory) {
    try {
      hub = m_seams.pushFactory(m_configDir, m_seams.onNotify, m_seams.onToken);
    } catch (...) {
      hub.reset();
    }
  }
  if (!hub) {
    WriteLogF("StartLongConnThread New GapHubLogic Obj failed, return NULL");
    return 0;
  }
  int ret = hub->Init();
  if (ret != 0) {
    WriteLogF("StartLongConnThread GapHubLogic Init() ret %d , failed, can't start long connection thread", ret);
    return 0;
  }
  WriteLogF("StartLongConnThread GapHubLogic Init() OK , Start() long connection thread");
  try {
    hub->Start();
  } catch (...) {
    WriteLogF("StartLongConnThread GapHubLogic Start() has Exception, failed, can't start long connection thread");
    return 0;
  }
  m_gapHub = std::move(hub);
  return 1;
}

void CNuv4OndekoProcessor::StopLongConnThread() {
  if (!m_gapHub) return;
  m_gapHub->Stop();
  m_stop.SleepMs(kLongConnStopPauseMs);
  m_gapHub.reset();  // waits for the connection's thread
}

void CNuv4OndekoProcessor::EndProcess(const std::wstring& code) {
  // The report is best effort: whatever it does, the process ends.
  try {
    if (m_seams.reportReboot) m_seams.reportReboot(code);
  } catch (...) {
    WriteLogF("EndProcess '%s' report failed with an exception", WideToUtf8(code).c_str());
  }
  if (m_seams.exitProcess) {
    m_seams.exitProcess(0);
  } else {
    std::_Exit(0);
  }
}

// The process-wide instance. The pointer stays valid while the instance is
// being shut down, so threads that look it up meanwhile get the dying
// processor (status END) rather than a fresh one.
namespace {
std::mutex g_processorMu;  // serializes create and release
std::unique_ptr<CNuv4OndekoProcessor> g_processor;
std::atomic<CNuv4OndekoProcessor*> g_processorPtr{nullptr};
}  // namespace

CNuv4OndekoProcessor* GetProcessor() {
  if (CNuv4OndekoProcessor* p = g_processorPtr.load()) return p;
  std::lock_guard<std::mutex> g(g_processorMu);
  if (!g_processor) {
    g_processor = std::make_unique<CNuv4OndekoProcessor>();
    g_processorPtr = g_processor.get();
  }
  return g_processor.get();
}

CNuv4OndekoProcessor* PeekProcessor() { return g_processorPtr.load(); }

void ReleaseProcessor() {
  CNuv4OndekoProcessor* p = g_processorPtr.load();
  if (!p) return;
  p->Shutdown();  // joins every thread; without the lock, as they may call GetProcessor
  std::lock_guard<std::mutex> g(g_processorMu);
  g_processorPtr = nullptr;
  g_processor.reset();
}

}  // namespace nuv
