#include "common/str_format.h"

#include <cwchar>
#include <vector>

namespace nuv {

std::string StrFormatV(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  vsnprintf(big.data(), big.size(), fmt, ap);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string StrFormat(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = StrFormatV(fmt, ap);
  va_end(ap);
  return s;
}

std::wstring WStrFormat(const wchar_t* fmt, ...) {
  // vswprintf reports truncation only as -1 (as it does an encoding error),
  // so grow until it fits, up to a bound.
  std::vector<wchar_t> buf(512);
  while (buf.size() <= (1u << 22)) {
    va_list ap;
    va_start(ap, fmt);
    int n = vswprintf(buf.data(), buf.size(), fmt, ap);
    va_end(ap);
    if (n >= 0) return std::wstring(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 4);
  }
  return std::wstring();
}

}  // namespace nuv
