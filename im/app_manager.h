#pragma once
// CAppManager: the worker's one connection to the IM server. It creates the
// SDK objects, registers and starts the application and the file monitor,
// receives their events (inbound messages, file announcements, download
// ends, application stop), keeps the bookkeeping of IM file downloads and of
// the files this service delivered into the IM, delivers cloud messages and
// files into the IM, and stops and unregisters the application again.
//
// One process-wide instance (GetInstance); tests may make their own. Run,
// Stop and IsStarted run on the processor's control thread; DownloadAllFiles
// on the file worker; SendText2Nuv and SendFileMsg2Nuv on the workers of the
// two cloud-to-IM queues; GetPresenceLists on the directory sync thread; the
// handlers on the SDK's event threads. sentFiles,
// uploadedFids, downingFiles and the attachments' status and failCount are
// read and changed only under fileLock; the message id counter and m_bStart
// are atomic.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/cs_lock.h"
#include "im/app_event_sink.h"
#include "im/sdk.h"
#include "processor/seams.h"
#include "processor/work_item.h"

namespace nuv {

class CAppManager : public CAppEventHandler, public ImApp {
 public:
  // A file or image this service delivered into the IM, for echo detection.
  struct SentFileRecord {
    std::wstring fileName;
    std::wstring key;
    int size = 0;
  };

  // The single instance; the first call constructs it and runs InitApp.
  static CAppManager& GetInstance();

  // factory makes the SDK root objects (tests pass one that fails).
  explicit CAppManager(NuvRootFactory factory = CreateNuvRoot);
  virtual ~CAppManager();
  CAppManager(const CAppManager&) = delete;
  CAppManager& operator=(const CAppManager&) = delete;

  // Lifecycle (ImApp).
  void Run() override;
  bool IsStarted() override { return m_bStart.load() != 0; }
  void Stop() override;
  void InitApp();
  bool RegApp();
  bool StartApp();
  void StopApp();
  void UnRegApp();

  // Event handlers.
  void OnAppStop(int32_t code) override;
  void OnRecvMessage(NuvMessage& message) override;
  bool OnMessagesHandled() override;
  void OnFileUploaded(const std::wstring& info, int16_t* outFlag) override;
  void OnDownloadFail(int32_t code) override;
  void OnDownloadComplete() override;

  // Inbound messages.
  // Fills key, content and files of msg from the message content, and names
  // with the files passed peer to peer. False (nothing usable) on failure.
  bool ParseMsgContent(const std::wstring& content, CQueueMsg& msg, std::vector<std::wstring>& names);
  uint64_t NextMsgId() override { return msgIdCounter.fetch_add(1); }
  bool TakeSentFileEcho(const std::wstring& fileName, const std::wstring& key, int size);
  // Records a file delivered into the IM (before it is sent, so the echo
  // cannot overtake the record).
  void AddSentFile(const std::wstring& fileName, const std::wstring& key, int size);

  // IM file download.
  void DownloadAllFiles(CQueueMsg& msg, std::vector<CQueueFile>& failed) override;
  bool DownloadNuvFile(CQueueFile& file, uint64_t owner = 0);

  // Delivery into the IM (cloud -> IM). The handlers' contract of the work
  // queues: non-zero when done with the message, 0 to have it tried once
  // more. SDK errors raised while a message is built or sent are caught and
  // logged here and count as a failed attempt (0).
  // Work-item type WQUEUE_ONDEKO2NUVMSG, on the WQUEUE_QID_TXT2NUV worker:
  // mt 0 -> SendTxtMsg2Nuv, mt 1 -> SendSysMsg2Nuv, anything else dropped.
  int SendText2Nuv(CQueueMsg& msg, bool isRetry);
  // An ordinary text as an IM message; a key shorter than 20 characters is
  // replaced by a new GUID (kept in msg for the retry). 1 sent, 0 failed.
  int SendTxtMsg2Nuv(CQueueMsg& msg);
  // A broadcast as a system message to each receiver of msg.to that is not
  // in msg.served yet; each one reached is added there. 1 when done
  // (receivers the IM server refused are not tried again), -1 (transport)
  // when the IM server could not be reached for some receiver or nobody was
  // reached at all, 0 when nothing could start.
  int SendSysMsg2Nuv(CQueueMsg& msg);
  // Work-item type WQUEUE_ONDEKO2NUVFILE, on the WQUEUE_QID_FILE2NUV worker:
  // fetches the attachments from the cloud and sends each as a file message.
  // Attachments fetched by the first attempt are kept for the retry; the
  // retry delivers what it has -- unless the cloud could not be reached on
  // the retry: then nothing is given up and it returns -1 (transport
  // failure; the work journal parks the item). -1 also when the IM server
  // could not be reached for a file. An attempt that delivered none of the
  // attachments is not done (0). After the retry a copy not delivered is
  // removed and its attachment set back to WAIT (fetched again if the item
  // comes back).
  int SendFileMsg2Nuv(CQueueMsg& msg, bool isRetry);
  // Fetches one attachment (fid: the cloud's media id) into a folder of its
  // own in the download directory; fileName becomes the cloud's name
  // reduced to a safe base name. An attachment with status OK whose copy is
  // gone is fetched again. 1 when it is on disk (status OK), 0 on failure
  // (status ERR), -1 when the cloud could not be reached or answered with a
  // server error (status ERR), kOndekoFileTooLarge when it is larger than
  // maxfilesize (a file) or maximgsize (an image) of generalconf.ini and was
  // not kept (status ERR; fileName the cloud's name when it said one).
  int GetOndekoFile(CQueueFile& file);
  static constexpr int kOndekoFileTooLarge = 2;
  // The users online, offline and away as the IM server lists them, in the
  // ANSI code page. 1. Raises NuvSdkError when the IM server cannot be asked
  // (the directory sync thread catches it); the texts are then unchanged.
  int GetPresenceLists(std::string& online, std::string& offline, std::string& away) override;

  // The SDK objects, for delivery into the IM (absent until InitApp made them).
  std::shared_ptr<INuvRoot> ApiRoot() const { return apiRoot; }
  std::shared_ptr<INuvApp> AppObject() const { return appObject; }
  const std::string& ConfigDir() const { return configDir; }
  const std::wstring& MsgType() const { return msgType; }

  // A download still in progress when its message gave up blocks new
  // downloads at most this long (unless its late event comes first).
  static constexpr int64_t kRetiredDownloadGraceMs = 5000;

 private:
  // An entry of the downing list. file is null once the message that asked
  // for the download has moved on ("retired"): a late event then touches
  // nothing but the entry.
  struct DowningEntry {
    CQueueFile* file = nullptr;
    uint64_t owner = 0;
    int64_t retiredAtMs = 0;
  };
  void RetireDownloadsLocked(uint64_t owner, uint64_t msgid);
  void DropStaleRetiredLocked();

  std::string configDir;
  std::shared_ptr<INuvRoot> apiRoot;
  std::shared_ptr<INuvApp> appObject;
  NUVSAPIObjEvent appSink{NUVSAPIObjEvent::Source::kApp};
  std::shared_ptr<INuvRoot> fmRoot;
  NUVSAPIObjEvent fmSink{NUVSAPIObjEvent::Source::kFileMonitor};
  std::shared_ptr<INuvFileMonitor> fileMonitor;
  std::atomic<int> m_bStart{0};
  const std::wstring appGuid = L"{1BDD00D1-0874-42D5-B372-C451ABF49C5C}";
  const std::wstring appName = L"VeOndekoPlugin";
  const std::wstring msgType = L"Morvane.NUV.IM";
  const std::wstring regSettings[5] = {L"none", L"anyone", L"anyone", L"anystate", L"ALL"};
  std::wstring serverIp;
  uint16_t serverPort;
  uint16_t fileMonitorPort;
  std::atomic<uint64_t> msgIdCounter{0};
  NuvRootFactory rootFactory;
  std::atomic<uint64_t> downloadOwnerSeq{0};
  std::atomic<bool> ackHeld{false};  // OnMessagesHandled holds the acknowledgements

  // Guarded by fileLock.
  CSLock fileLock;
  std::vector<SentFileRecord> sentFiles;
  std::vector<std::wstring> uploadedFids;
  std::vector<DowningEntry> downingFiles;
  // The download loop whose file monitor could not be reached (0: none).
  uint64_t unreachableOwner = 0;
};

}  // namespace nuv
