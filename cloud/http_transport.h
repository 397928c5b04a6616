#pragma once
// The HTTPS transport of the cloud client: three calls over libcurl. Each
// returns libcurl's result code (0 = transfer done; 2 when no handle could be
// made); CurlErrorText gives the text for a code.
//
// Connection reuse: every thread keeps one libcurl handle and reuses it for
// its next request, so successive requests to the same host skip the TCP and
// TLS handshakes. SetConnectionReuse(false) makes the calling thread use a
// fresh handle per request (benchmarks compare the two).
//
// TLS is verified unless the options say otherwise; a transfer that cannot
// connect within connect_timeout_ms, that moves no byte in either direction
// for stall_timeout_ms, or that averages under 1 byte/s over that time, fails
// with libcurl's time-out code (28). A transfer whose options' cancel check
// turns true ends within about a second with code 42 (aborted by callback).
// Transfers that keep moving are not limited in total time. Any thread; libcurl's
// global state is set up once per process on first use.
//
// Only https URLs are fetched (plain http only to a loopback host with
// verify_tls off, for a lab); any other URL - http to another host, file://,
// another protocol - is refused before a connection is made, with
// CURLE_UNSUPPORTED_PROTOCOL (1). Redirects are not followed. A reply body
// beyond opt.max_reply_bytes, reply headers beyond kMaxReplyHeaderBytes or a
// download beyond its maxBytes end the transfer with CURLE_FILESIZE_EXCEEDED
// (63).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cloud/cloud_settings.h"

namespace nuv {

using HeaderList = std::vector<std::string>;  // "Name: value" lines

constexpr size_t kMaxReplyHeaderBytes = 64 * 1024;

// The parts of a URL the transport's rules look at; host in lower case,
// port filled in from the scheme when the URL has none.
struct UrlParts {
  std::string scheme;
  std::string host;
  long port = 0;
};
bool ParseUrl(const std::string& url, UrlParts& out);
// Whether the transport fetches url under opt (rule above); false with the
// reason in why.
bool UrlAllowed(const std::string& url, const CloudSettings& opt, std::string* why);
// Whether url points at hostPort ("host" or "host:port", https port 443 by
// default): the same host name and port.
bool UrlIsOnHost(const std::string& url, const std::string& hostPort);

// POST of body (may be empty, then zero bytes go out) with libcurl's default
// form content type; the reply body is appended to reply.
int HttpPost(const std::string& url, const HeaderList& headers, const std::string& body,
             std::string& reply, const CloudSettings& opt);

// multipart/form-data POST with exactly one part "file" holding localPath
// (the part's file name is its base name); the reply body is appended to reply.
int HttpPostFile(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& reply, const CloudSettings& opt);

// GET; the body goes to localPath, created afresh (never through a link left
// at the name) only when the first body bytes arrive; every reply header line
// is appended to replyHeaders. maxBytes (0: no limit) bounds the body: a
// larger one ends the transfer with code 63 and leaves the partial file.
int HttpDownload(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& replyHeaders, const CloudSettings& opt, uint64_t maxBytes = 0);

// HTTP status of the calling thread's last transfer; 0 when it received none
// (no connection, time-out before the status line).
long LastHttpStatus();

// The longest wait, in seconds, that replies to this thread with HTTP status
// 408, 429 or 503 asked for in their Retry-After header (delta seconds or an
// HTTP date) since the thread's last call; 0 when none did. Capped at
// kMaxRetryAfterSec. Each call starts the count again: the queue worker
// calls it before and after one handler.
constexpr int64_t kMaxRetryAfterSec = 3600;
int64_t TakeRetryAfterSec();
// The delay a Retry-After value asks for at now (seconds since 1970): the
// number of seconds, or the date minus now; 0 for a date already past or a
// value that is neither. Capped at kMaxRetryAfterSec.
int64_t ParseRetryAfter(const std::string& value, int64_t now);

// libcurl's text for a result code.
std::string CurlErrorText(int code);

// Per-thread switch (default on): reuse this thread's handle and connections.
void SetConnectionReuse(bool on);

// libcurl's process-wide initialisation; idempotent and thread-safe. Called
// by the transport itself; the worker may call it early, before threads start.
void CurlGlobalInit();

}  // namespace nuv
