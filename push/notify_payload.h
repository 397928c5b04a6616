#pragma once
// Decoder of the tag-length-value payload of a notify item into an
// OndekoMsgItem. Pure; any thread.
//
// A field is a uint16 tag, a uint8 type and a value shaped by the type
// (1 uint16, 2 uint32, 3 string, 4 uint8, 5 uint64, 6..10 uint32 count then
// that many uint16 / uint32 / strings / uint8 / uint64; strings are a uint32
// length and the bytes). A field of any other type has no value. Known tags
// arriving with their own type fill the record; every other field is read
// and dropped.

#include <cstddef>
#include <cstdint>

#include "cloud/ondeko_records.h"

namespace nuv {

// TLV tags and types of the payload.
enum NotifyTag : uint16_t {
  kTagMsgId = 1, kTagCurUserId = 2, kTagChatId = 3, kTagChatName = 4, kTagToUserIdList = 5,
  kTagSkipUserIdList = 6, kTagContent = 7, kTagImageIdList = 8, kTagFileIdList = 9,
  kTagCreateTime = 10, kTagMsgType = 11,
};
enum NotifyFieldType : uint8_t {
  kTlvU16 = 1, kTlvU32 = 2, kTlvString = 3, kTlvU8 = 4, kTlvU64 = 5, kTlvU16Array = 6,
  kTlvU32Array = 7, kTlvStringArray = 8, kTlvU8Array = 9, kTlvU64Array = 10,
};

// Decodes bytes[0, length) into *record (fields are set or appended as they
// arrive). Returns 0; -1 when record or bytes is null or length is below 1;
// -2 when a field's value runs past the end of the payload (the record then
// holds what was decoded before that field).
int ParseFromBuffer(OndekoMsgItem* record, const uint8_t* bytes, int length);

}  // namespace nuv
