#include "directory/snapshot_format.h"

#include <iconv.h>

#include <algorithm>
#include <string_view>

#include "common/str_format.h"
#include "common/text_conv.h"

namespace nuv {

const char kDeptCsvHeader[] =
    "\xb2\xbf\xc3\xc5\xc3\xfb\xb3\xc6,\xb2\xbf\xc3\xc5ID,\xb8\xb8\xb2\xbf\xc3\xc5ID,\xc5\xc5\xd0\xf2";
const char kUserCsvHeader[] =
    "\xd0\xd5\xc3\xfb,\xd5\xca\xba\xc5,\xca\xd6\xbb\xfa\xba\xc5,\xd3\xca\xcf\xe4,"
    "\xcb\xf9\xd4\xda\xb2\xbf\xc3\xc5,\xd6\xb0\xce\xbb,\xd0\xd4\xb1\xf0";

namespace {

const char kCrLf[] = "\r\n";

// Appends wide text as GBK. ASCII goes straight through; other characters
// pass through one iconv descriptor kept for the whole file (a character GBK
// lacks becomes '?'). One per file being formatted.
class GbkAppender {
 public:
  GbkAppender() : cd_(iconv_open("GBK", "WCHAR_T")) {}
  ~GbkAppender() {
    if (ok()) iconv_close(cd_);
  }
  GbkAppender(const GbkAppender&) = delete;
  GbkAppender& operator=(const GbkAppender&) = delete;

  void Append(std::string& out, const std::wstring& text) {
    for (wchar_t wc : text) {
      if (wc >= 0 && wc < 0x80) {
        out += static_cast<char>(wc);
        continue;
      }
      char buf[8];
      char* inp = reinterpret_cast<char*>(&wc);
      size_t inleft = sizeof wc;
      char* outp = buf;
      size_t outleft = sizeof buf;
      if (!ok() || iconv(cd_, &inp, &inleft, &outp, &outleft) == static_cast<size_t>(-1)) {
        if (ok()) iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        out += '?';
        continue;
      }
      out.append(buf, static_cast<size_t>(outp - buf));
    }
  }

 private:
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_;
};

bool HasSeparator(const std::wstring& s) { return s.find_first_of(L",\r\n") != std::wstring::npos; }

// Splits a snapshot into its record lines (the header dropped) and each line
// into comma-separated fields (views into csv).
template <typename Fn>
void ForEachRecord(const std::string& csv, Fn fn) {
  size_t pos = csv.find(kCrLf);
  if (pos == std::string::npos) return;
  pos += 2;
  const std::string_view text(csv);
  std::vector<std::string_view> fields;
  while (pos < csv.size()) {
    size_t end = csv.find(kCrLf, pos);
    if (end == std::string::npos) end = csv.size();
    fields.clear();
    size_t start = pos;
    for (;;) {
      size_t comma = csv.find(',', start);
      if (comma == std::string::npos || comma > end) {
        fields.push_back(text.substr(start, end - start));
        break;
      }
      fields.push_back(text.substr(start, comma - start));
      start = comma + 1;
    }
    fn(fields);
    pos = end + 2;
  }
}

// A department is known by its number (the third field from the end: only
// the name before it may hold commas). Lines with too few fields are pieces
// of a name broken over lines and are not records.
bool DeptKey(const std::vector<std::string_view>& f, std::string_view& key) {
  if (f.size() < 4) return false;
  key = f[f.size() - 3];
  return true;
}

// A user is known by the account (the second field). When extra commas make
// the position ambiguous, the fields between the name and the last five are
// taken together (with their commas); the same user reads the same way in
// both snapshots.
bool UserKey(const std::vector<std::string_view>& f, std::string_view& key) {
  if (f.size() < 7) return false;
  const std::string_view& last = f[f.size() - 6];
  key = std::string_view(f[1].data(), static_cast<size_t>(last.data() + last.size() - f[1].data()));
  return true;
}

// The new snapshot's keys are views into it, sorted: a directory of 100,000
// users is compared without a copy of its accounts.
template <typename KeyFn>
RemovalCount CountRemoved(const std::string& previousCsv, const std::string& newCsv, KeyFn keyOf) {
  std::vector<std::string_view> now;
  std::string_view key;
  ForEachRecord(newCsv, [&](const std::vector<std::string_view>& f) {
    if (keyOf(f, key)) now.push_back(key);
  });
  std::sort(now.begin(), now.end());
  RemovalCount count;
  ForEachRecord(previousCsv, [&](const std::vector<std::string_view>& f) {
    if (!keyOf(f, key)) return;
    ++count.previous;
    if (!std::binary_search(now.begin(), now.end(), key)) ++count.removed;
  });
  return count;
}

}  // namespace

std::string FormatDeptCsv(const std::vector<DeptRecord>& depts, std::vector<std::string>* warnings) {
  std::string out;
  out.reserve(64 + depts.size() * 40);
  out += kDeptCsvHeader;
  out += kCrLf;
  GbkAppender gbk;
  for (const auto& d : depts) {
    if (warnings && HasSeparator(d.DeptName)) {
      warnings->push_back(StrFormat(
          "WriteDeptDataToFile warning: department %d '%s' has a comma or line break in its name; "
          "its line will not read back as four fields",
          d.DeptID, WideToUtf8(d.DeptName).c_str()));
    }
    gbk.Append(out, d.DeptName);
    out += StrFormat(",%lld,%lld,%d", static_cast<long long>(d.DeptID) + 1,
                     static_cast<long long>(d.PDeptID) + 1, d.SortID);
    out += kCrLf;
  }
  return out;
}

std::string FormatUserCsv(const std::vector<UserRecord>& users, std::vector<std::string>* warnings) {
  // "男" when Gender is 0, "女" otherwise.
  static const char kMale[] = "\xc4\xd0";
  static const char kFemale[] = "\xc5\xae";
  std::string out;
  out.reserve(64 + users.size() * 96);
  out += kUserCsvHeader;
  out += kCrLf;
  GbkAppender gbk;
  for (const auto& u : users) {
    const std::wstring* fields[] = {&u.Name, &u.UserName, &u.Mobile, &u.Email, &u.departments,
                                    &u.Position};
    bool warn = false;
    for (size_t i = 0; i < 6; ++i) {
      if (i > 0) out += ',';
      gbk.Append(out, *fields[i]);
      warn = warn || HasSeparator(*fields[i]);
    }
    out += ',';
    out += u.Gender == 0 ? kMale : kFemale;
    out += kCrLf;
    if (warn && warnings) {
      warnings->push_back(StrFormat(
          "WriteUserDataToFile warning: user %d '%s' (%s) has a comma or line break in a field; "
          "its line will not read back as seven fields",
          u.ID, WideToUtf8(u.UserName).c_str(), WideToUtf8(u.Name).c_str()));
    }
  }
  return out;
}

RemovalCount CountRemovedDepts(const std::string& previousCsv, const std::string& newCsv) {
  return CountRemoved(previousCsv, newCsv, DeptKey);
}

RemovalCount CountRemovedUsers(const std::string& previousCsv, const std::string& newCsv) {
  return CountRemoved(previousCsv, newCsv, UserKey);
}

bool RemovalBlocked(const RemovalCount& count, long maxPercent) {
  if (maxPercent >= 100 || count.removed < 10) return false;
  if (maxPercent < 0) maxPercent = 0;
  return count.removed * 100 > static_cast<size_t>(maxPercent) * count.previous;
}

}  // namespace nuv
