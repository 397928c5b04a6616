#include "im/guid.h"

#include <openssl/rand.h>

#include <cstdio>
#include <random>

namespace nuv {
namespace {

void RandomBytes(uint8_t* out, size_t n) {
  if (RAND_bytes(out, static_cast<int>(n)) == 1) return;
  // The library's generator could not be seeded: the kernel's source then.
  std::random_device rd;
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(rd());
}

}  // namespace

Guid NewGuid() {
  uint8_t b[16];
  RandomBytes(b, sizeof(b));
  Guid g;
  g.data1 = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
            static_cast<uint32_t>(b[2]) << 8 | b[3];
  g.data2 = static_cast<uint16_t>(b[4] << 8 | b[5]);
  g.data3 = static_cast<uint16_t>(((b[6] << 8 | b[7]) & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
  g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);  // variant 1
  return g;
}

std::wstring FormatGuid(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2),
                static_cast<unsigned>(g.data3), g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return std::wstring(buf, buf + 38);
}

void GuidBytes(const Guid& g, uint8_t out[16]) {
  out[0] = static_cast<uint8_t>(g.data1);
  out[1] = static_cast<uint8_t>(g.data1 >> 8);
  out[2] = static_cast<uint8_t>(g.data1 >> 16);
  out[3] = static_cast<uint8_t>(g.data1 >> 24);
  out[4] = static_cast<uint8_t>(g.data2);
  out[5] = static_cast<uint8_t>(g.data2 >> 8);
  out[6] = static_cast<uint8_t>(g.data3);
  out[7] = static_cast<uint8_t>(g.data3 >> 8);
  for (int i = 0; i < 8; ++i) out[8 + i] = g.data4[i];
}

}  // namespace nuv
