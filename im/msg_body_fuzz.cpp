// Fuzz target: message bodies and wire frames from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text_conv.h"
#include "im/msg_body.h"
#include "im/wire_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  std::wstring text;
  std::vector<nuv::CQueueFile> files;
  std::vector<std::wstring> names;
  nuv::ParseMsgBody(nuv::Utf8ToWide(s), L"/tmp", &text, &files, &names);
  nuv::RemoveFormatSpans(nuv::Utf8ToWide(s));
  nuv::WireFrame f;
  size_t used = 0;
  std::string err;
  nuv::DecodeWireFrame(s.data(), s.size(), &f, &used, &err);
  return 0;
}
