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

#include <cstdint>
#include <string>
#include <vector>

#include "cloud/cloud_settings.h"

namespace nuv {

using HeaderList = std::vector<std::string>;  // "Name: value" lines

// POST of body (may be empty, then zero bytes go out) with libcurl's default
// form content type; the reply body is appended to reply.
int HttpPost(const std::string& url, const HeaderList& headers, const std::string& body,
             std::string& reply, const CloudSettings& opt);

// multipart/form-data POST with exactly one part "file" holding localPath
// (the part's file name is its base name); the reply body is appended to reply.
int HttpPostFile(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& reply, const CloudSettings& opt);

// GET; the body goes to localPath, created (truncated) only when the first
// body bytes arrive; every reply header line is appended to replyHeaders.
int HttpDownload(const std::string& url, const HeaderList& headers, const std::string& localPath,
                 std::string& replyHeaders, const CloudSettings& opt);

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
