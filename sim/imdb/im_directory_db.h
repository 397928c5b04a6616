#pragma once
// The IM server's directory database for the simulator: an installation
// directory laid out like the IM server's (Config/nuvserver.xml naming the
// database in its DBServer element, db/nuvdb.sqlite holding NUV_Dept,
// NUV_DeptUser, NUV_UserDetail and SYS_User), and operations that add, rename
// and remove departments, users and memberships so that a change shows up in
// the service's next export. Written directly with SQLite; the service reads
// it through ODBC like the real thing. Thread-safe (one lock around the
// connection): the IM simulator's control threads and tests may call it.

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace nuv {
namespace sim {

// A user as the IM server keeps it: a SYS_User row and a NUV_UserDetail row.
struct SimUser {
  int id = 0;
  std::string account;   // UserName, UTF-8
  std::string name;      // display name, UTF-8
  std::string mobile;
  std::string email;
  int gender = 0;        // 0 male, 1/2 female
  std::string position;  // NUV_UserDetail.Position
};

struct DirectoryCounts {
  long depts = 0;
  long users = 0;
  long members = 0;
};

class ImDirectoryDb {
 public:
  // Lays out installDir (Config/nuvserver.xml, db/nuvdb.sqlite with empty
  // tables; an existing database is kept). nullptr with a reason on failure.
  static std::unique_ptr<ImDirectoryDb> Create(const std::string& installDir, std::string& error);
  ~ImDirectoryDb();
  ImDirectoryDb(const ImDirectoryDb&) = delete;
  ImDirectoryDb& operator=(const ImDirectoryDb&) = delete;

  const std::string& installDir() const { return installDir_; }
  std::string dbPath() const { return installDir_ + "/db/nuvdb.sqlite"; }
  // The connection text written into nuvserver.xml (".." = installDir).
  static const char* ConnText();

  bool AddDept(int id, int parentId, const std::string& name, int sortId);
  bool RenameDept(int id, const std::string& name);
  // Removes the department and its memberships.
  bool RemoveDept(int id);
  bool AddUser(const SimUser& user);
  bool RenameUser(int id, const std::string& name);
  // Removes the user, its details and its memberships.
  bool RemoveUser(int id);
  bool AddMembership(int deptId, int userId, int sortId);
  bool RemoveMembership(int deptId, int userId);
  DirectoryCounts Counts();

  // Runs SQL as it stands (tests shape odd tables and values with it).
  bool Exec(const std::string& sql);
  // Groups many changes into one transaction (bulk loads).
  bool Begin() { return Exec("BEGIN"); }
  bool Commit() { return Exec("COMMIT"); }

  const std::string& lastError() const { return lastError_; }

 private:
  // A value bound to a statement parameter: text or integer.
  struct Value {
    Value(long v) : isText(false), i(v) {}  // NOLINT: implicit on purpose
    Value(int v) : isText(false), i(v) {}   // NOLINT
    Value(const std::string& v) : isText(true), s(v) {}  // NOLINT
    bool isText;
    long i = 0;
    std::string s;
  };
  explicit ImDirectoryDb(std::string installDir);
  // Runs one statement with its parameters; the prepared statement is kept
  // for the next call with the same text. Caller holds mu_.
  bool Run(const std::string& sql, std::initializer_list<Value> values);
  // Number of rows the last statement changed. Caller holds mu_.
  int Changes();

  const std::string installDir_;
  // Guards db_ and lastError_.
  std::mutex mu_;
  void* db_ = nullptr;  // sqlite3*
  std::map<std::string, void*> stmts_;  // sql -> sqlite3_stmt*
  std::string lastError_;
};

}  // namespace sim
}  // namespace nuv
