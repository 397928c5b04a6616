#include "im/wire_stream.h"

#include <vector>

#include "im/net_socket.h"

namespace nuv {
namespace {
// Room the reader keeps between frames; what a large body needed beyond it
// goes back once that body has been handed on.
constexpr size_t kKeptCapacity = 1 << 20;
}  // namespace

std::string ReadWireFrames(int fd, const std::function<void(WireFrame&)>& onFrame) {
  std::string buf;
  std::vector<char> chunk(64 * 1024);
  size_t start = 0;  // first unconsumed byte of buf
  size_t frameNeed = 0;  // bytes of the frame being received (0: unknown or none)
  for (;;) {
    long n = net::RecvSome(fd, chunk.data(), chunk.size());
    if (n == 0) return "closed";
    if (n < 0) return "receive failed";
    buf.append(chunk.data(), static_cast<size_t>(n));
    for (;;) {
      WireFrame frame;
      size_t used = 0;
      std::string error;
      size_t needed = 0;
      WireStatus st = DecodeWireFrame(buf.data() + start, buf.size() - start, &frame, &used, &error, &needed);
      if (st == WireStatus::kBad) return error;
      if (st == WireStatus::kNeedMore) {
        // A large body: make room once instead of growing step by step.
        if (needed > 0 && buf.capacity() < start + needed) buf.reserve(start + needed);
        frameNeed = needed;
        break;
      }
      frameNeed = 0;
      start += used;
      onFrame(frame);
    }
    if (start > 0 && start * 2 >= buf.size()) {
      buf.erase(0, start);
      start = 0;
    }
    // A connection that carried one large file must not keep its room
    // resident for the rest of its life.
    if (buf.capacity() > kKeptCapacity && frameNeed <= kKeptCapacity && buf.size() - start <= kKeptCapacity) {
      std::string rest(buf, start);
      buf.swap(rest);
      start = 0;
    }
  }
}

}  // namespace nuv
