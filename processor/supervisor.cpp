// The supervisor thread (monthread): starts the seven long-running threads,
// restarts any that ends, sweeps the lock registry, hands parked work back to
// its queues and runs the queue health tests, ending the worker process when
// a queue is dead after the grace.

#include "common/clock.h"
#include "common/cs_lock.h"
#include "common/log.h"
#include "processor/journal.h"
#include "processor/processor.h"
#include "processor/work_queue.h"

namespace nuv {
namespace {

struct ThreadSpec {
  const char* logName;
  const wchar_t* reportCode;
  size_t stackSize;
};

const ThreadSpec kThreadSpecs[CNuv4OndekoProcessor::THREAD_COUNT] = {
    {"ToNuv同步处理线程", L"TONUVSYNCFAIL", 4096000},
    {"ToNuv异步处理线程", L"TONUVASYNCFAIL", 4096000},
    {"ToOndeko同步处理线程", L"TOONDEKOSYNCFAIL", 4096000},
    {"ToOndeko异步处理线程", L"TOONDEKOASYNCFAIL", 4096000},
    {"地址本同步线程", L"ADDRBOOKSYNCFAIL", 10240000},
    {"合并消息线程", L"COMBINEMSGFAIL", 4096000},
    {"上报消息处理线程", L"REPORTMSGPROCFAIL", 1024000},
};

constexpr uint32_t kSupervisorWaitMs = 20000;
constexpr unsigned kOkLogEvery = 90;      // passes between "threads OK" lines (about 30 min)
constexpr uint32_t kRestartPauseMs = 1000;
constexpr int64_t kDeadQueueGraceSec = 900;

}  // namespace

unsigned long CNuv4OndekoProcessor::ThreadId(int index) const {
  if (index < 0 || index >= THREAD_COUNT) return 0;
  return m_threads[index]->id.load();
}

void CNuv4OndekoProcessor::RunRoutine(int index) {
  try {
    switch (index) {
      case THREAD_TXT2NUV:
      case THREAD_FILE2NUV:
      case THREAD_TXT2ONDEKO:
      case THREAD_FILE2ONDEKO:
        DoProc(index);  // thread index i serves queue i
        break;
      case THREAD_SYNCORG:
        if (m_seams.syncOrg2Ondeko) m_seams.syncOrg2Ondeko(*this, m_stop);
        break;
      case THREAD_COMBINE:
        CombineMsg();
        break;
      case THREAD_REPORT:
        if (m_seams.reportMsgStat) m_seams.reportMsgStat(*this, m_stop);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    WriteLogF("monthread thread[%d] exception '%s'", index, e.what());
  } catch (...) {
    WriteLogF("monthread thread[%d] unknown exception", index);
  }
  m_threads[index]->ended = true;
  m_stop.Notify();
}

bool CNuv4OndekoProcessor::StartSupervised(int index) {
  const ThreadSpec& def = kThreadSpecs[index];
  Supervised& t = *m_threads[index];
  t.ended = false;
  bool ok = (!m_startHook || m_startHook(index)) &&
            t.thread.Start(def.stackSize, [this, index] { RunRoutine(index); });
  if (!ok) {
    WriteLogF("monthread 启动%s失败！exit", def.logName);
    EndProcess(def.reportCode);
    return false;
  }
  t.id = t.thread.Id();
  WriteLogF("monthread 启动%sOK threadid %lu", def.logName, t.thread.Id());
  return true;
}

// Returns true when the process was ended (only returns at all when the end
// is intercepted). A dead queue is only logged during the grace.
bool CNuv4OndekoProcessor::CheckQueueHealth(int64_t supervisorStart) {
  const int64_t now = GetClock().Now();
  const bool inGrace = now - supervisorStart < kDeadQueueGraceSec;
  // Parked work is held by the journal, not the queues: the output test never
  // sees it, and for the input test it counts as queue contents -- a cloud
  // outage must not make the worker end itself. So does any entry the
  // journal still holds: a parked item comes back through a refill, not an
  // enqueue, and while its attempt is in hand no queue shows it.
  const bool journalHolds = m_journal && m_journal->Size() > 0;  // live entries, parked ones included
  struct HealthTest {
    bool (*isDead)();
    const char* name;
    const wchar_t* code;
    bool skipWhileJournalHolds;
  };
  static const HealthTest kTests[] = {{IsOutqueueDead, "IsOutqueueDead", L"OUTQUEUEDEAD", false},
                                      {IsEnqueueDead, "IsEnqueueDead", L"ENQUEUEDEAD", true}};
  for (const HealthTest& t : kTests) {
    if (t.skipWhileJournalHolds && journalHolds) continue;
    if (!t.isDead()) continue;
    if (inGrace) {
      WriteLogF("monthread %s return TRUE, buf process start not reach 15 min, not exit", t.name);
    } else {
      WriteLogF("monthread %s return TRUE, exit", t.name);
      EndProcess(t.code);
      return true;
    }
  }
  return false;
}

int CNuv4OndekoProcessor::monthread() {
  const int64_t started = GetClock().Now();
  WriteLogF("monthread start SyncProcThread now...");
  for (int i = 0; i < THREAD_COUNT; ++i) {
    if (!StartSupervised(i)) return 0;
  }
  WriteLogF("monthread start %d Threads OK, monitor them now...", static_cast<int>(THREAD_COUNT));

  unsigned passes = 0;
  for (;;) {
    const int status = m_status.load();
    if (status == END || status == EXIT) {
      WriteLogF("monthread status is %d , exit", status);
      return 1;
    }
    if (m_stop.Requested()) return 1;
    ++passes;
    int endedIndex = -1;
    m_stop.WaitFor(kSupervisorWaitMs, [&] {
      for (int i = 0; i < THREAD_COUNT; ++i) {
        if (m_threads[i]->ended.load()) {
          endedIndex = i;
          return true;
        }
      }
      return false;
    });
    if (m_stop.Requested()) continue;

    if (endedIndex < 0) {
      if (passes % kOkLogEvery == 1) WriteLogF("monthread status is %d , threads OK", m_status.load());
    } else {
      Supervised& t = *m_threads[endedIndex];
      WriteLogF("monthread status is %d , thread[%d] id %lu end, restart it after 1 sec", m_status.load(),
                endedIndex, t.thread.Id());
      if (m_stop.SleepMs(kRestartPauseMs)) continue;
      t.thread.Join();
      if (!StartSupervised(endedIndex)) return 0;
    }

    CSLock::Sweep();
    if (CheckQueueHealth(started)) return 0;
    // After the tests: an item handed back now has a whole pass to be taken
    // before its queue's take-out time is looked at again.
    RequeueParked();
    RequeueHeldBind();
  }
}

}  // namespace nuv
