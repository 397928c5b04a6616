#include "im/app_event_sink.h"

#include "common/log.h"

namespace nuv {

// The source's calls are made outside mu_: the source holds its own lock
// while it delivers an event, and Invoke takes mu_.
bool NUVSAPIObjEvent::Init(std::shared_ptr<ISdkEventSource> source, CAppEventHandler* owner) {
  std::shared_ptr<ISdkEventSource> old;
  bool present;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (source_ != source) old = source_;
    source_ = std::move(source);
    owner_ = owner;
    present = source_ != nullptr;
  }
  if (old) old->Unadvise(this);
  return present;
}

bool NUVSAPIObjEvent::Advise() {
  std::shared_ptr<ISdkEventSource> src;
  {
    std::lock_guard<std::mutex> g(mu_);
    src = source_;
  }
  return src && src->Advise(this);
}

void NUVSAPIObjEvent::Unadvise() {
  std::shared_ptr<ISdkEventSource> src;
  {
    std::lock_guard<std::mutex> g(mu_);
    src = source_;
  }
  if (src) src->Unadvise(this);
}

void NUVSAPIObjEvent::Invoke(SdkEvent& ev) {
  CAppEventHandler* owner;
  {
    std::lock_guard<std::mutex> g(mu_);
    owner = owner_;
  }
  if (!owner) {
    ev.declined = true;  // connected, but no one to hand it to
    return;
  }
  // Errors never leave an event handler: they would end an SDK thread. A
  // message whose handler failed was not taken.
  try {
    if (kind_ == Source::kApp) {
      switch (ev.number) {
        case APP_EVENT_RECV_MESSAGE:
          if (ev.message) owner->OnRecvMessage(*ev.message);
          break;
        case APP_EVENT_STOPPED:
          owner->OnAppStop(ev.code);
          break;
        default:
          break;
      }
    } else {
      switch (ev.number) {
        case FM_EVENT_FILE_UPLOADED:
          owner->OnFileUploaded(ev.info, &ev.outFlag);
          break;
        case FM_EVENT_DOWNLOAD_FAILED:
          owner->OnDownloadFail(ev.code);
          break;
        case FM_EVENT_DOWNLOAD_COMPLETE:
          owner->OnDownloadComplete();
          break;
        case FM_EVENT_STOPPED:
          owner->OnAppStop(ev.code);
          break;
        default:
          break;
      }
    }
  } catch (const std::exception& e) {
    WriteLogF("NUVSAPIObjEvent event %d handler failed: %s", ev.number, e.what());
    ev.declined = true;
  } catch (...) {
    WriteLogF("NUVSAPIObjEvent event %d handler failed", ev.number);
    ev.declined = true;
  }
}

bool NUVSAPIObjEvent::EventsHandled() {
  CAppEventHandler* owner;
  {
    std::lock_guard<std::mutex> g(mu_);
    owner = owner_;
  }
  if (kind_ != Source::kApp) return true;
  if (!owner) return false;  // nobody can make them safe now
  try {
    return owner->OnMessagesHandled();
  } catch (const std::exception& e) {
    WriteLogF("NUVSAPIObjEvent settling the messages failed: %s", e.what());
  } catch (...) {
    WriteLogF("NUVSAPIObjEvent settling the messages failed");
  }
  return false;
}

}  // namespace nuv
