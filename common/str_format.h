#pragma once
// printf-style formatting into std::string / std::wstring. The narrow forms
// take UTF-8 formats and arguments; "%llu" prints what the Windows "%I64u"
// would. Stateless; any thread.

#include <cstdarg>
#include <string>

namespace nuv {

std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string StrFormatV(const char* fmt, va_list ap);
// Wide formatting: note that glibc's wide printf wants %ls for wchar_t* and
// %s for char*.
std::wstring WStrFormat(const wchar_t* fmt, ...);

}  // namespace nuv
