#pragma once
// GUIDs for messages delivered into the IM: message keys and the
// "im_message_id" of the message content. Random (version 4) GUIDs drawn from
// the system's cryptographic random source. Pure apart from that source; any
// thread.

#include <cstdint>
#include <string>

namespace nuv {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};

// A new random GUID.
Guid NewGuid();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters, upper-case hex.
std::wstring FormatGuid(const Guid& g);

// The GUID's 16 bytes in its in-memory order: data1, data2 and data3
// little-endian, then data4.
void GuidBytes(const Guid& g, uint8_t out[16]);

}  // namespace nuv
