#include "common/port_arg.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace nuv {

bool ParsePortArg(const char* text, uint16_t& port) {
  if (!text || !std::isdigit(static_cast<unsigned char>(*text))) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || !end || *end != '\0' || v < 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace nuv
