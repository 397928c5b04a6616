#pragma once
// The one log channel: WriteLog appends one timestamped line to the monthly
// file <logs>/YYYY-MM.log (UTF-8, byte-order mark first, CR LF endings). Both
// the watchdog and the worker write the same files; each line is one append.
// Any thread; all threads of a process serialise on one log lock.

#include <cstdint>
#include <ctime>
#include <string>

namespace nuv {

// Writes msg at level (0 normal, 99 debug: written with the "DEBUG:" prefix).
// Lines whose level exceeds the configured level (config.ini [General] Level,
// default 1, read once per process) are dropped. Never fails towards the
// caller: a log that cannot be written loses the line.
void WriteLog(std::wstring msg, int level = 0);

// Formats with printf rules over UTF-8 text and writes at level 0. "%llu"
// replaces the Windows "%I64u".
void WriteLogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The line exactly as written (without the byte-order mark), for tests.
std::string FormatLogLine(const std::tm& local, unsigned long tid, const std::wstring& msg);

// Forgets the cached level so that the next line reads config.ini again (the
// installation root changed, or the file did).
void RereadLogLevel();

}  // namespace nuv
