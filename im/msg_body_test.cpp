#include "im/msg_body.h"

#include <gtest/gtest.h>

#include "common/sdk_error.h"
#include "im/safe_name.h"
#include "im/sdk.h"

namespace nuv {
namespace {

struct Parsed {
  bool ok = false;
  std::wstring text;
  std::vector<CQueueFile> files;
  std::vector<std::wstring> names;
};

Parsed Parse(const std::wstring& body) {
  Parsed p;
  p.ok = ParseMsgBody(body, L"/tmp/T", &p.text, &p.files, &p.names);
  return p;
}

TEST(MsgBody, TextOfTheFirstTxtAnywhere) {
  Parsed p = Parse(L"<NUVMsg Ver=\"1.0\"><Content><Txt>hello</Txt></Content></NUVMsg>");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(L"hello", p.text);
  EXPECT_TRUE(p.files.empty());
  EXPECT_TRUE(p.names.empty());
  p = Parse(L"<a><b><c><Txt>deep</Txt></c></b><Txt>second</Txt></a>");
  EXPECT_EQ(L"deep", p.text);
  // The whole text content: nested elements and CDATA do not cut it short.
  p = Parse(L"<NUVMsg><Txt>line 1<br/>line <b>2</b><![CDATA[ & 3]]></Txt></NUVMsg>");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(L"line 1line 2 & 3", p.text);
}

TEST(MsgBody, FormattingSpansAreRemoved) {
  EXPECT_EQ(L"ab", RemoveFormatSpans(L"a\x18xyz\x19" L"b"));
  EXPECT_EQ(L"abc", RemoveFormatSpans(L"\x18q\x19" L"a\x18r\x19" L"bc"));
  // An unterminated span: the mark goes, the words after it stay.
  EXPECT_EQ(L"a\x19" L"bcd", RemoveFormatSpans(L"a\x19" L"b\x18" L"cd"));
  EXPECT_EQ(L"abc", RemoveFormatSpans(L"ab\x18" L"c"));
  // Through the XML parser (a character reference keeps the body well formed).
  Parsed p = Parse(L"<NUVMsg><Txt>a&#24;font&#25;b</Txt></NUVMsg>");
  EXPECT_EQ(L"ab", p.text);
}

TEST(MsgBody, FilesThenImagesWithTheirAttributes) {
  Parsed p = Parse(
      L"<NUVMsg><Content><Txt>x</Txt>"
      L"<Img FileName=\"i.png\" FileSize=\"7\" FID=\"IMG1\" KEY=\"ki\"/>"
      L"<File FileName=\"a.doc\" FileSize=\"12kb\" FID=\"F1\" KEY=\"k1\"/>"
      L"<File FileName=\"p2p.zip\" FileSize=\"5\" KEY=\"k2\"/>"
      L"<File FileName=\"nokey.txt\" FileSize=\"5\" FID=\"F3\"/>"
      L"<File FileSize=\"5\" FID=\"F4\" KEY=\"k4\"/>"
      L"<File FileName=\"nosize\" FID=\"F5\" KEY=\"k5\"/>"
      L"<File FileName=\"bad\" FileSize=\"abc\" FID=\"F6\" KEY=\"k6\"/>"
      L"</Content></NUVMsg>");
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(3u, p.files.size());
  EXPECT_EQ(L"F1", p.files[0].fid);
  EXPECT_EQ(FILE_KIND_FILE, p.files[0].kind);
  EXPECT_EQ(12, p.files[0].size);
  EXPECT_EQ(L"k1", p.files[0].fkey);
  EXPECT_EQ(L"a.doc", p.files[0].fileName);
  EXPECT_EQ(L"F1.dat", p.files[0].datName);
  EXPECT_EQ(L"/tmp/T/F1.dat", p.files[0].localPath);
  EXPECT_EQ(FILE_STATUS_WAIT, p.files[0].status);
  EXPECT_EQ(0, p.files[1].size);  // "abc"
  EXPECT_EQ(L"F6", p.files[1].fid);
  EXPECT_EQ(L"IMG1", p.files[2].fid);
  EXPECT_EQ(FILE_KIND_IMAGE, p.files[2].kind);
  EXPECT_EQ(std::vector<std::wstring>{L"p2p.zip"}, p.names);
}

// The fid comes from the sender's message body; the download's local file
// must stay inside the temporary-files directory whatever it holds, while
// the fid itself is kept for the IM server.
TEST(MsgBody, HostileFidsGiveDownloadNamesInsideTheTmpDir) {
  const std::wstring hostile[] = {L"../../etc/passwd", L"/abs/olute", L"..", L".", L"a&#1;b&#x7f;c",
                                  L"sub\\..\\x", L"a/b", L"a&#10;b"};
  const std::wstring decoded[] = {L"../../etc/passwd", L"/abs/olute", L"..", L".", L"a\x01" L"b\x7f" L"c",
                                  L"sub\\..\\x", L"a/b", L"a\nb"};
  std::vector<std::wstring> seen;
  for (size_t i = 0; i < sizeof(hostile) / sizeof(hostile[0]); ++i) {
    Parsed p = Parse(L"<NUVMsg><Txt>x</Txt><File FileName=\"a.doc\" FileSize=\"1\" FID=\"" + hostile[i] +
                     L"\" KEY=\"k\"/></NUVMsg>");
    ASSERT_TRUE(p.ok) << i;
    ASSERT_EQ(1u, p.files.size()) << i;
    const CQueueFile& f = p.files[0];
    EXPECT_EQ(decoded[i], f.fid) << i;  // unchanged for the wire
    const std::wstring& name = f.datName;
    EXPECT_EQ(std::wstring::npos, name.find_first_of(L"/\\")) << i;
    for (wchar_t c : name) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << i;
    ASSERT_GT(name.size(), 4u);
    EXPECT_EQ(L".dat", name.substr(name.size() - 4)) << i;
    EXPECT_NE(L'.', name[0]) << i;
    EXPECT_EQ(L"/tmp/T/" + name, f.localPath) << i;
    EXPECT_EQ(DownloadDatName(f.fid), name) << i;  // the same fid, the same name
    for (const std::wstring& other : seen) EXPECT_NE(other, name) << i;
    seen.push_back(name);
  }
  // NUL cannot come through XML, but the name is made safe without it too.
  const std::wstring withNul(L"ab\0/../c", 8);
  const std::wstring n = DownloadDatName(withNul);
  EXPECT_EQ(std::wstring::npos, n.find(L'\0'));
  EXPECT_EQ(std::wstring::npos, n.find(L'/'));
  EXPECT_NE(DownloadDatName(L"ab"), n);
  EXPECT_NE(DownloadDatName(L""), L".dat");
  // A fid too long for one entry is shortened, with the hash.
  const std::wstring longFid(300, L'f');
  EXPECT_LE(DownloadDatName(longFid).size(), 64u + 1 + 16 + 4);
}

TEST(MsgBody, PlainFidsKeepTheirDownloadName) {
  for (const std::wstring fid : {L"F1", L"0A1B2C3D4E5F60718293A4B5C6D7E8F917", L"fid_with-dash.v2", L"报告"}) {
    EXPECT_EQ(fid + L".dat", DownloadDatName(fid));
  }
  Parsed p = Parse(L"<NUVMsg><Txt>x</Txt><Img FileName=\"i.png\" FileSize=\"7\" FID=\"9F00AB12\" KEY=\"k\"/></NUVMsg>");
  ASSERT_EQ(1u, p.files.size());
  EXPECT_EQ(L"9F00AB12.dat", p.files[0].datName);
  EXPECT_EQ(L"/tmp/T/9F00AB12.dat", p.files[0].localPath);
}

TEST(MsgBody, ImageWithoutFidIsPassedDirectly) {
  Parsed p = Parse(L"<NUVMsg><Txt></Txt><Img FileName=\"s.jpg\" FileSize=\"1\" KEY=\"k\"/></NUVMsg>");
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.files.empty());
  EXPECT_EQ(std::vector<std::wstring>{L"s.jpg"}, p.names);
}

TEST(MsgBody, NoTxtOrNotXmlFails) {
  EXPECT_FALSE(Parse(L"<NUVMsg><Content/></NUVMsg>").ok);
  EXPECT_FALSE(Parse(L"<NUVMsg><Txt>open").ok);
  EXPECT_FALSE(Parse(L"").ok);
}

TEST(MsgBody, FileSizeLeadingNumber) {
  EXPECT_EQ(12, ParseFileSize(L"12kb"));
  EXPECT_EQ(0, ParseFileSize(L"abc"));
  EXPECT_EQ(-3, ParseFileSize(L"-3"));
  EXPECT_EQ(2147483647, ParseFileSize(L"99999999999"));
}

TEST(MsgBody, KeyTailOfAGuid) {
  EXPECT_EQ(L"123456789ABC", KeyTail(L"{1BDD00D1-0874-42D5-B372-123456789ABC}"));
  EXPECT_EQ(L"abc", KeyTail(L"abcd"));
}

TEST(NUVSData, TextFormRoundTripsEveryKind) {
  auto d = CreateLocalNUVSData();
  const std::wstring body = L"<NUVMsg><Txt>a\x18" L"b\x19 & <c> \"中\"</Txt></NUVMsg>";
  d->SetInt(L"Mode", 0);
  d->SetString(L"Content", body);
  d->SetString(L"Key", L"{K}");
  const uint8_t raw[] = {0x00, 0xab, 0xff};
  d->SetBytes(L"im_message_id", raw, sizeof(raw));
  d->SetString(L"Key", L"{K2}");  // replaces
  auto e = CreateLocalNUVSData();
  e->LoadXML(d->GetXML());
  EXPECT_EQ(body, e->GetString(L"Content"));
  EXPECT_EQ(L"{K2}", e->GetString(L"Key"));
  EXPECT_EQ(L"0", e->GetString(L"Mode"));
  EXPECT_EQ(L"00abff", e->GetString(L"im_message_id"));
  EXPECT_THROW(e->GetString(L"Title"), NuvSdkError);
  EXPECT_THROW(e->LoadXML(L"<NUVSData><Value"), NuvSdkError);
  EXPECT_THROW(e->LoadXML(L"<Other/>"), NuvSdkError);
}

}  // namespace
}  // namespace nuv
