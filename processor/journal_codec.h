#pragma once
// Byte form of the work items the journal keeps: a message record with all
// its attachments (local paths, media ids and transfer states included), a
// push token or a fetch range. Pure functions over bytes; the decoder checks
// every length before it reads and refuses anything it did not write, so a
// damaged journal row yields an error value, never a crash or a huge
// allocation. Stateless; any thread.
//
// Layout (little-endian): a version byte, then for a message: mt i32, msgid
// u64, from/to/key/content as wide texts, createTime i32, combineTick u32, a
// u32 attachment count and per attachment kind/size/status/failCount i32 and
// fid/fkey/localPath/datName/fileName/mediaId as wide texts; version 2 adds a
// u32 count of served receivers and each as a wide text. A wide text is a
// u32 count of characters followed by that many u32 code units. A token is a
// u64; a fetch range two u64 (first, last). A message without served
// receivers is written as version 1, the form earlier builds write and read;
// both versions are read.

#include <cstddef>
#include <cstdint>
#include <string>

#include "processor/work_item.h"

namespace nuv {

enum class JournalDecode : int {
  kOk = 0,
  kTruncated,    // input ends inside a field
  kBadVersion,   // version byte not one this build writes
  kBadType,      // work-item type outside 1..6
  kBadCount,     // a count larger than the bytes left could hold
  kTrailing,     // bytes left over after the record
};

// Payload of a work item of type 1..6 (the type itself is not included; the
// journal keeps it beside). An item of another type encodes as empty.
std::string EncodeWorkPayload(const WorkItem& item);
// Fills out's payload for type from bytes; out->type is set to type,
// enqueueTime and retryCount are left alone. On error out's payload is
// unspecified.
JournalDecode DecodeWorkPayload(int type, const uint8_t* data, size_t size, WorkItem* out);
inline JournalDecode DecodeWorkPayload(int type, const std::string& bytes, WorkItem* out) {
  return DecodeWorkPayload(type, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
}

// The message record alone.
std::string EncodeQueueMsg(const CQueueMsg& msg);
JournalDecode DecodeQueueMsg(const uint8_t* data, size_t size, CQueueMsg* out);

// Short name of a decode result for log lines.
const char* JournalDecodeName(JournalDecode r);

// The item as the retry lines name it: "WQUEUE_NUV2ONDEKOMSG climsgid 12",
// "WQUEUE_FETCHONDEKOMSG [101, 104]", "WQUEUE_ONDEKOBINDTOKEN token 7".
std::string DescribeWorkItem(const WorkItem& item);

}  // namespace nuv
