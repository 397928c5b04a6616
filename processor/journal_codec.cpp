// Encoder and checked decoder of the journal's work-item bytes.

#include "processor/journal_codec.h"

#include "common/str_format.h"

namespace nuv {
namespace {

constexpr uint8_t kPayloadVersion = 1;
// A message record with its served receivers.
constexpr uint8_t kServedVersion = 2;
// Smallest encoded attachment: four i32 and six empty texts.
constexpr size_t kMinFileBytes = 4 * 4 + 6 * 4;

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  void Text(const std::wstring& s) {
    U32(static_cast<uint32_t>(s.size()));
    for (wchar_t c : s) U32(static_cast<uint32_t>(c));
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}

  bool U8(uint8_t* v) {
    if (left_ < 1) return Fail(JournalDecode::kTruncated);
    *v = *p_++;
    --left_;
    return true;
  }
  bool U32(uint32_t* v) { return LittleEndian(v); }
  bool I32(int32_t* v) {
    uint32_t u = 0;
    if (!U32(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool Int(int* v) {
    int32_t i = 0;
    if (!I32(&i)) return false;
    *v = i;
    return true;
  }
  bool U64(uint64_t* v) { return LittleEndian(v); }
  bool Text(std::wstring* s) {
    uint32_t n = 0;
    if (!U32(&n)) return false;
    if (n > left_ / 4) return Fail(JournalDecode::kBadCount);
    s->clear();
    s->reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t c = 0;
      U32(&c);  // cannot fail: the count was checked against the bytes left
      s->push_back(static_cast<wchar_t>(c));
    }
    return true;
  }
  // A count of records each at least minBytes long.
  bool Count(uint32_t* n, size_t minBytes) {
    if (!U32(n)) return false;
    if (*n > left_ / minBytes) return Fail(JournalDecode::kBadCount);
    return true;
  }
  // An unsigned integer of sizeof(T) bytes, least significant first.
  template <typename T>
  bool LittleEndian(T* v) {
    if (left_ < sizeof(T)) return Fail(JournalDecode::kTruncated);
    T r = 0;
    for (size_t i = 0; i < sizeof(T); ++i) r |= static_cast<T>(p_[i]) << (8 * i);
    p_ += sizeof(T);
    left_ -= sizeof(T);
    *v = r;
    return true;
  }
  bool Fail(JournalDecode e) {
    if (error_ == JournalDecode::kOk) error_ = e;
    return false;
  }
  JournalDecode Finish() {
    if (error_ == JournalDecode::kOk && left_ != 0) error_ = JournalDecode::kTrailing;
    return error_;
  }
  JournalDecode error() const { return error_; }

 private:
  const uint8_t* p_;
  size_t left_;
  JournalDecode error_ = JournalDecode::kOk;
};

void PutMsg(Writer& w, const CQueueMsg& m) {
  w.I32(m.mt);
  w.U64(m.msgid);
  w.Text(m.from);
  w.Text(m.to);
  w.Text(m.key);
  w.Text(m.content);
  w.I32(m.createTime);
  w.U32(m.combineTick);
  w.U32(static_cast<uint32_t>(m.files.size()));
  for (const CQueueFile& f : m.files) {
    w.I32(f.kind);
    w.I32(f.size);
    w.I32(f.status);
    w.I32(f.failCount);
    w.Text(f.fid);
    w.Text(f.fkey);
    w.Text(f.localPath);
    w.Text(f.datName);
    w.Text(f.fileName);
    w.Text(f.mediaId);
  }
  if (!m.served.empty()) {
    w.U32(static_cast<uint32_t>(m.served.size()));
    for (const std::wstring& r : m.served) w.Text(r);
  }
}

bool GetMsg(Reader& r, uint8_t version, CQueueMsg* m) {
  uint32_t count = 0;
  if (!(r.Int(&m->mt) && r.U64(&m->msgid) && r.Text(&m->from) && r.Text(&m->to) && r.Text(&m->key) &&
        r.Text(&m->content) && r.I32(&m->createTime) && r.U32(&m->combineTick) && r.Count(&count, kMinFileBytes)))
    return false;
  m->files.clear();
  m->files.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    CQueueFile f;
    if (!(r.Int(&f.kind) && r.Int(&f.size) && r.Int(&f.status) && r.Int(&f.failCount) && r.Text(&f.fid) &&
          r.Text(&f.fkey) && r.Text(&f.localPath) && r.Text(&f.datName) && r.Text(&f.fileName) &&
          r.Text(&f.mediaId)))
      return false;
    m->files.push_back(std::move(f));
  }
  m->served.clear();
  if (version < kServedVersion) return true;
  // Each served receiver takes at least its length; version 2 is written
  // only with some.
  if (!r.Count(&count, 4)) return false;
  if (count == 0) return r.Fail(JournalDecode::kBadCount);
  m->served.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    std::wstring receiver;
    if (!r.Text(&receiver)) return false;
    m->served.push_back(std::move(receiver));
  }
  return true;
}

bool IsMsgType(int type) { return type >= WQUEUE_NUV2ONDEKOMSG && type <= WQUEUE_ONDEKO2NUVFILE; }

}  // namespace

std::string EncodeQueueMsg(const CQueueMsg& msg) {
  Writer w;
  w.U8(msg.served.empty() ? kPayloadVersion : kServedVersion);
  PutMsg(w, msg);
  return w.Take();
}

JournalDecode DecodeQueueMsg(const uint8_t* data, size_t size, CQueueMsg* out) {
  Reader r(data, size);
  uint8_t version = 0;
  if (!r.U8(&version)) return r.Finish();
  if (version != kPayloadVersion && version != kServedVersion) return JournalDecode::kBadVersion;
  GetMsg(r, version, out);
  return r.Finish();
}

std::string EncodeWorkPayload(const WorkItem& item) {
  if (IsMsgType(item.type)) {
    static const CQueueMsg kEmpty;
    return EncodeQueueMsg(item.msg ? *item.msg : kEmpty);
  }
  Writer w;
  switch (item.type) {
    case WQUEUE_ONDEKOBINDTOKEN:
      w.U8(kPayloadVersion);
      w.U64(item.token);
      break;
    case WQUEUE_FETCHONDEKOMSG:
      w.U8(kPayloadVersion);
      w.U64(item.range.first);
      w.U64(item.range.last);
      break;
    default:
      break;
  }
  return w.Take();
}

JournalDecode DecodeWorkPayload(int type, const uint8_t* data, size_t size, WorkItem* out) {
  if (type < WQUEUE_NUV2ONDEKOMSG || type > WQUEUE_FETCHONDEKOMSG) return JournalDecode::kBadType;
  out->type = type;
  if (IsMsgType(type)) {
    auto msg = std::make_unique<CQueueMsg>();
    const JournalDecode r = DecodeQueueMsg(data, size, msg.get());
    if (r == JournalDecode::kOk) out->msg = std::move(msg);
    return r;
  }
  Reader r(data, size);
  uint8_t version = 0;
  if (!r.U8(&version)) return r.Finish();
  if (version != kPayloadVersion) return JournalDecode::kBadVersion;
  if (type == WQUEUE_ONDEKOBINDTOKEN) {
    r.U64(&out->token);
  } else {
    r.U64(&out->range.first) && r.U64(&out->range.last);
  }
  return r.Finish();
}

const char* JournalDecodeName(JournalDecode r) {
  switch (r) {
    case JournalDecode::kOk: return "ok";
    case JournalDecode::kTruncated: return "truncated";
    case JournalDecode::kBadVersion: return "unknown version";
    case JournalDecode::kBadType: return "unknown type";
    case JournalDecode::kBadCount: return "count beyond the data";
    case JournalDecode::kTrailing: return "trailing bytes";
  }
  return "?";
}

std::string DescribeWorkItem(const WorkItem& item) {
  const unsigned long long id = item.msg ? static_cast<unsigned long long>(item.msg->msgid) : 0ULL;
  switch (item.type) {
    case WQUEUE_NUV2ONDEKOMSG: return StrFormat("WQUEUE_NUV2ONDEKOMSG climsgid %llu", id);
    case WQUEUE_NUV2ONDEKOFILE: return StrFormat("WQUEUE_NUV2ONDEKOFILE climsgid %llu", id);
    case WQUEUE_ONDEKO2NUVMSG: return StrFormat("WQUEUE_ONDEKO2NUVMSG dkmsgid %llu", id);
    case WQUEUE_ONDEKO2NUVFILE: return StrFormat("WQUEUE_ONDEKO2NUVFILE dkmsgid %llu", id);
    case WQUEUE_ONDEKOBINDTOKEN:
      return StrFormat("WQUEUE_ONDEKOBINDTOKEN token %llu", static_cast<unsigned long long>(item.token));
    case WQUEUE_FETCHONDEKOMSG:
      return StrFormat("WQUEUE_FETCHONDEKOMSG [%llu, %llu]", static_cast<unsigned long long>(item.range.first),
                       static_cast<unsigned long long>(item.range.last));
    default: return StrFormat("MsgType %d", item.type);
  }
}

}  // namespace nuv
