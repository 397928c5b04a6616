// nuv_journal: lists the worker's journal of accepted work for the operator.
//   nuv_journal [--root INSTALL_ROOT | JOURNAL_FILE]
// One line per entry (id, kind, queue, state, age, times parked, next due,
// the item). The file is opened read-only and may be in use by the running
// worker; nothing in it changes. Without arguments it reads journal.db in
// the configuration directory of the installation this program lives in.
#include <cstring>
#include <iostream>
#include <string>

#include "common/clock.h"
#include "common/paths.h"
#include "processor/journal.h"

int main(int argc, char** argv) {
  std::string file, root;
  bool bad = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
    } else if (argv[i][0] == '-' || !file.empty()) {
      bad = true;
    } else {
      file = argv[i];
    }
  }
  if (bad || (!file.empty() && !root.empty())) {
    std::cerr << "usage: " << argv[0] << " [--root INSTALL_ROOT | JOURNAL_FILE]\n";
    return 2;
  }
  if (file.empty()) {
    if (!root.empty()) nuv::SetInstallRoot(root);
    file = nuv::GetConfigDirA() + nuv::kJournalFileName;
  }
  return nuv::ListJournal(file, nuv::GetClock().Now(), std::cout, std::cerr);
}
