#pragma once
// The connector's event interfaces: CAppEventHandler, the five handlers in
// their slot order, and NUVSAPIObjEvent, the sink that connects one SDK event
// source (the application object or the file monitor) to a handler and
// routes the source's event numbers to it. Two sinks live in CAppManager;
// Init/Advise/Unadvise are called on the processor's control thread, Invoke
// on the SDK's event threads.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "im/sdk.h"

namespace nuv {

class CAppEventHandler {
 public:
  virtual void OnAppStop(int32_t code) = 0;
  virtual void OnRecvMessage(NuvMessage& message) = 0;
  virtual void OnFileUploaded(const std::wstring& info, int16_t* outFlag) = 0;
  virtual void OnDownloadFail(int32_t code) = 0;
  virtual void OnDownloadComplete() = 0;
  // Not an SDK event: the application object is about to tell the server
  // that the messages received so far were taken. False holds that back
  // (what they became is not safe yet); it is asked again later.
  virtual bool OnMessagesHandled() { return true; }

 protected:
  ~CAppEventHandler() = default;  // owners destroy through their own type
};

class NUVSAPIObjEvent : public ISdkEventListener {
 public:
  enum class Source { kApp, kFileMonitor };
  explicit NUVSAPIObjEvent(Source kind) : kind_(kind) {}
  ~NUVSAPIObjEvent() override { Unadvise(); }

  // Keeps the source and the owner; true when the source is present.
  bool Init(std::shared_ptr<ISdkEventSource> source, CAppEventHandler* owner);
  // Connects to the source's events; true on success.
  bool Advise();
  // Disconnects; no event reaches the owner after it returns.
  void Unadvise();

  void Invoke(SdkEvent& ev) override;
  bool EventsHandled() override;

 private:
  const Source kind_;
  // Guards the source and owner against Init racing an event.
  std::mutex mu_;
  std::shared_ptr<ISdkEventSource> source_;
  CAppEventHandler* owner_ = nullptr;
};

}  // namespace nuv
