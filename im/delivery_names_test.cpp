// The pure pieces of delivery into the IM: GUIDs, the sent body and the
// reduction of cloud-side file names.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>

#include "common/text_conv.h"
#include "im/guid.h"
#include "im/msg_body.h"
#include "im/safe_name.h"

namespace nuv {
namespace {

TEST(Guid, FormattedInBracesUpperCaseAndRandom) {
  const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
  std::set<std::wstring> seen;
  for (int i = 0; i < 200; ++i) {
    const std::wstring g = FormatGuid(NewGuid());
    ASSERT_EQ(38u, g.size());
    ASSERT_TRUE(std::regex_match(WideToUtf8(g), form)) << WideToUtf8(g);
    seen.insert(g);
  }
  EXPECT_EQ(200u, seen.size());
}

TEST(Guid, BytesInMemoryOrderMatchTheText) {
  Guid g;
  g.data1 = 0x01020304;
  g.data2 = 0x0506;
  g.data3 = 0x0708;
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(L"{01020304-0506-0708-A0A1-A2A3A4A5A6A7}", FormatGuid(g));
  uint8_t b[16];
  GuidBytes(g, b);
  const uint8_t want[16] = {4, 3, 2, 1, 6, 5, 8, 7, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
  EXPECT_EQ(0, memcmp(want, b, 16));
}

TEST(SentBody, PlainTextHasTheFixedFormAndReservedCharactersRoundTrip) {
  EXPECT_EQ(L"<NUVMsg Ver=\"1.0\"><Content><Txt>hello 你好</Txt></Content></NUVMsg>",
            MakeSentBody(L"hello 你好"));
  EXPECT_EQ(L"<NUVMsg Ver=\"1.0\"><Content><Txt></Txt></Content></NUVMsg>", MakeSentBody(L""));
  for (const std::wstring& text : {std::wstring(L"a<b && c>d \"q\" 'z'"),
                                  std::wstring(L"</Txt></Content><File FileName=\"x\"/>"),
                                  std::wstring(L"&amp; &lt; <![CDATA[x]]> <!-- c -->")}) {
    const std::wstring body = MakeSentBody(text);
    std::wstring got;
    std::vector<CQueueFile> files;
    std::vector<std::wstring> names;
    ASSERT_TRUE(ParseMsgBody(body, L"/tmp", &got, &files, &names)) << WideToUtf8(body);
    EXPECT_EQ(text, got);
    EXPECT_TRUE(files.empty());  // markup in the text never becomes an attachment
    EXPECT_TRUE(names.empty());
  }
}

TEST(SafeBaseName, KeepsOrdinaryNamesAndReducesHostileOnes) {
  EXPECT_EQ(L"报告 v2.final.docx", SafeBaseName(L"报告 v2.final.docx", L"m1"));
  EXPECT_EQ(L"...", SafeBaseName(L"...", L"m1"));  // an odd name, but stays in the directory
  EXPECT_EQ(L"passwd", SafeBaseName(L"../../etc/passwd", L"m1"));
  EXPECT_EQ(L"win.ini", SafeBaseName(L"..\\..\\Windows\\win.ini", L"m1"));
  EXPECT_EQ(L"evil.txt", SafeBaseName(L"/abs/evil.txt", L"m1"));
  EXPECT_EQ(L"ab.txt", SafeBaseName(std::wstring(L"a\0b.txt", 7), L"m1"));
  EXPECT_EQ(L"abc.txt", SafeBaseName(L"a\r\nb\x1b\x7f\x85" L"c.txt", L"m1"));
  // NUL and controls cannot hide a separator or a dot-dot.
  EXPECT_EQ(L"x", SafeBaseName(std::wstring(L"..\0/x", 5), L"m1"));
  EXPECT_EQ(L"m1", SafeBaseName(std::wstring(L".\x01.", 3), L"m1"));
  // Nothing usable left: the fallback, reduced too, then a fixed name.
  for (const wchar_t* bad : {L"", L".", L"..", L"a/", L"a/..", L"\x01\x02"}) {
    EXPECT_EQ(L"media-7", SafeBaseName(bad, L"media-7")) << WideToUtf8(bad);
  }
  EXPECT_EQ(L"file", SafeBaseName(L"..", L"../"));
}

TEST(SafeBaseName, LongNamesFitTheFileSystemAndKeepTheirExtension) {
  const std::wstring longStem(300, L'文');  // 3 bytes each in UTF-8
  const std::wstring r = SafeBaseName(longStem + L".pdf", L"m1");
  EXPECT_LE(WideToUtf8(r).size(), kMaxFileNameBytes);
  EXPECT_EQ(L".pdf", r.substr(r.size() - 4));
  EXPECT_EQ(std::wstring(83, L'文') + L".pdf", r);  // 83 * 3 + 4 bytes
}

}  // namespace
}  // namespace nuv
