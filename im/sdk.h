#pragma once
// The IM server's application SDK as the connector sees it: the root object,
// the application object, the file monitor, the NUVSData data object and the
// message. Operations documented "raises" throw NuvSdkError (a 32-bit code
// and a message) on failure; settings never fail. The network implementation
// (sdk_client.cpp) talks to the IM server over the protocol of
// docs/im-protocol.md and raises events on its connections' own threads.
// SDK objects are shared (reference counted) like the components they stand
// for; their operations may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuv {

// A message as the application object sends and receives it.
class NuvMessage {
 public:
  std::wstring Sender;
  std::wstring Receivers;
  std::wstring Content;   // the text form of a NUVSData
  std::wstring Type1;     // the two type texts
  std::wstring Type2;
  int32_t Number = 0;
};

// Arguments of one SDK event. The handler may set outFlag (file uploaded).
struct SdkEvent {
  int number = 0;
  int32_t code = 0;                      // stopped, download failed
  std::wstring info;                     // file uploaded
  int16_t outFlag = 0;                   // file uploaded
  std::shared_ptr<NuvMessage> message;   // message received
  // Set by a listener that did not take a message event (nobody to handle
  // it): the source does not tell the server it was taken, so the server
  // hands it again.
  bool declined = false;
};

// Receives the events of one source (see the event tables of the sinks).
class ISdkEventListener {
 public:
  virtual ~ISdkEventListener() = default;
  virtual void Invoke(SdkEvent& ev) = 0;
  // After a run of message events, before the source tells the server they
  // were taken (the server forgets them then): whatever the listener must
  // have made safe before that is made so here. False when it cannot be
  // made safe now: the source holds the acknowledgements (the server keeps
  // the events) and asks again later. On the source's event thread.
  virtual bool EventsHandled() { return true; }
};

// Something that raises events: the application object and the file monitor.
class ISdkEventSource {
 public:
  virtual ~ISdkEventSource() = default;
  // Connects a listener (one at a time); false when one is connected already.
  virtual bool Advise(ISdkEventListener* listener) = 0;
  // Disconnects the listener; events raised afterwards are not delivered.
  virtual void Unadvise(ISdkEventListener* listener) = 0;
};

// Event numbers of the application object.
enum : int { APP_EVENT_RECV_MESSAGE = 1, APP_EVENT_STOPPED = 2 };
// Event numbers of the file monitor.
enum : int {
  FM_EVENT_FILE_UPLOADED = 1,
  FM_EVENT_DOWNLOAD_FAILED = 2,
  FM_EVENT_DOWNLOAD_COMPLETE = 3,
  FM_EVENT_STOPPED = 4,
};

// A set of named values with a text (XML) form.
class INUVSData {
 public:
  virtual ~INUVSData() = default;
  virtual void LoadXML(const std::wstring& xml) = 0;             // raises on malformed text
  virtual std::wstring GetXML() = 0;                             // raises
  virtual std::wstring GetString(const std::wstring& name) = 0;  // raises when absent
  virtual void SetString(const std::wstring& name, const std::wstring& value) = 0;
  virtual void SetInt(const std::wstring& name, int32_t value) = 0;
  virtual void SetBytes(const std::wstring& name, const uint8_t* bytes, size_t length) = 0;
};

class INuvApp : public ISdkEventSource {
 public:
  // Settings.
  virtual void SetAppGUID(const std::wstring& guid) = 0;
  virtual void SetAppName(const std::wstring& name) = 0;
  virtual void SetServerIP(const std::wstring& ip) = 0;
  virtual void SetServerPort(uint16_t port) = 0;
  // The seven registration settings, by position 1..7 (text or integer).
  virtual void SetRegSetting(int position, const std::wstring& value) = 0;
  virtual void SetRegSetting(int position, int32_t value) = 0;
  // Operations; all raise.
  virtual bool Register() = 0;
  virtual bool Unregister() = 0;
  virtual void Start(const std::wstring& text, int32_t mode) = 0;
  virtual bool Stop() = 0;
  virtual std::shared_ptr<NuvMessage> CreateMessage() = 0;
  virtual void SendMessage(const NuvMessage& message, int32_t flags) = 0;
};

class INuvFileMonitor : public ISdkEventSource {
 public:
  virtual void SetServerIP(const std::wstring& ip) = 0;
  virtual void SetServerPort(uint16_t port) = 0;
  virtual void Start() = 0;  // raises
  // Raises when refused. Otherwise exactly one completion or failure event
  // follows; on completion the file is <temporary-files directory>/name.
  virtual void DownloadFile(const std::wstring& fid, const std::wstring& key,
                            const std::wstring& name) = 0;
};

class INuvRoot {
 public:
  virtual ~INuvRoot() = default;
  virtual void SetServerIP(const std::wstring& ip) = 0;
  virtual void SetServerPort(uint16_t port) = 0;
  // All raise.
  virtual std::shared_ptr<INuvApp> AppObject() = 0;
  virtual std::shared_ptr<INuvFileMonitor> FileMonitorObject() = 0;
  virtual std::shared_ptr<INUVSData> CreateNUVSData() = 0;
  // The users in state "online", "offline" or "away", each followed by ';'.
  virtual std::wstring QueryUsersByState(const std::wstring& state) = 0;
  virtual void SendSysMessage(const std::wstring& receiver, const std::wstring& title,
                              int32_t kind, const std::wstring& content) = 0;
  // Sends the file at path (isFile 1 file, 0 image); the file is read during
  // the call and not needed afterwards.
  virtual void SendFile(const std::wstring& sender, const std::wstring& extra,
                        const std::wstring& receiver, const std::wstring& path, int32_t isFile,
                        const std::wstring& key) = 0;
};

// Creates a root object (raises when the SDK is not available). Its initial
// server address is service.ini [im] server_ip and app_port.
using NuvRootFactory = std::function<std::shared_ptr<INuvRoot>()>;
std::shared_ptr<INuvRoot> CreateNuvRoot();

// A data object that lives only in this process (what CreateNUVSData makes).
std::shared_ptr<INUVSData> CreateLocalNUVSData();

}  // namespace nuv
