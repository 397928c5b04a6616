#include "im/safe_name.h"

#include <cstdint>

namespace nuv {
namespace {

bool IsControl(wchar_t c) {
  const uint32_t u = static_cast<uint32_t>(c);
  return u < 0x20 || (u >= 0x7F && u <= 0x9F);
}

size_t Utf8Length(wchar_t c) {
  const uint32_t u = static_cast<uint32_t>(c);
  if (u < 0x80) return 1;
  if (u < 0x800) return 2;
  if (u < 0x10000 || u > 0x10FFFF) return 3;  // invalid values are written as U+FFFD
  return 4;
}

size_t Utf8Length(const std::wstring& s) {
  size_t n = 0;
  for (wchar_t c : s) n += Utf8Length(c);
  return n;
}

std::wstring Reduce(const std::wstring& name) {
  const size_t sep = name.find_last_of(L"/\\");
  std::wstring base;
  for (size_t i = sep == std::wstring::npos ? 0 : sep + 1; i < name.size(); ++i) {
    if (!IsControl(name[i])) base.push_back(name[i]);
  }
  if (base == L"." || base == L"..") return std::wstring();
  if (Utf8Length(base) <= kMaxFileNameBytes) return base;
  // Too long: shorten the stem, keep a short extension.
  std::wstring ext;
  const size_t dot = base.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0 && Utf8Length(base.substr(dot)) <= 16) {
    ext = base.substr(dot);
    base.erase(dot);
  }
  size_t total = Utf8Length(base) + Utf8Length(ext);
  while (total > kMaxFileNameBytes && !base.empty()) {
    total -= Utf8Length(base.back());
    base.pop_back();
  }
  base += ext;
  if (base.empty() || base == L"." || base == L"..") return std::wstring();
  return base;
}

}  // namespace

std::wstring SafeBaseName(const std::wstring& name, const std::wstring& fallback) {
  std::wstring safe = Reduce(name);
  if (safe.empty()) safe = Reduce(fallback);
  if (safe.empty()) safe = L"file";
  return safe;
}

std::wstring DownloadDatName(const std::wstring& fid) {
  static const wchar_t kExt[] = L".dat";
  if (!fid.empty() && Reduce(fid) == fid && Utf8Length(fid) + 4 <= kMaxFileNameBytes) return fid + kExt;
  std::wstring part;
  for (wchar_t c : fid) {
    if (part.size() == 64) break;
    if ((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'-' || c == L'_')
      part.push_back(c);
  }
  if (part.empty()) part = L"fid";
  // FNV-1a over the code points, NUL and all.
  uint64_t h = 14695981039346656037ULL;
  for (wchar_t c : fid) {
    uint32_t u = static_cast<uint32_t>(c);
    for (int i = 0; i < 4; ++i) {
      h ^= (u >> (8 * i)) & 0xFF;
      h *= 1099511628211ULL;
    }
  }
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring hex(16, L'0');
  for (int i = 15; i >= 0; --i, h >>= 4) hex[static_cast<size_t>(i)] = kHex[h & 0xF];
  return part + L"-" + hex + kExt;
}

}  // namespace nuv
