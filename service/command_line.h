#pragma once
// Reading the role keywords off the process's command line. The scan looks
// for every '-' or '/' and compares the whole rest of the line, ignoring
// case, with the keywords; so a keyword counts only when it ends the line,
// and a hyphen or slash inside a path matches nothing and is passed over.
// Pure functions; any thread.

#include <string>

namespace nuv {

// What the command line asks the executable to do.
struct CommandLineAction {
  enum Role {
    kNone,         // no registration keyword: run the watchdog (or the worker)
    kUnregServer,  // remove the registration and the service, then exit
    kRegServer,    // register without a service, then exit
    kService,      // register as a service, then exit
    kStatus,       // print the running worker's status, then exit
  };
  Role role = kNone;
  bool child = false;  // "/Child" ended the line: run the worker
};

// Scans a whole command line, program path included.
CommandLineAction ScanCommandLine(const std::string& line);

// Rebuilds the command line from argv the way the platform that started the
// service shows it: the program path in double quotes, then each argument
// after one blank. The quote after the path keeps a program that happens to
// be called "Child" from reading as the keyword.
std::string JoinCommandLine(int argc, const char* const* argv);

}  // namespace nuv
