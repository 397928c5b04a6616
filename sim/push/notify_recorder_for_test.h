#pragma once
// Test helper: plain-function notify and token callbacks for a GapHubLogic
// that record what the push client delivered. One recorder per test binary;
// the push thread writes, the test thread reads, both under its mutex.

#include <cstdint>
#include <mutex>
#include <vector>

#include "cloud/ondeko_records.h"

namespace nuv {
namespace sim {
namespace test_recorder {

inline std::mutex& Mu() {
  static std::mutex mu;
  return mu;
}
inline std::vector<OndekoMsgItem>& Items() {
  static std::vector<OndekoMsgItem> items;
  return items;
}
inline void OnNotify(uint64_t, OndekoMsgItem* item) {
  std::lock_guard<std::mutex> g(Mu());
  Items().push_back(*item);
}
inline int OnToken(uint64_t) { return 0; }
inline void Clear() {
  std::lock_guard<std::mutex> g(Mu());
  Items().clear();
}

}  // namespace test_recorder
}  // namespace sim
}  // namespace nuv
