#include "service/command_line.h"

#include <strings.h>

namespace nuv {

CommandLineAction ScanCommandLine(const std::string& line) {
  CommandLineAction action;
  for (size_t pos = line.find_first_of("-/"); pos != std::string::npos;
       pos = line.find_first_of("-/", pos + 1)) {
    const char* rest = line.c_str() + pos + 1;
    if (::strcasecmp(rest, "UnregServer") == 0) {
      action.role = CommandLineAction::kUnregServer;
      return action;
    }
    if (::strcasecmp(rest, "RegServer") == 0) {
      action.role = CommandLineAction::kRegServer;
      return action;
    }
    if (::strcasecmp(rest, "Service") == 0) {
      action.role = CommandLineAction::kService;
      return action;
    }
    if (::strcasecmp(rest, "Status") == 0) {
      action.role = CommandLineAction::kStatus;
      return action;
    }
    if (::strcasecmp(rest, "Child") == 0) action.child = true;
  }
  return action;
}

std::string JoinCommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    if (i == 0) {
      line = std::string("\"") + argv[0] + "\"";
    } else {
      line += ' ';
      line += argv[i];
    }
  }
  return line;
}

}  // namespace nuv
