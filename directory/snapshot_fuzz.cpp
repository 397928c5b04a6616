// Fuzz target: what the directory sync reads from files it does not control:
// a previous snapshot compared with a new one, the IM server's configuration
// text, and presence list texts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text_conv.h"
#include "directory/db_processor.h"
#include "directory/presence_diff.h"
#include "directory/snapshot_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  const size_t half = size / 2;
  const std::string a = s.substr(0, half), b = s.substr(half);
  nuv::RemovalCount c = nuv::CountRemovedDepts(a, b);
  if (c.removed > c.previous) __builtin_trap();
  c = nuv::CountRemovedUsers(a, b);
  if (c.removed > c.previous) __builtin_trap();
  nuv::RemovalBlocked(c, static_cast<long>(size % 120));
  nuv::FindDBConnstring(nuv::Utf8ToWide(s));
  if (nuv::NewPresenceNames(a, b).size() > nuv::SplitPresenceNames(a).size()) __builtin_trap();
  return 0;
}
