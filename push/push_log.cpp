#include "push/push_log.h"

#include <cstdarg>

#include "common/log.h"

namespace nuv {

void PushLog(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  WriteLogV(fmt, ap);
  va_end(ap);
}

}  // namespace nuv
