#include "sim/imdb/im_directory_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>

namespace nuv {
namespace sim {
namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS NUV_Dept (DeptID INTEGER, PDeptID INTEGER, "
    "DeptName VARCHAR(50), SortID SMALLINT);"
    "CREATE TABLE IF NOT EXISTS NUV_DeptUser (DeptID INTEGER, UserID INTEGER, SortID INTEGER);"
    "CREATE TABLE IF NOT EXISTS NUV_UserDetail (ID INTEGER, Position VARCHAR(50));"
    "CREATE TABLE IF NOT EXISTS SYS_User (ID INTEGER, UserName VARCHAR(50), Name VARCHAR(50), "
    "Mobile VARCHAR(50), Email VARCHAR(50), Gender SMALLINT);";

void MakeDir(const std::string& path) { ::mkdir(path.c_str(), 0755); }

sqlite3* Db(void* p) { return static_cast<sqlite3*>(p); }

}  // namespace

const char* ImDirectoryDb::ConnText() { return "Driver=SQLite3;Database=../db/nuvdb.sqlite;NoCreat=1"; }

ImDirectoryDb::ImDirectoryDb(std::string installDir) : installDir_(std::move(installDir)) {}

ImDirectoryDb::~ImDirectoryDb() {
  for (auto& kv : stmts_) sqlite3_finalize(static_cast<sqlite3_stmt*>(kv.second));
  if (db_) sqlite3_close(Db(db_));
}

std::unique_ptr<ImDirectoryDb> ImDirectoryDb::Create(const std::string& installDir,
                                                     std::string& error) {
  MakeDir(installDir);
  MakeDir(installDir + "/Config");
  MakeDir(installDir + "/db");
  {
    std::ofstream xml(installDir + "/Config/nuvserver.xml", std::ios::binary | std::ios::trunc);
    xml << "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n<NuvServer>\r\n"
        << "  <ListenPort>8000</ListenPort>\r\n"
        << "  <DBServer DBType=\"sqlite\" DBConnstring=\"" << ConnText() << "\"></DBServer>\r\n"
        << "</NuvServer>\r\n";
    if (!xml) {
      error = "cannot write " + installDir + "/Config/nuvserver.xml";
      return nullptr;
    }
  }
  std::unique_ptr<ImDirectoryDb> db(new ImDirectoryDb(installDir));
  sqlite3* handle = nullptr;
  if (sqlite3_open(db->dbPath().c_str(), &handle) != SQLITE_OK) {
    error = handle ? sqlite3_errmsg(handle) : "cannot open the database";
    if (handle) sqlite3_close(handle);
    return nullptr;
  }
  db->db_ = handle;
  sqlite3_busy_timeout(handle, 5000);
  char* msg = nullptr;
  if (sqlite3_exec(handle, kSchema, nullptr, nullptr, &msg) != SQLITE_OK) {
    error = msg ? msg : "cannot create the tables";
    sqlite3_free(msg);
    return nullptr;
  }
  return db;
}

bool ImDirectoryDb::Run(const std::string& sql, std::initializer_list<Value> values) {
  sqlite3_stmt* stmt = nullptr;
  auto it = stmts_.find(sql);
  if (it != stmts_.end()) {
    stmt = static_cast<sqlite3_stmt*>(it->second);
  } else {
    if (sqlite3_prepare_v2(Db(db_), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      lastError_ = sqlite3_errmsg(Db(db_));
      return false;
    }
    stmts_[sql] = stmt;
  }
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  int index = 1;
  for (const Value& v : values) {
    if (v.isText) {
      sqlite3_bind_text(stmt, index, v.s.c_str(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_int64(stmt, index, v.i);
    }
    ++index;
  }
  int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    lastError_ = sqlite3_errmsg(Db(db_));
    return false;
  }
  return true;
}

int ImDirectoryDb::Changes() { return sqlite3_changes(Db(db_)); }

bool ImDirectoryDb::Exec(const std::string& sql) {
  std::lock_guard<std::mutex> g(mu_);
  char* msg = nullptr;
  if (sqlite3_exec(Db(db_), sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    lastError_ = msg ? msg : "error";
    sqlite3_free(msg);
    return false;
  }
  return true;
}

bool ImDirectoryDb::AddDept(int id, int parentId, const std::string& name, int sortId) {
  std::lock_guard<std::mutex> g(mu_);
  return Run("INSERT INTO NUV_Dept (DeptID, PDeptID, DeptName, SortID) VALUES (?, ?, ?, ?)",
             {id, parentId, name, sortId});
}

bool ImDirectoryDb::RenameDept(int id, const std::string& name) {
  std::lock_guard<std::mutex> g(mu_);
  return Run("UPDATE NUV_Dept SET DeptName = ? WHERE DeptID = ?", {name, id}) && Changes() > 0;
}

bool ImDirectoryDb::RemoveDept(int id) {
  std::lock_guard<std::mutex> g(mu_);
  if (!Run("DELETE FROM NUV_Dept WHERE DeptID = ?", {id})) return false;
  bool found = Changes() > 0;
  return Run("DELETE FROM NUV_DeptUser WHERE DeptID = ?", {id}) && found;
}

bool ImDirectoryDb::AddUser(const SimUser& u) {
  std::lock_guard<std::mutex> g(mu_);
  return Run("INSERT INTO SYS_User (ID, UserName, Name, Mobile, Email, Gender) "
             "VALUES (?, ?, ?, ?, ?, ?)",
             {u.id, u.account, u.name, u.mobile, u.email, u.gender}) &&
         Run("INSERT INTO NUV_UserDetail (ID, Position) VALUES (?, ?)", {u.id, u.position});
}

bool ImDirectoryDb::RenameUser(int id, const std::string& name) {
  std::lock_guard<std::mutex> g(mu_);
  return Run("UPDATE SYS_User SET Name = ? WHERE ID = ?", {name, id}) && Changes() > 0;
}

bool ImDirectoryDb::RemoveUser(int id) {
  std::lock_guard<std::mutex> g(mu_);
  if (!Run("DELETE FROM SYS_User WHERE ID = ?", {id})) return false;
  bool found = Changes() > 0;
  return Run("DELETE FROM NUV_UserDetail WHERE ID = ?", {id}) &&
         Run("DELETE FROM NUV_DeptUser WHERE UserID = ?", {id}) && found;
}

bool ImDirectoryDb::AddMembership(int deptId, int userId, int sortId) {
  std::lock_guard<std::mutex> g(mu_);
  return Run("INSERT INTO NUV_DeptUser (DeptID, UserID, SortID) VALUES (?, ?, ?)",
             {deptId, userId, sortId});
}

bool ImDirectoryDb::RemoveMembership(int deptId, int userId) {
  std::lock_guard<std::mutex> g(mu_);
  return Run("DELETE FROM NUV_DeptUser WHERE DeptID = ? AND UserID = ?", {deptId, userId}) &&
         Changes() > 0;
}

DirectoryCounts ImDirectoryDb::Counts() {
  std::lock_guard<std::mutex> g(mu_);
  DirectoryCounts c;
  auto count = [&](const char* sql) -> long {
    sqlite3_stmt* stmt = nullptr;
    long n = -1;
    if (sqlite3_prepare_v2(Db(db_), sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      n = static_cast<long>(sqlite3_column_int64(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return n;
  };
  c.depts = count("SELECT COUNT(*) FROM NUV_Dept");
  c.users = count("SELECT COUNT(*) FROM SYS_User");
  c.members = count("SELECT COUNT(*) FROM NUV_DeptUser");
  return c;
}

}  // namespace sim
}  // namespace nuv
