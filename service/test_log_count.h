#pragma once
// Test helper of the service tests: how many log lines of an install root
// contain a text.

#include <string>

#include "common/test_support.h"

namespace nuv {
namespace test {

inline int CountLogLines(const TempInstallRoot& root, const std::string& needle) {
  int n = 0;
  for (auto& l : root.LogLines())
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}

}  // namespace test
}  // namespace nuv
