#pragma once
// Frames of the IM server protocol (docs/im-protocol.md): one JSON object on
// one line, whose members are all strings (numbers are accepted on input and
// kept as their decimal text), optionally followed by exactly "bytes" raw
// bytes. Encoding and decoding are pure functions over bytes; used by the SDK
// client connections and by the IM server simulator on their own threads.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace nuv {

// The named fields of one frame (UTF-8 texts).
class WireFields {
 public:
  WireFields() = default;
  WireFields(std::initializer_list<std::pair<const std::string, std::string>> init) : map_(init) {}

  void Set(const std::string& name, const std::string& value) { map_[name] = value; }
  void SetInt(const std::string& name, long long value) { map_[name] = std::to_string(value); }
  bool Has(const std::string& name) const { return map_.count(name) != 0; }
  // The field's text, or def when absent.
  std::string Get(const std::string& name, const std::string& def = std::string()) const;
  // The field's leading decimal number, or def when absent or not a number.
  long long GetInt(const std::string& name, long long def = 0) const;
  const std::map<std::string, std::string>& map() const { return map_; }

 private:
  std::map<std::string, std::string> map_;
};

struct WireFrame {
  WireFields fields;
  std::string body;  // raw bytes after the line ("bytes" of them)
};

// Limits a decoder enforces before it buffers anything further.
constexpr size_t kWireMaxLine = 4u << 20;          // 4 MiB of JSON
constexpr uint64_t kWireMaxBody = 1ull << 30;      // 1 GiB of raw bytes

enum class WireStatus {
  kOk,        // one frame decoded; *consumed bytes used
  kNeedMore,  // the input holds only the start of a frame
  kBad,       // not a frame; *error says why; the stream cannot go on
};

// Encodes one frame. The body's length is written as the "bytes" field when
// the body is not empty (any "bytes" field of the caller is replaced).
std::string EncodeWireFrame(const WireFields& fields, const std::string& body = std::string());

// Decodes the first frame of data[0..len).
WireStatus DecodeWireFrame(const char* data, size_t len, WireFrame* out, size_t* consumed,
                           std::string* error);

}  // namespace nuv
