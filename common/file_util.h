#pragma once
// Small-file helpers. A relative name (not starting with '/') is taken
// relative to the parent of the module directory. Stateless; any thread.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv {

// The mode WriteFileSafe gives a file that does not exist yet: exactly mode,
// whatever the umask; -1 is 0666 less the umask. A type of its own, so that
// it can never be taken for a length.
struct NewFileMode {
  int mode = -1;
};
// For files that hold secrets or personal data.
constexpr NewFileMode kPrivateFileMode{0600};

// Resolves a file name by the rule above.
std::string ResolveDataPath(const std::string& name);

// Reads up to maxCount bytes into buf; returns the count read, 0 when the
// file cannot be opened (buf untouched).
size_t ReadFileData(const std::string& name, char* buf, size_t maxCount);
// Whole-file convenience form; false when the file cannot be opened.
bool ReadFileData(const std::string& name, std::string& out, size_t maxCount = SIZE_MAX);

// Reads a whole regular file and tells why it could not: 0 read; -1 the file
// does not exist; -2 it exists but cannot be read (err holds the reason:
// permissions, not a regular file (EINVAL), a symbolic link with noFollow
// (ELOOP), a read error); -3 it is larger than maxBytes (out is left empty).
enum { kReadOk = 0, kReadMissing = -1, kReadFailed = -2, kReadTooLarge = -3 };
int ReadFileChecked(const std::string& name, std::string& out, size_t maxBytes,
                    bool noFollow = false, int* err = nullptr);

// Replaces the file safely: writes name.tmp, flushes it to disk, renames it
// over name and flushes the directory. The rename is atomic, so readers see
// the old or the new content and a crash never leaves a torn file. The new
// file keeps the mode (and, written by root, the owner) of the one it
// replaces; a file that did not exist gets newMode. Returns 0, or -1 when the
// temporary file cannot be written (the old file is untouched, no .tmp
// left), -2 when the rename fails.
int WriteFileSafe(const std::string& name, const char* data, size_t len, NewFileMode newMode = {});
inline int WriteFileSafe(const std::string& name, const std::string& data, NewFileMode newMode = {}) {
  return WriteFileSafe(name, data.data(), data.size(), newMode);
}

// Creates path afresh for writing (O_EXCL | O_NOFOLLOW): whatever sits at the
// name (a stale copy, or a link planted to aim the write elsewhere) is
// removed first, never written through. Meant for the service's temporary
// names. mode as for open(2). The descriptor, or -1 with errno set.
int CreateFreshFile(const std::string& path, mode_t mode = 0666);

// Flushes the directory that holds path, so that a rename into it is durable.
void SyncParentDir(const std::string& path);

// 0 and the size, or -1 when the file cannot be opened.
int GetFileLength(const std::string& path, uint64_t& size);

}  // namespace nuv
