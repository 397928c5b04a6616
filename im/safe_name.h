#pragma once
// File names that come from outside (the cloud's name of a delivered file,
// the fid of an IM attachment) reduced to a single, harmless entry of a
// directory. Pure; any thread.

#include <cstddef>
#include <string>

namespace nuv {

// The longest entry name the file system takes, in UTF-8 bytes.
constexpr size_t kMaxFileNameBytes = 255;

// name reduced to a base name that stays inside any directory it is joined
// to: only the part after the last '/' or '\', without NUL and other control
// characters (C0, DEL, C1), at most kMaxFileNameBytes in UTF-8 (shortened
// before a short extension, which is kept). When nothing usable is left ("",
// "." or ".."), fallback reduced the same way, and "file" when that fails too.
std::wstring SafeBaseName(const std::wstring& name, const std::wstring& fallback);

// The local name of an attachment's download in the temporary-files
// directory, made from the fid of the message body (outside input; the fid
// itself still travels on the wire). A plain fid -- one entry name with no
// separator or control character, short enough -- gives "<fid>.dat" as it
// always did. Any other fid gives "<its letters, digits, '-' and '_', at
// most 64>-<16 hex digits of a hash of the whole fid>.dat", so it stays in
// the directory and two hostile fids do not share a file.
std::wstring DownloadDatName(const std::wstring& fid);

}  // namespace nuv
