#include "common/text_conv.h"

#include <errno.h>
#include <iconv.h>

#include "common/service_ini.h"

namespace nuv {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// RAII iconv descriptor.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::wstring Utf8ToWide(const std::string& in) {
  std::wstring out;
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out += static_cast<wchar_t>(c);
      ++i;
      continue;
    }
    int len = 0;
    uint32_t cp = 0, min = 0;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
    bool valid = len > 0 && i + static_cast<size_t>(len) <= n;
    for (int k = 1; valid && k < len; ++k) {
      unsigned char cc = s[i + static_cast<size_t>(k)];
      if ((cc & 0xC0) != 0x80) valid = false;
      else cp = (cp << 6) | (cc & 0x3F);
    }
    if (valid && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (!valid) {
      out += kReplacement;
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(cp);
    i += static_cast<size_t>(len);
  }
  return out;
}

std::string WideToUtf8(const std::wstring& in) {
  std::string out;
  out.reserve(in.size() * 3 / 2 + 1);
  for (wchar_t wc : in) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    AppendUtf8(out, cp);
  }
  return out;
}

std::string AnsiCodepage() {
  std::string cp = ServiceIni::Get().GetString("text", "ansi_codepage", "GBK");
  return cp.empty() ? std::string("GBK") : cp;
}

std::string WideToCodepage(const std::wstring& wide, const std::string& codepage) {
  std::string out;
  if (wide.empty()) return out;
  Iconv cd(codepage.c_str(), "WCHAR_T");
  if (!cd.ok()) {
    // Unknown code page: keep ASCII, mark the rest.
    for (wchar_t wc : wide) out += (wc >= 0 && wc < 0x80) ? static_cast<char>(wc) : '?';
    return out;
  }
  char buf[256];
  for (size_t i = 0; i < wide.size(); ++i) {
    // One character at a time so that an unconvertible one becomes exactly '?'.
    char* inp = reinterpret_cast<char*>(const_cast<wchar_t*>(&wide[i]));
    size_t inleft = sizeof(wchar_t);
    char* outp = buf;
    size_t outleft = sizeof buf;
    if (iconv(cd.get(), &inp, &inleft, &outp, &outleft) == static_cast<size_t>(-1)) {
      iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
      out += '?';
      continue;
    }
    out.append(buf, static_cast<size_t>(outp - buf));
  }
  char* outp = buf;
  size_t outleft = sizeof buf;
  iconv(cd.get(), nullptr, nullptr, &outp, &outleft);
  out.append(buf, static_cast<size_t>(outp - buf));
  return out;
}

std::wstring CodepageToWide(const std::string& bytes, const std::string& codepage) {
  std::wstring out;
  if (bytes.empty()) return out;
  Iconv cd("WCHAR_T", codepage.c_str());
  if (!cd.ok()) {
    for (unsigned char c : bytes) out += c < 0x80 ? static_cast<wchar_t>(c) : kReplacement;
    return out;
  }
  std::wstring chunk(256, L'\0');
  char* inp = const_cast<char*>(bytes.data());
  size_t inleft = bytes.size();
  while (inleft > 0) {
    char* outp = reinterpret_cast<char*>(&chunk[0]);
    size_t outleft = chunk.size() * sizeof(wchar_t);
    size_t r = iconv(cd.get(), &inp, &inleft, &outp, &outleft);
    out.append(chunk.data(), (chunk.size() * sizeof(wchar_t) - outleft) / sizeof(wchar_t));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated sequence at the end): skip one byte.
      out += kReplacement;
      ++inp;
      --inleft;
      iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

std::string WideToAnsi(const std::wstring& wide) { return WideToCodepage(wide, AnsiCodepage()); }
std::wstring AnsiToWide(const std::string& ansi) { return CodepageToWide(ansi, AnsiCodepage()); }

namespace {
template <typename Str, typename Sink>
void SplitImpl(const Str& text, Sink sink) {
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(static_cast<typename Str::value_type>(';'), start);
    if (pos == Str::npos) {
      if (start < text.size()) sink(text.substr(start));
      return;
    }
    sink(text.substr(start, pos - start));
    start = pos + 1;
  }
}
}  // namespace

void SplitText(const std::wstring& text, std::vector<std::wstring>& out) {
  SplitImpl(text, [&](std::wstring piece) { out.push_back(std::move(piece)); });
}

void SplitTextA(const std::wstring& text, std::vector<std::string>& out) {
  SplitImpl(text, [&](const std::wstring& piece) { out.push_back(WideToAnsi(piece)); });
}

void SplitText(const std::string& text, std::vector<std::string>& out) {
  SplitImpl(text, [&](std::string piece) { out.push_back(std::move(piece)); });
}

}  // namespace nuv
