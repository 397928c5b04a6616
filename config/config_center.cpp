#include "config/config_center.h"

#include <climits>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

// Decimal digits up to the first non-digit; a leading minus is taken as C's
// conversion would (the value wraps to a very large unsigned number).
uint64_t ParseU64(const std::wstring& s) { return std::wcstoull(s.c_str(), nullptr, 10); }

// Decimal to int, saturating at the int range like the platform's own
// conversion (so a huge number stays huge instead of wrapping to a small,
// accepted limit), then stored unsigned: a negative number counts as large.
uint32_t ParseIntAsUnsigned(const std::wstring& s) {
  long v = std::wcstol(s.c_str(), nullptr, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<uint32_t>(static_cast<int>(v));
}

// Far more than the one line the file holds: a bigger file is not one the
// service wrote, and is treated as unreadable.
constexpr size_t kMaxFileBytes = 65536;

// The file's fields in order, as the log names them.
const char* const kFieldNames[] = {"token",  "maxmsgid", "maxfilesize",  "maximgsize",
                                   "maxcpu", "maxmem",   "enq-interval", "outq-interval"};

// True when the field holds something other than ASCII digits. An empty field
// is a plain 0 and not a sign of damage.
bool HoldsNonDigits(const std::wstring& s) {
  for (wchar_t c : s)
    if (c < L'0' || c > L'9') return true;
  return false;
}

}  // namespace

CConfigCenter& CConfigCenter::GetInstance() {
  // Function-local static: concurrent first accesses create and load it once.
  static std::unique_ptr<CConfigCenter> instance = [] {
    auto c = std::make_unique<CConfigCenter>(GetConfigDirA() + "generalconf.ini");
    c->Init();
    return c;
  }();
  return *instance;
}

CConfigCenter::CConfigCenter(std::string path) : path_(std::move(path)) {}

bool CConfigCenter::Init() {
  ConfigValues& v = values_;
  v.token = 0;
  v.maxmsgid = 0;
  v.maxfilesize = v.maximgsize = v.maxcpu = v.maxmem = v.enqInterval = v.outqInterval = 0;

  // A file that is there but cannot be read is not a first start: its
  // counters and the operator's limits are unknown, not zero. It is never
  // overwritten, and the notify intake takes maxmsgid from the first message
  // announced instead of fetching the cloud's whole history.
  std::string text;
  int err = 0;
  const int read = ReadFileChecked(path_, text, kMaxFileBytes, false, &err);
  countersUnknown_ = read == kReadFailed || read == kReadTooLarge;
  maxmsgidUnknown_ = countersUnknown_;
  if (countersUnknown_) {
    WriteLogF("CConfigCenter::Init %s exists but cannot be read (%s): the defaults are used, the file is not "
              "written while the worker runs, and maxmsgid is taken from the first cloud message announced",
              path_.c_str(), read == kReadTooLarge ? "larger than 64 KiB" : std::strerror(err));
    text.clear();
  }
  if (text.size() > 1023) text.resize(1023);  // the first 1023 bytes count
  size_t lastSemi = text.rfind(';');
  if (lastSemi != std::string::npos) text.resize(lastSemi + 1);

  std::vector<std::wstring> items;
  SplitText(AnsiToWide(text), items);
  auto field = [&](size_t i) -> const std::wstring* { return i < items.size() ? &items[i] : nullptr; };
  if (auto f = field(0)) v.token = ParseU64(*f);
  if (auto f = field(1)) v.maxmsgid = ParseU64(*f);
  uint32_t* limits[] = {&v.maxfilesize, &v.maximgsize, &v.maxcpu, &v.maxmem, &v.enqInterval, &v.outqInterval};
  for (size_t i = 0; i < 6; ++i) {
    if (auto f = field(i + 2)) *limits[i] = ParseIntAsUnsigned(*f);
  }

  if (v.maxfilesize == 0) v.maxfilesize = 10485760;
  if (v.maximgsize == 0) v.maximgsize = 2097152;
  if (v.maxcpu == 0 || v.maxcpu >= 100) v.maxcpu = 95;
  if (v.maxmem == 0 || v.maxmem >= 1024) v.maxmem = 1024;
  if (v.enqInterval == 0 || v.enqInterval >= 1800) v.enqInterval = 1800;
  if (v.outqInterval == 0 || v.outqInterval >= 300) v.outqInterval = 60;

  // The values above stand as read; a damaged file is only reported, one
  // line per field, with the value now in use.
  const unsigned long long used[] = {v.token.load(), v.maxmsgid.load(), v.maxfilesize, v.maximgsize,
                                     v.maxcpu,       v.maxmem,          v.enqInterval, v.outqInterval};
  for (size_t i = 0; i < 8 && i < items.size(); ++i) {
    if (HoldsNonDigits(items[i])) {
      WriteLogF("CConfigCenter::Init %s field %s holds more than decimal digits; value in use %llu",
                path_.c_str(), kFieldNames[i], used[i]);
    }
  }

  WriteLogF("CConfigCenter::Init vItem.size() %u token %s maxmsgid %llu maxfilesize %u maximgsize %u "
            "maxcpu %u maxmem %u enq-interval %u outq-interval %u",
            static_cast<unsigned>(items.size()), SecretTail(v.token.load()).c_str(),
            static_cast<unsigned long long>(v.maxmsgid.load()), v.maxfilesize, v.maximgsize, v.maxcpu,
            v.maxmem, v.enqInterval, v.outqInterval);
  return true;
}

std::string CConfigCenter::Format() const { return FormatWith(values_.maxmsgid.load()); }

std::string CConfigCenter::FormatWith(uint64_t maxmsgid) const {
  const ConfigValues& v = values_;
  return StrFormat("%llu;%llu;%u;%u;%u;%u;%u;%u;", static_cast<unsigned long long>(v.token.load()),
                   static_cast<unsigned long long>(maxmsgid), v.maxfilesize, v.maximgsize, v.maxcpu,
                   v.maxmem, v.enqInterval, v.outqInterval);
}

int CConfigCenter::Save() { return SaveRecord(nullptr); }

int CConfigCenter::SaveWithMaxmsgid(uint64_t onDisk) { return SaveRecord(&onDisk); }

int CConfigCenter::SaveRecord(const uint64_t* maxmsgid) {
  // Formatted under the lock, so that the last save writes the latest values.
  std::lock_guard<std::mutex> g(saveMu_);
  if (countersUnknown_) {
    if (!saveRefusedLogged_) {
      saveRefusedLogged_ = true;
      WriteLogF("CConfigCenter::Save %s could not be read at start and is not overwritten: token and maxmsgid "
                "are kept in memory until the worker restarts",
                path_.c_str());
    }
    return kSaveRefused;
  }
  return WriteFileSafe(path_, maxmsgid ? FormatWith(*maxmsgid) : Format(), kPrivateFileMode);
}

bool CConfigCenter::AdoptMaxMsgIdFrom(uint64_t msgid) {
  bool expected = true;
  if (!maxmsgidUnknown_.compare_exchange_strong(expected, false)) return false;
  values_.maxmsgid = msgid ? msgid - 1 : 0;
  return true;
}

bool CConfigCenter::RaiseMaxMsgId(uint64_t msgid) {
  const bool wasUnknown = maxmsgidUnknown_.exchange(false);
  if (!wasUnknown && msgid <= values_.maxmsgid.load()) return false;
  values_.maxmsgid = msgid;
  return true;
}

}  // namespace nuv
