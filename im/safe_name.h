#pragma once
// File names that come from outside (the cloud's name of a delivered file)
// reduced to a single, harmless entry of a directory. Pure; any thread.

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

}  // namespace nuv
