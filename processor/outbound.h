#pragma once
// Helpers of the outbound handlers (CNuv4OndekoProcessor::SendTxtMsg2Ondeko,
// SendFileMsg2Ondeko, UploadFile2Ondeko in outbound.cpp). Pure functions;
// any thread.

#include <string>

namespace nuv {

// The name an attachment's upload copy gets inside the temporary-files
// directory, which is also the file name the cloud shows. A display name
// comes from the IM message body and is untrusted: it is reduced to its last
// path component ('/' and '\\' both separate), control characters (NUL
// included) become '_', and a result longer than the file system allows is
// shortened before its extension. A name that is then empty, "." or ".."
// falls back to the same reduction of fid, and finally to "file". The result
// never names anything outside the directory it is joined to.
std::wstring UploadFileName(const std::wstring& displayName, const std::wstring& fid);

}  // namespace nuv
