// Fuzz target over the journal's decoder: every work-item type on the raw
// input and on the input behind each valid version byte (so that random inputs
// reach the fields); whatever decodes must encode back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "processor/journal_codec.h"

namespace {

void DecodeAll(const uint8_t* data, size_t size) {
  for (int type = 0; type <= 7; ++type) {
    nuv::WorkItem item;
    if (nuv::DecodeWorkPayload(type, data, size, &item) != nuv::JournalDecode::kOk) continue;
    const std::string again = nuv::EncodeWorkPayload(item);
    if (again.size() != size || again.compare(0, size, reinterpret_cast<const char*>(data), size) != 0) std::abort();
  }
  nuv::CQueueMsg msg;
  nuv::DecodeQueueMsg(data, size, &msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecodeAll(data, size);
  for (const char version : {'\x01', '\x02'}) {
    std::string versioned(1, version);
    versioned.append(reinterpret_cast<const char*>(data), size);
    DecodeAll(reinterpret_cast<const uint8_t*>(versioned.data()), versioned.size());
  }
  return 0;
}
