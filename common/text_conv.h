#pragma once
// Text conversions between the program's wide strings (std::wstring, UTF-32
// here) and the byte encodings of files and the wire. Stateless; any thread.
//
// Defined results for bad input:
//  - Utf8ToWide: each byte that does not start a valid UTF-8 sequence becomes
//    U+FFFD; the rest of the text is kept.
//  - WideToUtf8: a surrogate or a value above U+10FFFF becomes U+FFFD.
//  - WideToAnsi / WideToCodepage: a character the code page lacks becomes '?'.
//  - AnsiToWide / CodepageToWide: a byte sequence invalid in the code page
//    becomes U+FFFD, one per byte.
// None of them throws or stops early.

#include <string>
#include <vector>

namespace nuv {

std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);

// The system ANSI code page: service.ini [text] ansi_codepage, default GBK.
std::string AnsiCodepage();
std::string WideToAnsi(const std::wstring& wide);
std::wstring AnsiToWide(const std::string& ansi);

// Explicit code page (an iconv name such as "GBK").
std::string WideToCodepage(const std::wstring& wide, const std::string& codepage);
std::wstring CodepageToWide(const std::string& bytes, const std::string& codepage);

// File system names are UTF-8 on Linux whatever the ANSI code page says.
inline std::string WideToPath(const std::wstring& w) { return WideToUtf8(w); }
inline std::wstring PathToWide(const std::string& p) { return Utf8ToWide(p); }

// Splits at each ';'. Empty pieces between adjacent separators are kept; the
// rest after the last separator is appended only when it is not empty.
void SplitText(const std::wstring& text, std::vector<std::wstring>& out);
// Same split; pieces converted to the ANSI code page.
void SplitTextA(const std::wstring& text, std::vector<std::string>& out);
// Same split over narrow text, no conversion.
void SplitText(const std::string& text, std::vector<std::string>& out);

}  // namespace nuv
