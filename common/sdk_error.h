#pragma once
// The error the IM server SDK layer raises from its failing operations: a
// 32-bit code and a message, as a component error carries.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nuv {

class NuvSdkError : public std::runtime_error {
 public:
  NuvSdkError(uint32_t code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  uint32_t code() const { return code_; }
  // The message text for the code (UTF-8).
  std::string message() const { return what(); }

 private:
  uint32_t code_;
};

// "%s:%d 发生com异常:Code = %08lx Code meaning = %s": the catching source
// file, its line, the error code in eight hex digits and its message with a
// trailing line break removed.
std::wstring FormatComError(const char* file, int line, const NuvSdkError& err);

}  // namespace nuv
