#pragma once
// Log lines of the push channel: a narrow printf-style text, formatted into a
// 10240-byte buffer (longer output is cut), converted from UTF-8 and written
// as one line of the common log. Any thread.

namespace nuv {

void PushLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nuv
