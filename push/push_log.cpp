#include "push/push_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/log.h"
#include "common/text_conv.h"

namespace nuv {

void PushLog(const char* fmt, ...) {
  char buf[10240];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  WriteLog(Utf8ToWide(std::string(buf)), 0);
}

}  // namespace nuv
