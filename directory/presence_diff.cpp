#include "directory/presence_diff.h"

#include <string_view>
#include <unordered_set>

#include "common/paths.h"
#include "directory/db_processor.h"

namespace nuv {
namespace {

template <typename Fn>
void ForEachName(const std::string& text, Fn fn) {
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(';', start);
    if (pos == std::string::npos) return;
    fn(std::string_view(text).substr(start, pos - start));
    start = pos + 1;
  }
}

}  // namespace

std::vector<std::string> SplitPresenceNames(const std::string& text) {
  std::vector<std::string> names;
  ForEachName(text, [&](std::string_view n) { names.emplace_back(n); });
  return names;
}

std::vector<std::string> NewPresenceNames(const std::string& newText,
                                          const std::string& previousText) {
  // A hash set of the previous names: one lookup per name instead of a scan
  // of the whole previous list.
  std::unordered_set<std::string_view> previous;
  ForEachName(previousText, [&](std::string_view n) { previous.insert(n); });
  std::vector<std::string> names;
  ForEachName(newText, [&](std::string_view n) {
    if (previous.find(n) == previous.end()) names.emplace_back(n);
  });
  return names;
}

const char* PresenceFileName(int state) {
  switch (state) {
    case kPresenceOnline: return "online.txt";
    case kPresenceOffline: return "offline.txt";
    case kPresenceAway: return "away.txt";
    default: return nullptr;
  }
}

int DiffPresenceList(const std::string& text, int state, std::vector<std::string>& names,
                     const std::string& dir) {
  const char* file = PresenceFileName(state);
  if (!file) return -1;
  const std::string path = (dir.empty() ? GetSyncConfigDirA() : dir) + file;
  CDBProcessor files;
  std::string previous;
  if (files.ReadUserListFromFile(path, previous) != 0) previous.clear();
  std::vector<std::string> fresh = NewPresenceNames(text, previous);
  names.insert(names.end(), fresh.begin(), fresh.end());
  files.WriteUserListToFile(path, text);
  return 0;
}

}  // namespace nuv
