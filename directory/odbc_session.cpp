#include "directory/odbc_session.h"

#include <sql.h>
#include <sqlext.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>

namespace nuv {
namespace {

// Collects every diagnostic record of a handle into one line.
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  for (SQLSMALLINT i = 1; i < 20; ++i) {
    SQLCHAR state[8] = {0};
    SQLCHAR msg[1024] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, msg, sizeof msg, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    if (!text.empty()) text += "; ";
    text += reinterpret_cast<char*>(state);
    text += ' ';
    text += reinterpret_cast<char*>(msg);
  }
  return text;
}

ColumnKind KindOf(SQLSMALLINT sqlType) {
  switch (sqlType) {
    case SQL_INTEGER: return ColumnKind::kInt32;
    case SQL_SMALLINT: return ColumnKind::kInt16;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR: return ColumnKind::kText;
    default: return ColumnKind::kOther;
  }
}

// Owns an ODBC handle of one type.
class Handle {
 public:
  Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &h_))) h_ = SQL_NULL_HANDLE;
  }
  ~Handle() {
    if (h_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SQLHANDLE get() const { return h_; }
  bool ok() const { return h_ != SQL_NULL_HANDLE; }

 private:
  SQLSMALLINT type_;
  SQLHANDLE h_ = SQL_NULL_HANDLE;
};

class CursorImpl : public OdbcCursor {
 public:
  explicit CursorImpl(std::unique_ptr<Handle> stmt) : stmt_(std::move(stmt)) {}
  ~CursorImpl() override { SQLCloseCursor(stmt_->get()); }

  bool Describe() {
    SQLSMALLINT n = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt_->get(), &n))) return false;
    for (SQLSMALLINT i = 1; i <= n; ++i) {
      SQLCHAR name[256] = {0};
      SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!SQL_SUCCEEDED(SQLDescribeCol(stmt_->get(), i, name, sizeof name, &nameLen, &type,
                                        &size, &digits, &nullable))) {
        error_ = Diagnostics(SQL_HANDLE_STMT, stmt_->get());
        return false;
      }
      columns_.push_back({reinterpret_cast<char*>(name), KindOf(type)});
    }
    return true;
  }

  const std::vector<OdbcColumn>& columns() const override { return columns_; }
  const std::string& error() const override { return error_; }

  int Fetch() override {
    SQLRETURN rc = SQLFetch(stmt_->get());
    if (rc == SQL_NO_DATA) return 0;
    if (SQL_SUCCEEDED(rc)) return 1;
    error_ = Diagnostics(SQL_HANDLE_STMT, stmt_->get());
    return -1;
  }

  bool GetText(int column, std::string& out, bool& isNull) override {
    out.clear();
    isNull = false;
    if (column < 0 || column >= static_cast<int>(columns_.size())) return false;
    char buf[512];
    for (int guard = 0; guard < 100000; ++guard) {
      SQLLEN ind = 0;
      SQLRETURN rc = SQLGetData(stmt_->get(), static_cast<SQLUSMALLINT>(column + 1), SQL_C_CHAR,
                                buf, sizeof buf, &ind);
      if (rc == SQL_NO_DATA) return true;  // all parts read
      if (!SQL_SUCCEEDED(rc)) {
        error_ = Diagnostics(SQL_HANDLE_STMT, stmt_->get());
        return false;
      }
      if (ind == SQL_NULL_DATA) {
        isNull = true;
        return true;
      }
      // A full buffer with more to come holds sizeof buf - 1 bytes plus the
      // terminator; the last part holds ind bytes.
      size_t got = (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf))
                       ? sizeof buf - 1
                       : static_cast<size_t>(ind);
      out.append(buf, got);
      if (rc == SQL_SUCCESS) return true;
    }
    return false;
  }

 private:
  std::unique_ptr<Handle> stmt_;
  std::vector<OdbcColumn> columns_;
  std::string error_;
};

class SessionImpl : public OdbcSession {
 public:
  SessionImpl() : env_(SQL_HANDLE_ENV, SQL_NULL_HANDLE) {}
  ~SessionImpl() override {
    if (connected_) SQLDisconnect(dbc_->get());
  }

  bool Connect(const std::string& text, std::string& error) {
    if (!env_.ok()) {
      error = "cannot allocate an ODBC environment";
      return false;
    }
    SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                  0);
    dbc_ = std::make_unique<Handle>(SQL_HANDLE_DBC, env_.get());
    if (!dbc_->ok()) {
      error = "cannot allocate an ODBC connection";
      return false;
    }
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    std::string in = text;
    SQLRETURN rc = SQLDriverConnect(dbc_->get(), nullptr,
                                    reinterpret_cast<SQLCHAR*>(in.data()),
                                    static_cast<SQLSMALLINT>(in.size()), out, sizeof out, &outLen,
                                    SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      error = Diagnostics(SQL_HANDLE_DBC, dbc_->get());
      return false;
    }
    connected_ = true;
    SQLCHAR name[256] = {0};
    SQLSMALLINT nameLen = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(dbc_->get(), SQL_DBMS_NAME, name, sizeof name, &nameLen)))
      dbmsName_ = reinterpret_cast<char*>(name);
    return true;
  }

  const std::string& dbmsName() const override { return dbmsName_; }

  std::unique_ptr<OdbcCursor> Query(const std::string& sql, std::string& error) override {
    auto stmt = std::make_unique<Handle>(SQL_HANDLE_STMT, dbc_->get());
    if (!stmt->ok()) {
      error = "cannot allocate an ODBC statement";
      return nullptr;
    }
    SQLSetStmtAttr(stmt->get(), SQL_ATTR_CURSOR_TYPE,
                   reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
    SQLSetStmtAttr(stmt->get(), SQL_ATTR_CONCURRENCY,
                   reinterpret_cast<SQLPOINTER>(SQL_CONCUR_READ_ONLY), 0);
    std::string text = sql;
    SQLRETURN rc = SQLExecDirect(stmt->get(), reinterpret_cast<SQLCHAR*>(text.data()),
                                 static_cast<SQLINTEGER>(text.size()));
    if (!SQL_SUCCEEDED(rc)) {
      error = Diagnostics(SQL_HANDLE_STMT, stmt->get());
      if (error.empty()) error = "the driver refused the query";
      return nullptr;
    }
    auto cursor = std::make_unique<CursorImpl>(std::move(stmt));
    if (!cursor->Describe()) {
      error = cursor->error();
      if (error.empty()) error = "the driver could not describe the result";
      return nullptr;
    }
    return cursor;
  }

 private:
  Handle env_;
  std::unique_ptr<Handle> dbc_;
  bool connected_ = false;
  std::string dbmsName_;
};

}  // namespace

int OdbcCursor::FindColumn(const std::string& name) const {
  const auto& cols = columns();
  for (size_t i = 0; i < cols.size(); ++i) {
    if (strcasecmp(cols[i].name.c_str(), name.c_str()) == 0) return static_cast<int>(i);
  }
  return -1;
}

std::unique_ptr<OdbcSession> OdbcSession::Open(const std::string& connText, std::string& error) {
  auto s = std::make_unique<SessionImpl>();
  if (!s->Connect(connText, error)) return nullptr;
  return s;
}

std::vector<std::string> InstalledOdbcDrivers() {
  std::vector<std::string> names;
  Handle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!env.ok()) return names;
  SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLCHAR name[512];
  SQLCHAR attrs[1024];
  SQLSMALLINT nameLen = 0, attrsLen = 0;
  SQLUSMALLINT dir = SQL_FETCH_FIRST;
  while (SQL_SUCCEEDED(SQLDrivers(env.get(), dir, name, sizeof name, &nameLen, attrs, sizeof attrs, &attrsLen))) {
    names.emplace_back(reinterpret_cast<char*>(name));
    dir = SQL_FETCH_NEXT;
  }
  return names;
}

bool ParseIntText(const std::string& text, long lo, long hi, long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) return false;
  while (*end == ' ') ++end;
  if (*end != '\0' || v < lo || v > hi) return false;
  value = v;
  return true;
}

}  // namespace nuv
