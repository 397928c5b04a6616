#pragma once
// The one log channel: WriteLog appends one timestamped line to the monthly
// file <logs>/YYYY-MM.log (UTF-8, byte-order mark first, CR LF endings). Both
// the watchdog and the worker write the same files; each line is one append.
// Any thread; all threads of a process serialise on one log lock.
//
// Lines can be trusted: control characters (CR, LF and the rest below 0x20)
// in what is logged are written as escapes (\r, \n, \t, \xNN), so a message
// text from outside cannot forge a line, and every value put into a line by
// WriteLogF is cut to kMaxLogValueBytes.
//
// The files are bounded: a monthly file that would grow past the size limit
// is renamed YYYY-MM.1.log (the older ones shift to .2, .3 ... and the oldest
// beyond the kept count is removed) and a new one begins; files of months
// older than the kept months are removed. The settings are in config.ini
// beside the logs, section [General]: MaxFileMB (default 100, 0 = no limit),
// RotatedFiles (default 5) and KeepMonths (default 12, the current month
// included; 0 = keep every month).

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <string>

namespace nuv {

// The longest value WriteLogF puts into a line, in bytes; a longer one is cut
// (at a character boundary) and marked with "...(+N bytes)".
constexpr size_t kMaxLogValueBytes = 4096;

// Writes msg at level (0 normal, 99 debug: written with the "DEBUG:" prefix).
// Lines whose level exceeds the configured level (config.ini [General] Level,
// default 1, read once per process) are dropped. Never fails towards the
// caller: a log that cannot be written loses the line. Control characters in
// msg are escaped.
void WriteLog(std::wstring msg, int level = 0);

// Formats with printf rules over UTF-8 text and writes at level 0. "%llu"
// replaces the Windows "%I64u". The format is the service's own text and is
// written as it is; every %s and %c value is escaped and cut as above.
void WriteLogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void WriteLogV(const char* fmt, va_list ap);
// The text WriteLogF writes for these arguments (without time stamp).
std::string FormatLogText(const char* fmt, va_list ap);

// One value as a log line shows it: control characters escaped, cut to
// maxBytes.
std::string EscapeLogValue(const std::string& value, size_t maxBytes = kMaxLogValueBytes);

// A secret (session key, token, file key) as the log shows it: "..." and its
// last four characters, enough to tell two values apart and nothing more.
std::string SecretTail(const std::string& secret);
std::string SecretTail(unsigned long long secret);

// The line exactly as written (without the byte-order mark), for tests.
std::string FormatLogLine(const std::tm& local, unsigned long tid, const std::wstring& msg);

// Forgets the cached settings (level, size limit, retention) so that the next
// line reads config.ini again (the installation root changed, or the file
// did).
void RereadLogLevel();

}  // namespace nuv
