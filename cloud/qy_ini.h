#pragma once
// The credentials file qy.ini: three lines "skey:...", "refresh_token:...",
// "vid:<decimal>". Parsing and formatting are pure; loading and saving take a
// process-wide lock so that one thread never reads the file half-way through
// another's rewrite, and saving goes through a temporary file and a rename.
// Loading keeps what it parsed and reads the file again only when it has
// changed (identity, size, modification or status-change time differ, or it
// changed too recently to tell). Any thread.

#include <cstdint>
#include <string>

namespace nuv {

struct Credentials {
  std::string skey;
  std::string refresh_token;
  uint64_t vid = 0;
};

// Line rules: a line holding "vid:" anywhere is the vid line; else one
// holding "skey:" is the skey line; else one holding "refresh_token:" is the
// refresh-token line; others are ignored. The value is the rest of the line
// after the key text, without a trailing CR. A later line of a kind wins.
Credentials ParseQyIni(const std::string& text);
// The three lines in the order skey, refresh_token, vid.
std::string FormatQyIni(const Credentials& c);

// Reads <dir>qy.ini; false (and empty credentials) when it cannot be read.
// Credentials kept in memory by a failed save (below) are returned instead
// of the file's as long as the file stays as it was then.
bool LoadQyIni(const std::string& path, Credentials& out);
// Replaces the file (0600 when new, else keeping its mode); 0, or -1 when it
// cannot be written (old file untouched). With keepOnFailure, a failed save
// keeps c in memory for every later LoadQyIni of this path in the process
// until a save succeeds or the file is changed from outside; firstFailure
// then tells whether the save before this one had succeeded.
int SaveQyIni(const std::string& path, const Credentials& c, bool keepOnFailure = false,
              bool* firstFailure = nullptr);

}  // namespace nuv
