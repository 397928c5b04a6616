#include "common/sdk_error.h"

#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {

std::wstring FormatComError(const char* file, int line, const NuvSdkError& err) {
  std::string meaning = err.message();
  while (!meaning.empty() && (meaning.back() == '\n' || meaning.back() == '\r')) meaning.pop_back();
  return Utf8ToWide(StrFormat("%s:%d 发生com异常:Code = %08lx Code meaning = %s", file ? file : "",
                              line, static_cast<unsigned long>(err.code()), meaning.c_str()));
}

}  // namespace nuv
