#include "im/wire_stream.h"

#include <vector>

#include "im/net_socket.h"

namespace nuv {

std::string ReadWireFrames(int fd, const std::function<void(WireFrame&)>& onFrame) {
  std::string buf;
  std::vector<char> chunk(64 * 1024);
  size_t start = 0;  // first unconsumed byte of buf
  for (;;) {
    long n = net::RecvSome(fd, chunk.data(), chunk.size());
    if (n == 0) return "closed";
    if (n < 0) return "receive failed";
    buf.append(chunk.data(), static_cast<size_t>(n));
    for (;;) {
      WireFrame frame;
      size_t used = 0;
      std::string error;
      WireStatus st = DecodeWireFrame(buf.data() + start, buf.size() - start, &frame, &used, &error);
      if (st == WireStatus::kBad) return error;
      if (st == WireStatus::kNeedMore) break;
      start += used;
      onFrame(frame);
    }
    if (start > 0 && start * 2 >= buf.size()) {
      buf.erase(0, start);
      start = 0;
    }
  }
}

}  // namespace nuv
