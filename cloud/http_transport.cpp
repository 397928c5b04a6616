#include "cloud/http_transport.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <curl/header.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"

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

// Collects a reply body or the header lines, up to a limit; past it the
// transfer fails (a short count) and over is set.
struct BoundedText {
  std::string* text;
  size_t limit;
  size_t taken = 0;  // what this transfer added
  bool over = false;
};

size_t AppendBounded(char* data, size_t size, size_t nmemb, void* user) {
  auto* b = static_cast<BoundedText*>(user);
  const size_t n = size * nmemb;
  if (b->taken + n > b->limit) {
    b->over = true;
    return 0;
  }
  b->text->append(data, n);
  b->taken += n;
  return n;
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "[::1]" || host == "::1") return true;
  in_addr a;
  return ::inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
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

// Perform with the reply body and header lines collected into bounded
// sinks; a sink over its limit makes the result CURLE_FILESIZE_EXCEEDED.
CURLcode PerformBounded(CURL* h, const CloudSettings& opt, BoundedText& body, BoundedText& headers);

// Once per installation the process works for (one in the service; tests
// switch between temporary ones).
void WarnOnceUnverified() {
  static std::mutex mu;
  static std::string warnedFor;  // guarded by mu
  const std::string where = GetLogDirA();
  std::lock_guard<std::mutex> g(mu);
  if (warnedFor == where) return;
  warnedFor = where;
  WriteLogF(
      "COndekoHttp TLS verification is off ([cloud] verify_tls = false): "
      "the cloud's certificate and host name are not checked");
}

// Options every request shares: URL, headers, TLS, time-outs, no redirects.
void SetCommonOptions(CURL* h, const std::string& url, curl_slist* headers,
                      const CloudSettings& opt) {
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  // The second line of defence behind UrlAllowed: libcurl itself speaks
  // nothing else, for redirects neither.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, opt.verify_tls ? "https" : "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
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

CURLcode PerformBounded(CURL* h, const CloudSettings& opt, BoundedText& body, BoundedText& headers) {
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendBounded);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, AppendBounded);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &headers);
  CURLcode rc = Perform(h, opt);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
  if (body.over || headers.over) rc = CURLE_FILESIZE_EXCEEDED;
  return rc;
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
  uint64_t maxBytes;  // 0: no limit
  FILE* file = nullptr;
  uint64_t written = 0;
  bool over = false;
  ~DownloadSink() {
    if (file) std::fclose(file);
  }
};

size_t WriteToFile(char* data, size_t size, size_t nmemb, void* user) {
  auto* sink = static_cast<DownloadSink*>(user);
  size_t n = size * nmemb;
  if (n == 0) return 0;
  if (sink->maxBytes > 0 && sink->written + n > sink->maxBytes) {
    sink->over = true;
    return 0;  // fails the transfer
  }
  if (!sink->file) {
    int fd = CreateFreshFile(*sink->path, 0600);
    if (fd >= 0) sink->file = ::fdopen(fd, "wb");
    if (!sink->file) {
      if (fd >= 0) ::close(fd);
      return 0;  // fails the transfer
    }
  }
  sink->written += n;
  return std::fwrite(data, 1, n, sink->file);
}

// Refuses a URL the rules do not allow, before any connection.
bool Refused(const std::string& url, const CloudSettings& opt) { return !UrlAllowed(url, opt, nullptr); }

}  // namespace

bool ParseUrl(const std::string& url, UrlParts& out) {
  CURLU* u = curl_url();
  if (!u) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  char* scheme = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  if (ok) ok = curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
  if (ok) {
    out.scheme = Lower(scheme);
    // file:// has no host; nothing else here may lack one.
    out.host = curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK ? Lower(host) : "";
    out.port = curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK ? std::atol(port) : 0;
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(u);
  return ok;
}

bool UrlAllowed(const std::string& url, const CloudSettings& opt, std::string* why) {
  UrlParts p;
  std::string reason;
  if (!ParseUrl(url, p)) {
    reason = "not a URL";
  } else if (p.scheme == "https") {
    if (!p.host.empty()) return true;
    reason = "no host";
  } else if (p.scheme == "http") {
    if (!opt.verify_tls && IsLoopbackHost(p.host)) return true;
    reason = opt.verify_tls ? "plain http would send it in clear (only https is used)"
                            : "plain http is used only to this machine (loopback)";
  } else {
    reason = "protocol '" + p.scheme + "' is not https";
  }
  if (why) *why = reason;
  return false;
}

bool UrlIsOnHost(const std::string& url, const std::string& hostPort) {
  UrlParts a, b;
  if (hostPort.empty() || !ParseUrl(url, a) || !ParseUrl("https://" + hostPort, b)) return false;
  return a.host == b.host && a.port == b.port;
}

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
  tlsLastStatus = 0;
  if (Refused(url, opt)) return CURLE_UNSUPPORTED_PROTOCOL;
  RequestHandle rh;
  CURL* h = rh.get();
  if (!h) return CURLE_FAILED_INIT;
  SlistPtr list = MakeHeaderList(headers);
  SetCommonOptions(h, url, list.get(), opt);
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  BoundedText sink{&reply, opt.max_reply_bytes};
  std::string headerText;
  BoundedText headerSink{&headerText, kMaxReplyHeaderBytes};
  CURLcode rc = PerformBounded(h, opt, sink, headerSink);
  // The handle stays with the thread; drop pointers into this call's data.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  return rc;
}

int HttpPostFile(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& reply, const CloudSettings& opt) {
  tlsLastStatus = 0;
  if (Refused(url, opt)) return CURLE_UNSUPPORTED_PROTOCOL;
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
  BoundedText sink{&reply, opt.max_reply_bytes};
  std::string headerText;
  BoundedText headerSink{&headerText, kMaxReplyHeaderBytes};
  rc = PerformBounded(h, opt, sink, headerSink);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h, CURLOPT_MIMEPOST, nullptr);
  return rc;
}

int HttpDownload(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& replyHeaders, const CloudSettings& opt, uint64_t maxBytes) {
  tlsLastStatus = 0;
  if (Refused(url, opt)) return CURLE_UNSUPPORTED_PROTOCOL;
  RequestHandle rh;
  CURL* h = rh.get();
  if (!h) return CURLE_FAILED_INIT;
  SlistPtr list = MakeHeaderList(headers);
  SetCommonOptions(h, url, list.get(), opt);
  CURLcode rc;
  {
    DownloadSink sink{&localPath, maxBytes};
    BoundedText headerSink{&replyHeaders, kMaxReplyHeaderBytes};
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    // A stated length above the limit is refused before the body comes.
    if (maxBytes > 0) curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, AppendBounded);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &headerSink);
    rc = Perform(h, opt);
    if (sink.file && std::fclose(sink.file) != 0 && rc == CURLE_OK) rc = CURLE_WRITE_ERROR;
    sink.file = nullptr;
    if (sink.over || headerSink.over) rc = CURLE_FILESIZE_EXCEEDED;
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  return rc;
}

}  // namespace nuv
