#pragma once
// Thin layer over the unixODBC driver manager: one connection and forward-only,
// read-only cursors over it. The directory reader sees only our types; every
// ODBC call of the project lives in odbc_session.cpp. Values are always fetched
// as text (some drivers misreport negative small integers when fetched as
// numbers); the column's declared kind comes from the driver's description.
// An OdbcSession and its cursors belong to one thread.

#include <memory>
#include <string>
#include <vector>

namespace nuv {

// What the driver says a column holds.
enum class ColumnKind { kInt32, kInt16, kText, kOther };

struct OdbcColumn {
  std::string name;  // as the driver names it
  ColumnKind kind = ColumnKind::kOther;
};

// One result set, read row by row. Owned by the caller; must not outlive the
// session that made it.
class OdbcCursor {
 public:
  virtual ~OdbcCursor() = default;
  virtual const std::vector<OdbcColumn>& columns() const = 0;
  // Index of the column with that name (case-insensitive), or -1.
  int FindColumn(const std::string& name) const;
  // Moves to the next row: 1 = a row, 0 = no more rows, -1 = the driver failed
  // (the diagnostic text is in error()).
  virtual int Fetch() = 0;
  // Reads a column of the current row as UTF-8 text (the driver's character
  // data). Returns false when the driver failed; isNull tells SQL NULL.
  virtual bool GetText(int column, std::string& out, bool& isNull) = 0;
  virtual const std::string& error() const = 0;
};

// One open connection made from a connection text without a data source name.
class OdbcSession {
 public:
  virtual ~OdbcSession() = default;
  // Opens the connection; nullptr on failure with the driver's diagnostic
  // text (possibly empty: some drivers report nothing) in error.
  static std::unique_ptr<OdbcSession> Open(const std::string& connText, std::string& error);
  // Runs a query forward-only and read-only; nullptr on failure with the
  // diagnostic text in error.
  virtual std::unique_ptr<OdbcCursor> Query(const std::string& sql, std::string& error) = 0;
  // The database product as the driver names it (SQL_DBMS_NAME, e.g.
  // "MDBTOOLS", "SQLite"); empty when the driver does not say.
  virtual const std::string& dbmsName() const = 0;
};

// The names of the drivers the driver manager knows (the sections of
// odbcinst.ini); empty when it cannot tell.
std::vector<std::string> InstalledOdbcDrivers();

// Parses the text of an integer column into value; false when it is not a
// whole number within [lo, hi].
bool ParseIntText(const std::string& text, long lo, long hi, long& value);

}  // namespace nuv
