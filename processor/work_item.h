#pragma once
// Work items: what travels through the worker's queues. A WorkItem owns its
// payload (RAII): whoever holds the item owns the message, the token or the
// fetch range; moving the item into or out of a queue moves the ownership.
// No path (retry, drop, unknown type, process end) leaks or frees twice.
// Plain data; one thread at a time (queues guard them while they hold them).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuv {

// Work-item types.
enum : int {
  WQUEUE_NUV2ONDEKOMSG = 1,    // CQueueMsg without files, IM -> cloud
  WQUEUE_ONDEKO2NUVMSG = 2,    // CQueueMsg without files, cloud -> IM
  WQUEUE_NUV2ONDEKOFILE = 3,   // CQueueMsg with files, IM -> cloud
  WQUEUE_ONDEKO2NUVFILE = 4,   // CQueueMsg with files, cloud -> IM
  WQUEUE_ONDEKOBINDTOKEN = 5,  // push token to bind
  WQUEUE_FETCHONDEKOMSG = 6,   // FetchRange of cloud message ids to fetch
};

// Queue identifiers.
enum : int {
  WQUEUE_QID_TXT2NUV = 0,
  WQUEUE_QID_FILE2NUV = 1,
  WQUEUE_QID_TXT2ONDEKO = 2,
  WQUEUE_QID_FILE2ONDEKO = 3,
  WQUEUE_QID_COUNT = 4,
};

// Attachment transfer states.
enum : int { FILE_STATUS_WAIT = 0, FILE_STATUS_READY = 1, FILE_STATUS_DOWNING = 2, FILE_STATUS_ERR = 3, FILE_STATUS_OK = 4 };
// Attachment kinds.
enum : int { FILE_KIND_IMAGE = 0, FILE_KIND_FILE = 1 };

// An attachment of a message.
struct CQueueFile {
  int kind = FILE_KIND_FILE;
  int size = 0;  // bytes, as announced
  int status = FILE_STATUS_WAIT;
  int failCount = 0;
  std::wstring fid;
  std::wstring fkey;
  std::wstring localPath;
  std::wstring datName;
  std::wstring fileName;
  std::wstring mediaId;
};

// A message in either direction.
struct CQueueMsg {
  int mt = 0;            // 0 ordinary, 1 broadcast
  uint64_t msgid = 0;    // climsgid (IM side) or dkmsgid (cloud side)
  std::wstring from;
  std::wstring to;       // receivers separated by ';'
  std::wstring key;
  std::wstring content;
  std::vector<CQueueFile> files;
  int32_t createTime = 0;     // seconds since 1970
  uint32_t combineTick = 0;   // ms tick when it entered the combine queue
  // Milliseconds since 1970 when the bridge took it in, for the delivery-time
  // metric; not journaled (a replayed message has 0 and is timed from
  // createTime).
  int64_t acceptedMs = 0;
  // Broadcast receivers (pieces of to) already sent to by an earlier
  // attempt; a later attempt sends to the others only.
  std::vector<std::wstring> served;
};

// Inclusive range of cloud message ids to fetch.
struct FetchRange {
  uint64_t first = 0;
  uint64_t last = 0;
};

struct WorkItem {
  int type = 0;
  int32_t enqueueTime = 0;  // seconds since 1970
  int retryCount = 0;
  // The item's entry in the work journal (0: not recorded); travels with it
  // through every queue.
  uint64_t journalId = 0;
  // The payload, by type: msg for 1..4, token for 5, range for 6.
  std::unique_ptr<CQueueMsg> msg;
  uint64_t token = 0;
  FetchRange range;

  WorkItem() = default;
  WorkItem(WorkItem&&) = default;
  WorkItem& operator=(WorkItem&&) = default;
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;
};

// Builders for the three payload shapes; retryCount starts at 0.
inline WorkItem MakeMsgItem(int type, std::unique_ptr<CQueueMsg> msg, int32_t enqueueTime) {
  WorkItem item;
  item.type = type;
  item.enqueueTime = enqueueTime;
  item.msg = std::move(msg);
  return item;
}

inline WorkItem MakeTokenItem(uint64_t token, int32_t enqueueTime) {
  WorkItem item;
  item.type = WQUEUE_ONDEKOBINDTOKEN;
  item.enqueueTime = enqueueTime;
  item.token = token;
  return item;
}

inline WorkItem MakeFetchItem(uint64_t first, uint64_t last, int32_t enqueueTime) {
  WorkItem item;
  item.type = WQUEUE_FETCHONDEKOMSG;
  item.enqueueTime = enqueueTime;
  item.range.first = first;
  item.range.last = last;
  return item;
}

// The key tail shown in logs: the 12 characters before the key's last one
// (for a GUID in braces, its last 12 hex digits); shorter keys give what is
// there before the last character.
inline std::wstring KeyTail(const std::wstring& key) {
  if (key.size() <= 1) return std::wstring();
  size_t end = key.size() - 1;
  size_t begin = end >= 12 ? end - 12 : 0;
  return key.substr(begin, end - begin);
}

}  // namespace nuv
