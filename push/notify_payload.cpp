#include "push/notify_payload.h"

#include <string>
#include <vector>

#include "push/byte_order.h"

namespace nuv {
namespace {

bool ReadString(ByteReader& r, std::string* out) {
  uint32_t len = 0;
  return r.ReadU32(&len) && r.ReadBytes(len, out);
}

// Reads a count-prefixed array of fixed-size elements and drops it.
bool SkipFixedArray(ByteReader& r, size_t elemSize) {
  uint32_t count = 0;
  if (!r.ReadU32(&count)) return false;
  if (count > r.remaining() / elemSize) return false;
  return r.Skip(static_cast<size_t>(count) * elemSize);
}

// Reads a count-prefixed string array; appends to *out when given.
bool ReadStringArray(ByteReader& r, std::vector<std::string>* out) {
  uint32_t count = 0;
  if (!r.ReadU32(&count)) return false;
  // Every string needs at least its 4-byte length: refuse impossible counts
  // before reserving anything.
  if (count > r.remaining() / 4) return false;
  std::string s;
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadString(r, &s)) return false;
    if (out) out->push_back(s);
  }
  return true;
}

std::vector<std::string>* StringListFor(OndekoMsgItem* rec, uint16_t tag) {
  switch (tag) {
    case kTagToUserIdList: return &rec->to_userid_list;
    case kTagSkipUserIdList: return &rec->skip_userid_list;
    case kTagImageIdList: return &rec->image_id_list;
    case kTagFileIdList: return &rec->file_id_list;
    default: return nullptr;
  }
}

std::string* StringFor(OndekoMsgItem* rec, uint16_t tag) {
  switch (tag) {
    case kTagCurUserId: return &rec->cur_userid;
    case kTagChatId: return &rec->chatid;
    case kTagChatName: return &rec->chatname;
    case kTagContent: return &rec->content;
    default: return nullptr;
  }
}

// Decodes one field's value of the given type; false when it runs past the end.
bool ReadField(ByteReader& r, OndekoMsgItem* rec, uint16_t tag, uint8_t type) {
  switch (type) {
    case kTlvU16: return r.Skip(2);
    case kTlvU32: {
      uint32_t v = 0;
      if (!r.ReadU32(&v)) return false;
      if (tag == kTagCreateTime) rec->create_time = v;
      if (tag == kTagMsgType) rec->msg_type = v;
      return true;
    }
    case kTlvString: {
      std::string s;
      if (!ReadString(r, &s)) return false;
      if (std::string* dst = StringFor(rec, tag)) dst->swap(s);
      return true;
    }
    case kTlvU8: return r.Skip(1);
    case kTlvU64: {
      uint64_t v = 0;
      if (!r.ReadU64(&v)) return false;
      if (tag == kTagMsgId) rec->msg_id = v;
      return true;
    }
    case kTlvU16Array: return SkipFixedArray(r, 2);
    case kTlvU32Array: return SkipFixedArray(r, 4);
    case kTlvStringArray: return ReadStringArray(r, StringListFor(rec, tag));
    case kTlvU8Array: return SkipFixedArray(r, 1);
    case kTlvU64Array: return SkipFixedArray(r, 8);
    default: return true;  // no value: go on with the next byte
  }
}

}  // namespace

int ParseFromBuffer(OndekoMsgItem* record, const uint8_t* bytes, int length) {
  if (record == nullptr || bytes == nullptr || length < 1) return -1;
  ByteReader r(bytes, static_cast<size_t>(length));
  while (r.remaining() > 0) {
    uint16_t tag = 0;
    uint8_t type = 0;
    if (!r.ReadU16(&tag) || !r.ReadU8(&type)) return -2;
    if (!ReadField(r, record, tag, type)) return -2;
  }
  return 0;
}

}  // namespace nuv
