#include "cloud/http_transport.h"

#include <curl/curl.h>
#include <curl/header.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "common/log.h"

namespace nuv {
namespace {

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

struct MimeDeleter {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};
using MimePtr = std::unique_ptr<curl_mime, MimeDeleter>;

// This thread's handle and its reuse switch; touched only by the owning thread.
thread_local EasyPtr tlsHandle;
thread_local bool tlsReuse = true;
// HTTP status of this thread's last transfer (0: none received).
thread_local long tlsLastStatus = 0;
// Longest Retry-After of this thread's throttled replies since the last take.
thread_local int64_t tlsRetryAfterSec = 0;

// One easy handle for one request: the thread's own one (options reset,
// connections kept) or, with reuse off, a fresh one released afterwards.
class RequestHandle {
 public:
  RequestHandle() {
    CurlGlobalInit();
    if (tlsReuse) {
      if (!tlsHandle)
        tlsHandle.reset(curl_easy_init());
      else
        curl_easy_reset(tlsHandle.get());
      h_ = tlsHandle.get();
    } else {
      own_.reset(curl_easy_init());
      h_ = own_.get();
    }
  }
  CURL* get() const { return h_; }

 private:
  EasyPtr own_;
  CURL* h_ = nullptr;
};

size_t AppendToString(char* data, size_t size, size_t nmemb, void* user) {
  static_cast<std::string*>(user)->append(data, size * nmemb);
  return size * nmemb;
}

// Watches one transfer for a stall: progress is any change of the byte
// counts. Measured on the steady clock, not the service clock: it bounds a
// real socket wait, like libcurl's own connect time-out.
struct StallWatch {
  using Clock = std::chrono::steady_clock;
  long limitMs;
  const std::function<bool()>* cancel;  // the caller's cancel check, or unset
  curl_off_t lastTotal = -1;
  Clock::time_point lastMove = Clock::now();
  bool fired = false;
};

int OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
               curl_off_t ulnow) {
  (void)dltotal;
  (void)ultotal;
  auto* w = static_cast<StallWatch*>(user);
  if (*w->cancel && (*w->cancel)()) return 1;  // abandoned by the caller
  auto now = StallWatch::Clock::now();
  curl_off_t total = dlnow + ulnow;
  if (total != w->lastTotal) {
    w->lastTotal = total;
    w->lastMove = now;
    return 0;
  }
  auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - w->lastMove).count();
  if (idle < w->limitMs) return 0;
  w->fired = true;
  return 1;  // aborts the transfer
}

// Keeps the Retry-After of the last reply on h, if it has one.
void NoteRetryAfter(CURL* h) {
  curl_header* header = nullptr;
  if (curl_easy_header(h, "Retry-After", 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header) return;
  const int64_t sec = ParseRetryAfter(header->value ? header->value : "", GetClock().Now());
  tlsRetryAfterSec = std::max(tlsRetryAfterSec, sec);
}

// Runs the transfer; a stall abort is reported as libcurl's time-out.
CURLcode Perform(CURL* h, const CloudSettings& opt) {
  tlsLastStatus = 0;
  if (opt.cancel && opt.cancel()) return CURLE_ABORTED_BY_CALLBACK;
  StallWatch watch{opt.stall_timeout_ms, &opt.cancel};
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch);
  CURLcode rc = curl_easy_perform(h);
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) tlsLastStatus = status;
  if (status == 408 || status == 429 || status == 503) NoteRetryAfter(h);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, nullptr);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
  if (rc == CURLE_ABORTED_BY_CALLBACK && watch.fired) rc = CURLE_OPERATION_TIMEDOUT;
  return rc;
}

void WarnOnceUnverified() {
  static std::once_flag once;
  std::call_once(once, [] {
    WriteLogF(
        "COndekoHttp TLS verification is off ([cloud] verify_tls = false): "
        "the cloud's certificate and host name are not checked");
  });
}

// Options every request shares: URL, headers, TLS, time-outs, no redirects.
void SetCommonOptions(CURL* h, const std::string& url, curl_slist* headers,
                      const CloudSettings& opt) {
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, opt.connect_timeout_ms);
  // Under 1 byte/s for the stall limit also ends a transfer (a trickle that
  // the no-byte watch in Perform would let through).
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, opt.stall_timeout_ms / 1000));
  if (opt.verify_tls) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!opt.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, opt.ca_file.c_str());
  } else {
    WarnOnceUnverified();
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  }
}

SlistPtr MakeHeaderList(const HeaderList& headers) {
  curl_slist* list = nullptr;
  for (const std::string& line : headers) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) break;
    list = next;
  }
  return SlistPtr(list);
}

// Body sink of a download: opens the file at the first bytes.
struct DownloadSink {
  const std::string* path;
  FILE* file = nullptr;
  ~DownloadSink() {
    if (file) std::fclose(file);
  }
};

size_t WriteToFile(char* data, size_t size, size_t nmemb, void* user) {
  auto* sink = static_cast<DownloadSink*>(user);
  size_t n = size * nmemb;
  if (n == 0) return 0;
  if (!sink->file) {
    sink->file = std::fopen(sink->path->c_str(), "wb");
    if (!sink->file) return 0;  // fails the transfer
  }
  return std::fwrite(data, 1, n, sink->file);
}

}  // namespace

void CurlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void SetConnectionReuse(bool on) {
  tlsReuse = on;
  if (!on) tlsHandle.reset();
}

long LastHttpStatus() { return tlsLastStatus; }

int64_t TakeRetryAfterSec() {
  const int64_t sec = tlsRetryAfterSec;
  tlsRetryAfterSec = 0;
  return sec;
}

int64_t ParseRetryAfter(const std::string& value, int64_t now) {
  static const char kSpace[] = " \t\r\n";
  const size_t b = value.find_first_not_of(kSpace);
  if (b == std::string::npos) return 0;
  const std::string v = value.substr(b, value.find_last_not_of(kSpace) - b + 1);
  int64_t sec = 0;
  if (v.find_first_not_of("0123456789") == std::string::npos) {
    // Delta seconds; more digits than any sane wait only means "long".
    sec = v.size() > 9 ? kMaxRetryAfterSec : std::stoll(v);
  } else {
    const time_t when = curl_getdate(v.c_str(), nullptr);
    if (when == static_cast<time_t>(-1)) return 0;
    sec = static_cast<int64_t>(when) - now;
  }
  return std::min(std::max<int64_t>(sec, 0), kMaxRetryAfterSec);
}

std::string CurlErrorText(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }

int HttpPost(const std::string& url, const HeaderList& headers, const std::string& body,
             std::string& reply, const CloudSettings& opt) {
  RequestHandle rh;
  CURL* h = rh.get();
  if (!h) return CURLE_FAILED_INIT;
  SlistPtr list = MakeHeaderList(headers);
  SetCommonOptions(h, url, list.get(), opt);
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  CURLcode rc = Perform(h, opt);
  // The handle stays with the thread; drop pointers into this call's data.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  return rc;
}

int HttpPostFile(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& reply, const CloudSettings& opt) {
  RequestHandle rh;
  CURL* h = rh.get();
  if (!h) return CURLE_FAILED_INIT;
  MimePtr form(curl_mime_init(h));
  if (!form) return CURLE_OUT_OF_MEMORY;
  curl_mimepart* part = curl_mime_addpart(form.get());
  curl_mime_name(part, "file");
  CURLcode rc = curl_mime_filedata(part, localPath.c_str());
  if (rc != CURLE_OK) return rc;
  SlistPtr list = MakeHeaderList(headers);
  SetCommonOptions(h, url, list.get(), opt);
  curl_easy_setopt(h, CURLOPT_MIMEPOST, form.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  rc = Perform(h, opt);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h, CURLOPT_MIMEPOST, nullptr);
  return rc;
}

int HttpDownload(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& replyHeaders, const CloudSettings& opt) {
  RequestHandle rh;
  CURL* h = rh.get();
  if (!h) return CURLE_FAILED_INIT;
  SlistPtr list = MakeHeaderList(headers);
  SetCommonOptions(h, url, list.get(), opt);
  CURLcode rc;
  {
    DownloadSink sink{&localPath};
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, AppendToString);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &replyHeaders);
    rc = Perform(h, opt);
    if (sink.file && std::fclose(sink.file) != 0 && rc == CURLE_OK) rc = CURLE_WRITE_ERROR;
    sink.file = nullptr;
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  return rc;
}

}  // namespace nuv
