#pragma once
// The change detection of the presence sync: which users newly appear in a
// presence state since the previous run. Each state remembers its last list
// in a small file (online.txt, offline.txt, away.txt) in the sync directory.
// Used by the directory sync thread through SyncDept; no shared state.

#include <string>
#include <vector>

namespace nuv {

// Presence states as DiffPresenceList numbers them.
constexpr int kPresenceOffline = 0;
constexpr int kPresenceOnline = 1;
constexpr int kPresenceAway = 2;

// The names of a presence list text: every piece that ends with ';' (an
// empty piece between two separators included); text after the last ';' is
// not a name.
std::vector<std::string> SplitPresenceNames(const std::string& text);

// Names of newText that are not in previousText (exact comparison), in
// newText's order; a name listed twice is returned twice.
std::vector<std::string> NewPresenceNames(const std::string& newText,
                                          const std::string& previousText);

// The file that remembers a state's list ("online.txt"...), or nullptr for a
// state outside the three.
const char* PresenceFileName(int state);

// Compares text with the state's previous list in dir (empty dir: the sync
// configuration directory), puts the new names into names and rewrites the
// state's file with text. 0, or -1 for an unknown state.
int DiffPresenceList(const std::string& text, int state, std::vector<std::string>& names,
                     const std::string& dir = "");

}  // namespace nuv
