#pragma once
// Log lines of the push channel: a narrow printf-style UTF-8 text written as
// one line of the common log, formatted as WriteLogF does (every value
// escaped and cut). Any thread.

namespace nuv {

void PushLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nuv
