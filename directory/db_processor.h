#pragma once
// CDBProcessor reads the IM organisation (departments, memberships, user
// details, system users) from the IM server's own database over ODBC, builds
// the combined user list, and writes the two directory snapshot files with
// change detection; it also holds the small presence-list file operations.
// One object per sync run, created and used by one thread (the directory sync
// thread, or the dry-run tool); nothing in it is shared.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "directory/dir_records.h"

namespace nuv {

class OdbcSession;

// Snapshot file names inside the sync directory.
constexpr char kDeptSnapshotName[] = "deptFramework.csv";
constexpr char kUserSnapshotName[] = "userFramework.csv";

// The connection text the IM server uses when its configuration names none.
constexpr char kDefaultDBConnText[] = "Driver={Microsoft access Driver (*.mdb)};DBQ=../db/nuvdb.mdb";

class CDBProcessor {
 public:
  CDBProcessor();
  ~CDBProcessor();
  CDBProcessor(const CDBProcessor&) = delete;
  CDBProcessor& operator=(const CDBProcessor&) = delete;

  // --- the IM database ---------------------------------------------------
  // The DBConnstring of the IM server's Config/nuvserver.xml, or empty. The
  // file is read in place (nothing is written into the IM server's tree), not
  // through a symbolic link, and only up to 1 MiB.
  std::wstring GetDBPath();
  // Opens the connection (the default text when connText is empty; ".." is
  // the IM server's installation directory) unless CheckDBConnText refuses
  // it. Returns 1 in all cases; an open connection is the success (IsOpen).
  int OpenDB(const std::wstring& connText);
  bool IsOpen() const { return m_db != nullptr; }

  // Each fills one list from one table: 1 = done, 0 = no connection or the
  // query failed (the list is then empty and must not be taken for an empty
  // table).
  int LoadDept();
  int LoadDeptUsers();
  int LoadUserDetail();
  int LoadUsers();
  // Reads the three user tables and joins them into m_vecUser: 1 or 0 (the
  // list is then empty). The memberships stay in m_vecDeptUser; the user
  // details and system users go straight into the combined users and are
  // not kept (LoadUserDetail and LoadUsers fill those lists).
  int BuildUserList();

  // Reload and return a list (empty without a connection). RefreshDept and
  // RefreshUsers do the same and return the load's result.
  const std::vector<DeptRecord>& GetDeptList();
  const std::vector<UserRecord>& GetUserList();
  int RefreshDept();
  int RefreshUsers();

  void ClearDept();
  void ClearDeptUser();
  void ClearUserDetail();
  void ClearSysUser();
  void ClearUsers();

  const std::vector<DeptRecord>& depts() const { return m_vecDept; }
  const std::vector<UserRecord>& users() const { return m_vecUser; }
  const std::vector<SysUserRecord>& sysUsers() const { return m_vecSysUser; }
  const std::vector<DeptUserRecord>& deptUsers() const { return m_vecDeptUser; }
  const std::vector<UserDetailRecord>& userDetails() const { return m_vecUserDetail; }

  // --- snapshot files ----------------------------------------------------
  // Rewrite <dir>deptFramework.csv / userFramework.csv (dir empty: the sync
  // configuration directory). 1 = unchanged, 0 = written and changed (or
  // first written), -1 = no connection, failed read or too many removals
  // (previous snapshot kept), -2 = the new file could not be written or read.
  int SaveDeptFile(const std::string& dir);
  int SaveUserFile(const std::string& dir);
  // 0 = written, -1 = not created or not written whole.
  int WriteDeptDataToFile(const std::vector<DeptRecord>& depts, const std::string& path);
  int WriteUserDataToFile(const std::vector<UserRecord>& users, const std::string& path);
  // MD5 of the whole file as 32 lower-case hex digits: 0, or -1 when the file
  // cannot be opened, is empty or cannot be read whole.
  static int GetFileMd5(const std::string& path, std::wstring& md5);
  // Presence list files (DeptHandler): 0; -1 not created; -2 nothing written.
  int WriteUserListToFile(const std::string& path, const std::string& text);
  // 0; -1 not opened; -2 empty; -3 no memory; -4 short read.
  int ReadUserListFromFile(const std::string& path, std::string& text);

  // Also hands every warning and guard line to sink (the dry-run tool prints
  // them); the log gets them either way.
  void SetNoticeSink(std::function<void(const std::string&)> sink) { m_notice = std::move(sink); }

 private:
  struct SnapshotKind;
  int SaveSnapshot(const SnapshotKind& kind, const std::string& dir);
  void Notice(const std::string& line);

  std::unique_ptr<OdbcSession> m_db;
  std::vector<DeptRecord> m_vecDept;
  std::vector<DeptUserRecord> m_vecDeptUser;
  std::vector<UserDetailRecord> m_vecUserDetail;
  std::vector<SysUserRecord> m_vecSysUser;
  std::vector<UserRecord> m_vecUser;
  std::function<void(const std::string&)> m_notice;
};

// The IM server's connection text with ".." replaced by its installation
// directory; a SQLite text gets NoCreat=1 so that a missing file is an error
// and StepAPI=1 so that the driver hands rows over one at a time.
std::string ExpandDBConnText(const std::wstring& connText, const std::wstring& installDir);
// The DBConnstring attribute of the DBServer element in a configuration
// file's text, or empty.
std::wstring FindDBConnstring(const std::wstring& xml);
// Why a connection text from the IM server's configuration is not used, or
// empty when it may be: its driver must be one of the installed drivers
// (names, compared without regard to case) and not a library path, and it
// may not name a file DSN or ask the driver manager to save one.
std::string CheckDBConnText(const std::string& connText, const std::vector<std::string>& drivers);

}  // namespace nuv
