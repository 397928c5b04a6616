#pragma once
// Seams of the bridge processor: the narrow interfaces through which it
// reaches the parts of the worker that live in other folders. Fill them
// before BeginStart; the processor only reads them afterwards.
//
// Usage (the worker's wiring, e.g. in the service host):
//
//   CNuv4OndekoProcessor* p = GetProcessor();
//   ProcessorSeams& s = p->Seams();
//   s.imApp = [] { return imAppAdapter; };      // ImApp* over the IM connector
//   s.pushFactory = [](const std::string& configDir, PushNotifyCallback n,
//                      PushTokenCallback t) -> std::unique_ptr<PushConnection> {
//     return std::make_unique<GapHubAdapter>(configDir, n, t);  // nullptr = cannot create
//   };
//   s.onNotify = OndekoOnNotifyCallback;  s.onToken = OndekoOnTokenCallback;
//   s.reportReboot = [p](const std::wstring& code) { return p->ReportReboot(code); };
//   s.syncOrg2Ondeko = [](CNuv4OndekoProcessor& p, const StopSignal& stop) { p.SyncOrg2Ondeko(stop); };
//   s.reportMsgStat  = [](CNuv4OndekoProcessor& p, const StopSignal& stop) { p.ReportMsgStatProc(stop); };
//   p->Handlers().Register(WQUEUE_NUV2ONDEKOMSG, MsgHandler(
//       [p](CQueueMsg& m, bool isRetry) { return p->SendTxtMsg2Ondeko(m, isRetry); }));
//   p->Handlers().Register(WQUEUE_ONDEKOBINDTOKEN, TokenHandler(...));
//   p->Handlers().Register(WQUEUE_FETCHONDEKOMSG, FetchHandler(...));
//   p->Init();  p->BeginStart();
//   ...
//   ReleaseProcessor();   // END, waits for the control thread, joins all threads
//
// Ending the worker on a fatal condition (dead queue, thread start failure,
// resource limits) goes through CNuv4OndekoProcessor::EndProcess(code): it
// calls reportReboot(code) and then exitProcess(0). Tests replace exitProcess
// to observe the end instead of dying.
//
// Thread routines receive the processor and its StopSignal; they should sleep
// with stop.SleepMs(ms) and return once stop.Requested() is true, so that the
// processor can be destroyed cleanly. A routine that returns while no stop is
// requested is restarted by the supervisor after 1 s.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "processor/stop_signal.h"
#include "processor/work_item.h"

namespace nuv {

class CNuv4OndekoProcessor;
struct OndekoMsgItem;  // the cloud message record (cloud API client)

// The IM application as the control thread drives it: Run (set up and start;
// no result), IsStarted (did it work), Stop (stop and unregister). The file
// worker also fetches attachments through it and numbers its notices with
// NextMsgId; both are shared with the IM event threads.
// GetPresenceLists (directory sync thread) fills the accounts that are
// online, offline and away, each "name;" in the ANSI code page; 1 when
// filled, 0 (all lists empty) when it cannot tell.
class ImApp {
 public:
  virtual ~ImApp() = default;
  virtual void Run() = 0;
  virtual bool IsStarted() = 0;
  virtual void Stop() = 0;
  // Fetches every attachment of msg into its localPath and waits for them;
  // on return msg keeps only the attachments that arrived, and every other
  // one has been appended to failed: with status FILE_STATUS_ERR when the IM
  // server said it cannot give it, with any other status when it could not
  // be fetched for a transport reason (file monitor not reachable, no answer
  // within the limit) and may be tried again. Default: none can be fetched
  // (the IM server is not there).
  virtual void DownloadAllFiles(CQueueMsg& msg, std::vector<CQueueFile>& failed) {
    for (CQueueFile& f : msg.files) failed.push_back(std::move(f));
    msg.files.clear();
  }
  // The next client message id (the counter of IM-originated messages).
  virtual uint64_t NextMsgId() { return 0; }
  virtual int GetPresenceLists(std::string& online, std::string& offline, std::string& away) {
    online.clear();
    offline.clear();
    away.clear();
    return 0;
  }
};

// The push connection to the cloud. Init: 0 on success. Start: starts the
// connection's thread; may throw on failure. Stop: asks it to end; the
// object's destruction waits for its thread.
class PushConnection {
 public:
  virtual ~PushConnection() = default;
  virtual int Init() = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
};

// Called on the push thread for every announced message (item valid only
// during the call) and after every accepted connect with the token (result
// ignored). Plain functions, the push connection's own callback form: they
// act on the process-wide processor. nullptr: not called.
using PushNotifyCallback = void (*)(uint64_t msgid, OndekoMsgItem* item);
using PushTokenCallback = int (*)(uint64_t token);
// Creates a push connection over the configuration directory (narrow, with a
// trailing '/'); nullptr when it cannot be created.
using PushConnectionFactory = std::function<std::unique_ptr<PushConnection>(
    const std::string& configDir, PushNotifyCallback onNotify, PushTokenCallback onToken)>;

// A supervised thread routine (directory sync, statistics).
using ThreadRoutine = std::function<void(CNuv4OndekoProcessor& processor, const StopSignal& stop)>;

struct ProcessorSeams {
  // The IM application; nullptr or unset: none (the start step keeps retrying).
  std::function<ImApp*()> imApp;
  // Unset: the push connection cannot be created.
  PushConnectionFactory pushFactory;
  PushNotifyCallback onNotify = nullptr;
  PushTokenCallback onToken = nullptr;
  // Sends the restart report; 1 accepted, 0 not. Default: logs that no
  // reporter is installed and returns 0.
  std::function<int(const std::wstring& code)> reportReboot;
  // Ends the process with the exit code. Default: immediate _Exit.
  std::function<void(int exitCode)> exitProcess;
  // Thread routines of the supervisor's table (indexes 4 and 6). Default:
  // idle until stopped.
  ThreadRoutine syncOrg2Ondeko;
  ThreadRoutine reportMsgStat;
};

// Seams with every default filled in.
ProcessorSeams DefaultProcessorSeams();

// A handler of the worker dispatch: returns WQUEUE_HANDLER_DONE (> 0) when it
// is done with the item (sent, or given up for good), WQUEUE_HANDLER_FAILED
// (0) to have it tried once more, WQUEUE_HANDLER_TRANSPORT (< 0) when the
// attempt failed for a reason that says nothing about the item (cloud or IM
// server not reachable, time-out, TLS failure, HTTP 5xx): also tried once
// more, and when the second attempt fails that way too the item is parked in
// the work journal instead of dropped. isRetry is true on the second
// attempt. Runs on the queue's worker thread.
enum : int { WQUEUE_HANDLER_TRANSPORT = -1, WQUEUE_HANDLER_FAILED = 0, WQUEUE_HANDLER_DONE = 1 };
using WorkHandler = std::function<int(WorkItem& item, bool isRetry)>;

// Adapters from the handlers' natural arguments. An item whose message is
// missing is logged and counted as done.
WorkHandler MsgHandler(std::function<int(CQueueMsg& msg, bool isRetry)> fn);
WorkHandler TokenHandler(std::function<int(uint64_t token)> fn);
WorkHandler FetchHandler(std::function<int(uint64_t first, uint64_t last)> fn);

// The one dispatch point: work-item type (1..6) -> handler. Register before
// the workers start; later registrations replace earlier ones. Thread-safe.
class HandlerTable {
 public:
  HandlerTable();
  ~HandlerTable();
  HandlerTable(const HandlerTable&) = delete;
  HandlerTable& operator=(const HandlerTable&) = delete;

  // False for a type outside 1..6 (nothing registered).
  bool Register(int type, WorkHandler handler);
  // The handler of that type; empty when unknown or not registered.
  WorkHandler Find(int type) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuv
