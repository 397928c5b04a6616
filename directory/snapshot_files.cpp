// The snapshot and presence-list file operations of CDBProcessor.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/service_ini.h"
#include "common/str_format.h"
#include "common/text_conv.h"
#include "directory/db_processor.h"
#include "directory/snapshot_format.h"

namespace nuv {
namespace {

// Creates path afresh (whatever was at the name is replaced, never written
// through) and writes all of bytes. 0, or -1 with the "Can not open input
// file" line when it cannot be created; -2 when the bytes could not all be
// written (the partial file is removed).
int WriteSnapshotBytes(const std::string& path, const std::string& bytes) {
  int fd = CreateFreshFile(path, 0600);
  if (fd < 0) {
    WriteLogF("Can not open input file:%s", path.c_str());
    return -1;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == bytes.size();
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    WriteLogF("Can not write file:%s (%zu of %zu bytes written, errno %d)", path.c_str(), done,
              bytes.size(), errno);
    ::unlink(path.c_str());
    return -2;
  }
  return 0;
}

// Opens a file for reading and reads it whole. 0; -1 not opened; -2 empty;
// -4 short read. size gets the file's length.
int ReadWhole(const std::string& path, std::string& out, long long& size, int& err) {
  out.clear();
  size = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < 1) {
    ::close(fd);
    return -2;
  }
  size = st.st_size;
  try {
    out.resize(static_cast<size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return -3;
  }
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd, &out[done], out.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (done != out.size()) {
    out.resize(done);
    return -4;
  }
  return 0;
}

}  // namespace

// What differs between the two snapshot files.
struct CDBProcessor::SnapshotKind {
  const char* op;        // "SaveDeptFile"
  const char* word;      // "Dept" / "Users" in the rename line
  const char* noun;      // "departments" / "users" in the guard line
  const char* fileName;  // deptFramework.csv
  int (CDBProcessor::*refresh)();
  std::string (*format)(CDBProcessor&, std::vector<std::string>*);
  RemovalCount (*countRemoved)(const std::string&, const std::string&);
  void (CDBProcessor::*clear)();
};

int CDBProcessor::SaveDeptFile(const std::string& dir) {
  static const SnapshotKind kind{
      "SaveDeptFile", "Dept", "departments", kDeptSnapshotName, &CDBProcessor::RefreshDept,
      [](CDBProcessor& p, std::vector<std::string>* w) { return FormatDeptCsv(p.m_vecDept, w); },
      CountRemovedDepts, &CDBProcessor::ClearDept};
  return SaveSnapshot(kind, dir);
}

int CDBProcessor::SaveUserFile(const std::string& dir) {
  static const SnapshotKind kind{
      "SaveUserFile", "Users", "users", kUserSnapshotName, &CDBProcessor::RefreshUsers,
      [](CDBProcessor& p, std::vector<std::string>* w) { return FormatUserCsv(p.m_vecUser, w); },
      CountRemovedUsers, &CDBProcessor::ClearUsers};
  return SaveSnapshot(kind, dir);
}

int CDBProcessor::SaveSnapshot(const SnapshotKind& kind, const std::string& dir) {
  if (!m_db) return -1;
  // A failed read must never look like an empty directory: an empty snapshot
  // would be imported and remove everyone on the cloud side.
  if ((this->*kind.refresh)() != 1) {
    WriteLogF("%s reading the IM database failed; the previous snapshot is kept", kind.op);
    return -1;
  }
  const std::string base = dir.empty() ? GetSyncConfigDirA() : dir;
  const std::string finalPath = base + kind.fileName;
  const std::string newPath = finalPath + ".new";

  std::vector<std::string> warnings;
  const std::string content = kind.format(*this, &warnings);
  for (const auto& w : warnings) Notice(w);

  std::wstring oldMd5;
  const bool hadSnapshot = GetFileMd5(finalPath, oldMd5) == 0;
  if (hadSnapshot) {
    std::string previous;
    long long size = 0;
    int err = 0;
    if (ReadWhole(finalPath, previous, size, err) == 0) {
      const long maxPercent = ServiceIni::Get().GetInt("directory", "max_removed_percent", 20);
      RemovalCount count = kind.countRemoved(previous, content);
      if (RemovalBlocked(count, maxPercent)) {
        Notice(StrFormat("%s kept the previous snapshot: %zu of %zu %s would be removed (more "
                         "than %ld%%); to accept this change raise [directory] "
                         "max_removed_percent in service.ini (100 turns the check off)",
                         kind.op, count.removed, count.previous, kind.noun, maxPercent));
        return -1;
      }
    }
  }

  if (WriteSnapshotBytes(newPath, content) != 0) return -2;
  std::wstring newMd5;
  if (hadSnapshot && GetFileMd5(newPath, newMd5) != 0) return -2;
  // rename replaces the old snapshot atomically: readers see the old or the
  // new file, never none.
  int ret = ::rename(newPath.c_str(), finalPath.c_str());
  if (ret == 0) SyncParentDir(finalPath);
  if (ret != 0) {
    WriteLogF("MoveFile %s strNewFilePath:%s strOldFilePath:%s ret:%d err_msg:%d", kind.word,
              newPath.c_str(), finalPath.c_str(), ret, errno);
  }
  if (!hadSnapshot) return 0;
  if (oldMd5 == newMd5) {
    (this->*kind.clear)();
    return 1;
  }
  return 0;
}

int CDBProcessor::WriteDeptDataToFile(const std::vector<DeptRecord>& depts, const std::string& path) {
  std::vector<std::string> warnings;
  std::string content = FormatDeptCsv(depts, &warnings);
  for (const auto& w : warnings) Notice(w);
  return WriteSnapshotBytes(path, content) == 0 ? 0 : -1;
}

int CDBProcessor::WriteUserDataToFile(const std::vector<UserRecord>& users, const std::string& path) {
  std::vector<std::string> warnings;
  std::string content = FormatUserCsv(users, &warnings);
  for (const auto& w : warnings) Notice(w);
  return WriteSnapshotBytes(path, content) == 0 ? 0 : -1;
}

int CDBProcessor::GetFileMd5(const std::string& path, std::wstring& md5) {
  // Read in pieces: a snapshot of 100,000 users is several megabytes.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = ::fstat(fd, &st) == 0 && st.st_size >= 1 && ctx &&
            EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
  std::vector<char> buf(64 * 1024);
  long long done = 0;
  while (ok) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
    ok = EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n)) == 1;
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  // A file that changed size while it was read was not read whole.
  if (!ok || done != static_cast<long long>(st.st_size) || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    return -1;
  static const char kHex[] = "0123456789abcdef";
  md5.clear();
  for (unsigned int i = 0; i < len; ++i) {
    md5 += static_cast<wchar_t>(kHex[digest[i] >> 4]);
    md5 += static_cast<wchar_t>(kHex[digest[i] & 0x0F]);
  }
  return 0;
}

int CDBProcessor::WriteUserListToFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    WriteLogF("DeptHandler::WriteUserListToFile strFilePath：%s fail errcode:%d", path.c_str(), errno);
    return -1;
  }
  size_t written = text.empty() ? 0 : std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  if (written == 0) {
    WriteLogF("DeptHandler::WriteUserListToFile :%s fwrite return %d and userlist.size(%d)",
              path.c_str(), static_cast<int>(written), static_cast<int>(text.size()));
    return -2;
  }
  return 0;
}

int CDBProcessor::ReadUserListFromFile(const std::string& path, std::string& text) {
  std::string bytes;
  long long size = 0;
  int err = 0;
  int r = ReadWhole(path, bytes, size, err);
  switch (r) {
    case -1:
      WriteLogF("DeptHandler::ReadUserListFromFile strFilePath：%s fail errcode:%d", path.c_str(), err);
      return -1;
    case -2:
      WriteLogF("DeptHandler::ReadUserListFromFile filelength is null");
      return -2;
    case -3:
      WriteLogF("DeptHandler::ReadUserListFromFile new memory fail");
      return -3;
    case -4:
      WriteLogF("DeptHandler::ReadUserListFromFile %s read return size(%d) != filelength(%d)",
                path.c_str(), static_cast<int>(bytes.size()), static_cast<int>(size));
      return -4;
    default:
      break;
  }
  // The text ends at the first zero byte, as a C string would.
  size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  text = std::move(bytes);
  return 0;
}

}  // namespace nuv
