#pragma once
// CNuv4OndekoProcessor: the worker process's central object. Its control
// thread (Start) brings the IM application and the push connection up and
// down as the status demands; its supervisor thread (monthread) runs the
// seven long-running threads (four queue workers, directory sync, combining,
// statistics), restarts any that ends and ends the worker process when a
// queue stops moving or a thread cannot be started.
//
// One process-wide instance (GetProcessor / ReleaseProcessor). The status is
// atomic and read by every thread; the push connection slot is touched only
// by the control thread; seams and handlers are filled before BeginStart.
// Destruction sets END, waits up to 20 s for the control thread to reach
// EXIT, then stops and joins every thread it started.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "processor/seams.h"
#include "processor/sized_thread.h"
#include "processor/stop_signal.h"

namespace nuv {

class CConfigCenter;
class WorkJournal;
struct JournalEntry;
struct ReportItem;    // cloud/ondeko_api.h
class DirectoryJobs;  // processor/sync_thread.h

class CNuv4OndekoProcessor {
 public:
  // Processor status.
  enum : int { INIT = 0, START = 1, STOP = 2, END = 3, EXIT = 4 };
  // Threads of the supervisor's table, in start order.
  enum : int {
    THREAD_TXT2NUV = 0,
    THREAD_FILE2NUV = 1,
    THREAD_TXT2ONDEKO = 2,
    THREAD_FILE2ONDEKO = 3,
    THREAD_SYNCORG = 4,
    THREAD_COMBINE = 5,
    THREAD_REPORT = 6,
    THREAD_COUNT = 7,
  };

  CNuv4OndekoProcessor();
  ~CNuv4OndekoProcessor();
  CNuv4OndekoProcessor(const CNuv4OndekoProcessor&) = delete;
  CNuv4OndekoProcessor& operator=(const CNuv4OndekoProcessor&) = delete;

  // Wiring; see seams.h. Fill before BeginStart.
  ProcessorSeams& Seams() { return m_seams; }
  HandlerTable& Handlers() { return m_handlers; }

  bool Init() { return true; }
  // Starts the control thread running Start.
  void BeginStart();
  // The control thread's loop; 0 when called in a status other than INIT,
  // 1 after the loop ended with EXIT.
  int Start();

  // Accepts INIT..END (logged); anything else is refused and logged.
  void SetStatus(int status);
  int GetStatus() const { return m_status.load(); }

  // Creates, initialises and starts the push connection; 1 on success, 0 on
  // failure or when one is already held.
  int StartLongConnThread();
  // Stops and destroys the held push connection, if any.
  void StopLongConnThread();
  bool HasLongConn() const { return m_gapHub != nullptr; }

  // Reports code to the cloud and ends the process with exit code 0 (both
  // through the seams). Returns only when exitProcess was intercepted.
  void EndProcess(const std::wstring& code);

  // Items taken out by all workers since the statistics thread last reset it.
  std::atomic<uint32_t>& ProcessedItems() { return m_processedItems; }

  // The configuration directory, narrow, with a trailing '/'.
  const std::string& ConfigDir() const { return m_configDir; }

  // The processor's stop signal (set only when it is being destroyed).
  const StopSignal& Stopper() const { return m_stop; }

  // Cloud event intake (intake.cpp). The push thread's callbacks
  // OndekoOnNotifyCallback / OndekoOnTokenCallback (intake.h) forward to the
  // first two with the process-wide configuration center, whose maxmsgid and
  // token they advance and save. The worker of WQUEUE_QID_TXT2ONDEKO runs
  // the last two (1 = done, 0 = try again, -1 = the cloud was not reachable,
  // answered with a server error or throttled). With a journal, what the
  // notify queues is recorded before maxmsgid is saved, and fetched messages
  // before the fetch returns done; while the journal cannot write, maxmsgid
  // moves on in memory only and the file keeps the last value whose messages
  // are on disk.
  //
  // A notified id more than [cloud] max_msgid_jump above maxmsgid is not
  // trusted: maxmsgid stays and the range up to it is fetched instead. A
  // fetch whose range reaches above maxmsgid takes in only what lies above
  // it and moves maxmsgid to the highest id the cloud returned. A fetch
  // reply that ends before its range does (the cloud caps its replies) is
  // followed by a fetch of the rest.
  void OndekoOnNotify(const OndekoMsgItem& item, CConfigCenter& config);
  void OndekoOnToken(uint64_t token, CConfigCenter& config);
  // A burst of notifies (the messages of one push read) is taken in as one:
  // between Begin and End (same thread, may nest) the notifies' items and
  // maxmsgid go into the journal in one commit at End, then into their
  // queues, and generalconf.ini is saved once. Other intake waits meanwhile.
  // Without a journal every notify is saved on its own, as outside a burst.
  void BeginOndekoBurst();
  void EndOndekoBurst(CConfigCenter& config);
  // At start, after OpenJournal: maxmsgid becomes the journal's where that
  // is higher than generalconf.ini's, or where the file could not be read.
  void TakeMaxmsgidFromJournal(CConfigCenter& config);
  int FetchOndekoMsg(uint64_t first, uint64_t last);
  int FetchOndekoMsg(uint64_t first, uint64_t last, CConfigCenter& config);
  int BindToken(uint64_t token);
  // A bind whose two attempts met an unreachable cloud (with a journal) is
  // held in memory, not dropped: RequeueHeldBind (run by monthread after
  // each pass) queues it again once its back-off (1, 2, 4, then 5 minutes)
  // is over (or the Retry-After the cloud gave). A newer token from the push connection replaces it.
  void HoldBind(uint64_t token, int64_t now, int64_t retryAfterSec);
  void RequeueHeldBind();

  // Outbound to the cloud (outbound.cpp); handlers of the worker dispatch,
  // 1 = done, 0 = try once more, -1 = the cloud was not reachable or answered
  // with a server error (WQUEUE_HANDLER_TRANSPORT). SendTxtMsg2Ondeko runs on the TXT2ONDEKO
  // worker; SendFileMsg2Ondeko and UploadFile2Ondeko on the FILE2ONDEKO
  // worker, the only thread that moves upload copies in the temp directory.
  int SendTxtMsg2Ondeko(const CQueueMsg& msg, bool isRetry);
  int SendFileMsg2Ondeko(CQueueMsg& msg, bool isRetry);
  // Uploads the local copy of file under its display name; 1 and mediaId set
  // on success, 0 on failure, -1 when the cloud was not reachable (in both
  // failures the copy is back at localPath).
  int UploadFile2Ondeko(uint64_t climsgid, const CQueueFile& file, std::string& mediaId);

  // Thread routines (run by the supervisor; public for tests and wiring).
  int monthread();
  void DoProc(int qid);
  void CombineMsg();

  // Status reports to the cloud (reports.cpp). ReportMsgStat sends one
  // statistics report; ReportReboot one restart report, given up after 10 s
  // so that a dying worker is not held; both 1 = accepted, 0 = not.
  // ReportMsgStatProc is the statistics thread: a report at once and then
  // every 10 s until stop, over the processed-items counter.
  int ReportMsgStat(const ReportItem& item);
  int ReportReboot(const std::wstring& code);
  void ReportMsgStatProc(const StopSignal& stop);

  // The directory sync thread (sync_thread.cpp): after 20 s, a pass a
  // minute while START (presence every pass, the directory export every
  // fifth), until stop. jobs: what a pass runs; nullptr = the directory sync
  // (SyncDept) with this thread's stop passed down.
  void SyncOrg2Ondeko(const StopSignal& stop, DirectoryJobs* jobs = nullptr);

  // What the destructor does: END, wait up to 20 s for EXIT, then stop and
  // join every thread. Idempotent; ReleaseProcessor calls it first.
  void Shutdown();

  // The work journal (journal_replay.cpp). OpenJournal opens (or creates) the
  // file, recovering from a bad one; it never fails hard: without a usable
  // file the journal keeps its entries in memory. syncToDevice: every commit
  // is flushed to the device. Call before BeginStart, then ReplayJournal,
  // which puts queued entries back into their queues in accepted order (at
  // most the window's worth per work queue; the rest follow as the queue
  // drains) and returns how many; parked entries come back when due.
  // Journal() is nullptr until OpenJournal (a worker without a journal
  // behaves as before).
  bool OpenJournal(const std::string& path, bool syncToDevice = true);
  int ReplayJournal();
  WorkJournal* Journal() const { return m_journal.get(); }
  // Items each work queue holds in memory at most while a journal keeps the
  // rest (0: no bound). Set before OpenJournal; the default is kQueueWindow.
  static constexpr size_t kQueueWindow = 5000;
  void SetQueueWindow(size_t window) { m_queueWindow = window; }
  // Puts parked entries whose time has come back into their queues and
  // writes the operator's parked line when it is due (supervisor pass).
  void RequeueParked();
  // Removes the local copies in the temporary-files and download
  // directories that no journal entry refers to (what a killed worker, an
  // item given up or a late download left); one summary line. Run by
  // ReplayJournal, before anything else uses the directories; nothing when
  // the journal is not on disk. Returns how many files went.
  int RemoveOrphanCopies();
  // The queue worker's note of the journal entry it is handling (0: none),
  // kept beside the journal (<journal>.inhand<qid>, written without a device
  // flush: it has to survive the worker's end, not a power loss). An entry
  // that was being handled each time the worker ended, kMaxEndsInHand times
  // in a row, is taken for the cause and dropped at replay with a line,
  // rather than ending every worker after it.
  static constexpr int kMaxEndsInHand = 3;
  void MarkInHand(int qid, uint64_t journalId);
  void CloseInHandNotes();

  // Thread id of table entry index as last started (0: not running).
  unsigned long ThreadId(int index) const;

  // Test hook: called before each supervised thread start with its index;
  // returning false makes that start fail.
  void SetThreadStartHookForTest(std::function<bool(int index)> hook) { m_startHook = std::move(hook); }

 private:
  // One entry of the supervisor's table. ended is set by the thread itself
  // when its routine returns and read (and cleared) by monthread.
  struct Supervised {
    SizedThread thread;  // started, joined and restarted by monthread only
    std::atomic<bool> ended{false};
    std::atomic<unsigned long> id{0};  // id of the last start, for readers elsewhere
  };
  ImApp* App();
  // Sets maxmsgid to id (from previous) and saves it when durable, else
  // keeps the file's value (intake.cpp; m_intakeMu held).
  void AdvanceMaxmsgidLocked(CConfigCenter& config, uint64_t previous, uint64_t id, bool durable,
                             const char* who);
  // Notify intake not committed yet (intake.cpp; m_intakeMu held): opened by
  // a notify that takes something in, committed at the end of the notify or
  // of the burst around it.
  void OpenIntakeLocked(uint64_t maxmsgid);
  void CommitIntakeLocked(CConfigCenter& config);
  // The maxmsgid whose messages are all on disk (what generalconf.ini may hold).
  uint64_t MaxmsgidOnDiskLocked(CConfigCenter& config) const;
  bool StartSupervised(int index);
  void RunRoutine(int index);
  void HandleItem(int qid, const std::string& tag, WorkItem& item);
  // An item given up (its entry removed): its local copies that no other
  // entry refers to go, with one line (tag first). Only with a journal.
  int RemoveCopiesOf(const std::string& tag, const WorkItem& item);
  bool CheckQueueHealth(int64_t supervisorStart);
  // The journal as each work queue's overflow (journal_replay.cpp).
  void InstallOverflow();
  // A journal entry as its queue takes it back (replay, refill): its
  // attachments checked, its in-hand history looked at. False: the entry
  // was dropped (handled each time the worker ended).
  bool PrepareReturning(JournalEntry& e);
  // A success after transport failures: the parked work of that direction
  // is due now, and its queues' items waiting out their retry pause go at
  // once (dispatch.cpp).
  void ReleaseParkedAfterSuccess(int qid);
  // Ends the sleeps of the queue workers and the combining thread so that
  // they look at the status (and the stop request) again.
  void WakeWorkers();

  std::atomic<int> m_status{INIT};
  const std::string m_configDir;
  ProcessorSeams m_seams;
  HandlerTable m_handlers;
  std::atomic<uint32_t> m_processedItems{0};
  // A transport failure since that direction's last success ([0] towards
  // the IM, [1] towards the cloud); set and taken by the queue workers.
  std::atomic<bool> m_failedSinceSuccess[2] = {};
  StopSignal m_stop;
  std::atomic<bool> m_shutDown{false};
  std::function<bool(int)> m_startHook;
  // Set by OpenJournal before the threads start, read by all of them; the
  // journal guards itself.
  std::unique_ptr<WorkJournal> m_journal;
  size_t m_queueWindow = kQueueWindow;
  // In-hand notes: one file per work queue, each written only by its
  // worker; the counts of entries found in hand at the last end are set at
  // replay (before the workers start) and only read afterwards.
  std::array<int, WQUEUE_QID_COUNT> m_inHandFd{{-1, -1, -1, -1}};
  std::map<uint64_t, int> m_endsInHand;

  // Cloud intake: the push callbacks and the fetch handler decide about
  // maxmsgid one at a time under m_intakeMu. While the journal cannot write,
  // m_maxmsgidHeld is set and the file keeps m_maxmsgidOnDisk.
  // A notify burst holds it from its Begin to its End (recursive: the
  // notifies and a token callback inside the burst take it again).
  std::recursive_mutex m_intakeMu;
  bool m_maxmsgidHeld = false;
  uint64_t m_maxmsgidOnDisk = 0;
  // Notify intake between its journal records and their commit: a work
  // item to enqueue (qid >= 0) and/or a line to log, in order.
  struct PendingIntake {
    int qid = -1;
    WorkItem item;
    std::string line;
  };
  int m_burstDepth = 0;
  bool m_intakeOpen = false;
  uint64_t m_intakeFrom = 0;  // maxmsgid when the uncommitted intake began
  std::vector<PendingIntake> m_intakePending;

  // The bind held after a transport failure (HoldBind): the push thread sets
  // the token it wants bound, the TXT2ONDEKO worker holds, monthread
  // requeues; all under m_bindMu. m_heldBind 0 = none held.
  std::mutex m_bindMu;
  uint64_t m_bindWanted = 0;
  uint64_t m_heldBind = 0;
  int64_t m_heldBindDue = 0;
  int m_heldBindRounds = 0;

  // Touched only by the control thread.
  std::unique_ptr<PushConnection> m_gapHub;

  // The control and supervisor threads; started once, joined by the destructor.
  SizedThread m_controlThread;
  SizedThread m_monThread;
  std::atomic<bool> m_monStarted{false};

  // The supervised threads: started and restarted by monthread, joined by the
  // destructor after monthread has ended.
  std::array<std::unique_ptr<Supervised>, THREAD_COUNT> m_threads;
};

// The process-wide processor, created on first call.
CNuv4OndekoProcessor* GetProcessor();
// The process-wide processor if one exists, else nullptr (never creates one).
CNuv4OndekoProcessor* PeekProcessor();
// Destroys the process-wide processor (END, wait, join); no-op when none.
void ReleaseProcessor();

}  // namespace nuv
