#include <gtest/gtest.h>

#include "common/test_support.h"
#include "common/text_conv.h"

namespace nuv {
namespace {

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) { out += d[c >> 4]; out += d[c & 15]; }
  return out;
}

TEST(TextConv, Utf8RoundTripsChineseAndAstral) {
  std::string utf8 = "部门 abc 😀";
  std::wstring w = Utf8ToWide(utf8);
  EXPECT_EQ(w.size(), 8u);
  EXPECT_EQ(WideToUtf8(w), utf8);
}

TEST(TextConv, InvalidUtf8BecomesReplacementPerByte) {
  // Truncated 3-byte sequence, stray continuation, overlong encoding.
  std::wstring w = Utf8ToWide(std::string("a\xE9\x83" "b\x80" "c\xC0\xAF", 8));
  EXPECT_EQ(w, std::wstring(L"a\xFFFD\xFFFD" L"b\xFFFD" L"c\xFFFD\xFFFD"));
  // Lone surrogates and out-of-range values are replaced on the way out.
  std::wstring bad = {L'x', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)};
  EXPECT_EQ(WideToUtf8(bad), "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextConv, GbkHeaderBytesAndUnrepresentable) {
  test::TempInstallRoot root;  // default code page GBK
  EXPECT_EQ(Hex(WideToAnsi(Utf8ToWide("部门名称,部门ID,父部门ID,排序"))),
            "b2bfc3c5c3fbb3c62cb2bfc3c549442cb8b8b2bfc3c549442cc5c5d0f2");
  EXPECT_EQ(WideToAnsi(Utf8ToWide("a😀b")), "a?b");
  EXPECT_EQ(WideToUtf8(AnsiToWide(WideToAnsi(L"张三"))), "张三");
  // A GBK lead byte without its trail byte at the end.
  EXPECT_EQ(AnsiToWide(std::string("ok\xB2", 3)), std::wstring(L"ok\xFFFD"));
}

TEST(TextConv, CodePageComesFromServiceIni) {
  test::TempInstallRoot root;
  root.WriteServiceIni("[text]\nansi_codepage = UTF-8\n");
  EXPECT_EQ(WideToAnsi(L"张"), "张");
}

TEST(TextConv, SplitKeepsInnerEmptyPiecesOnly) {
  std::vector<std::wstring> out;
  SplitText(L"a;;b;", out);
  EXPECT_EQ(out, (std::vector<std::wstring>{L"a", L"", L"b"}));
  out.clear();
  SplitText(L"a;b", out);
  EXPECT_EQ(out, (std::vector<std::wstring>{L"a", L"b"}));
  out.clear();
  SplitText(L"", out);
  EXPECT_TRUE(out.empty());
  std::vector<std::string> narrow;
  SplitText(std::string(";x"), narrow);
  EXPECT_EQ(narrow, (std::vector<std::string>{"", "x"}));
}

}  // namespace
}  // namespace nuv
