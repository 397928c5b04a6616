#pragma once
// Small-file helpers. A relative name (not starting with '/') is taken
// relative to the parent of the module directory. Stateless; any thread.

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv {

// Resolves a file name by the rule above.
std::string ResolveDataPath(const std::string& name);

// Reads up to maxCount bytes into buf; returns the count read, 0 when the
// file cannot be opened (buf untouched).
size_t ReadFileData(const std::string& name, char* buf, size_t maxCount);
// Whole-file convenience form; false when the file cannot be opened.
bool ReadFileData(const std::string& name, std::string& out, size_t maxCount = SIZE_MAX);

// Replaces the file safely: writes name.tmp, flushes it to disk, then renames
// it over name. The rename is atomic, so readers see the old or the new
// content and a crash never leaves a torn file. Returns 0, or -1 when the
// temporary file cannot be written (the old file is untouched, no .tmp left),
// -2 when the rename fails.
int WriteFileSafe(const std::string& name, const char* data, size_t len);
inline int WriteFileSafe(const std::string& name, const std::string& data) {
  return WriteFileSafe(name, data.data(), data.size());
}

// 0 and the size, or -1 when the file cannot be opened.
int GetFileLength(const std::string& path, uint64_t& size);

}  // namespace nuv
