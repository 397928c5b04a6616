#pragma once
// The IM message body: an XML document whose first Txt element holds the
// text and whose File and Img elements describe the attachments. Pure
// functions; any thread.

#include <string>
#include <vector>

#include "processor/work_item.h"

namespace nuv {

// Removes every client formatting span (U+0018 ... U+0019, marks included).
// A U+0018 with no U+0019 after it is dropped alone; the text after it stays.
std::wstring RemoveFormatSpans(std::wstring text);

// The leading decimal number of a FileSize value ("12kb" -> 12, "abc" -> 0),
// clamped to the int range.
int ParseFileSize(const std::wstring& value);

// Parses a received body: text = the first Txt element's text without its
// formatting spans; files = one attachment per File element, then per Img
// element, that has FileName, FileSize, FID and KEY (datName from
// DownloadDatName(fid), so localPath = tmpDir/datName stays in tmpDir);
// names = FileName of every File/Img that has FileName and FileSize but no
// FID (passed peer to peer). False when the body is not XML or has no Txt.
bool ParseMsgBody(const std::wstring& body, const std::wstring& tmpDir, std::wstring* text,
                  std::vector<CQueueFile>* files, std::vector<std::wstring>* names);

// The body of a message sent into the IM:
//   <NUVMsg Ver="1.0"><Content><Txt>text</Txt></Content></NUVMsg>
// with the text escaped as XML requires ('&', '<', '>' become references),
// so that ParseMsgBody gives the text back unchanged.
std::wstring MakeSentBody(const std::wstring& text);

}  // namespace nuv
