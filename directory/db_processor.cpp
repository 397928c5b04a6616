#include "directory/db_processor.h"

#include <malloc.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <unordered_map>
#include <utility>

#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/text_conv.h"
#include "directory/odbc_session.h"

namespace nuv {
namespace {

// Reads the columns of one row by the directory's type rules: a value is
// taken only when the driver describes the column with the expected kind;
// NULL, a missing column or another kind leave the field 0 or empty. Every
// value is fetched as text. The getters return false only when the driver
// failed to deliver the value.
class RowReader {
 public:
  explicit RowReader(OdbcCursor& cursor) : c_(cursor) {}

  int Col(const char* name) const { return c_.FindColumn(name); }

  bool Int(int col, ColumnKind want, int32_t& out) {
    if (col < 0 || c_.columns()[static_cast<size_t>(col)].kind != want) return true;
    bool isNull = false;
    if (!c_.GetText(col, buf_, isNull)) return false;
    long v = 0;
    const long lo = want == ColumnKind::kInt16 ? SHRT_MIN : INT32_MIN;
    const long hi = want == ColumnKind::kInt16 ? SHRT_MAX : INT32_MAX;
    if (!isNull && ParseIntText(buf_, lo, hi, v)) out = static_cast<int32_t>(v);
    return true;
  }

  bool Text(int col, size_t maxLen, std::wstring& out) {
    if (col < 0 || c_.columns()[static_cast<size_t>(col)].kind != ColumnKind::kText) return true;
    bool isNull = false;
    if (!c_.GetText(col, buf_, isNull)) return false;
    if (isNull) return true;
    out = Utf8ToWide(buf_);
    if (out.size() > maxLen) out.resize(maxLen);
    // Room for the UTF-8 bytes is more than the characters need (a short
    // Chinese name fits the string itself); a directory keeps many.
    if (out.size() < buf_.size()) out.shrink_to_fit();
    return true;
  }

 private:
  OdbcCursor& c_;
  std::string buf_;
};

// Runs one table query: the query (or, when the driver refuses it, the
// fallback query), then every row through read (false = the row failed),
// keep (the row filter) and take, which receives each kept record. Returns
// 1, or 0 when the query could not be run or the driver failed between
// rows (what take received is then no table and must be dropped).
template <typename Rec, typename Read, typename Keep, typename Take>
int RunQuery(OdbcSession* db, const char* name, const char* sql, const char* fallback, Read read, Keep keep,
             Take take, bool* usedFallback = nullptr) {
  if (!db) return 0;
  std::string error;
  std::unique_ptr<OdbcCursor> cursor = db->Query(sql, error);
  if (!cursor && fallback) {
    cursor = db->Query(fallback, error);
    if (cursor && usedFallback) *usedFallback = true;
  }
  if (!cursor) {
    WriteLogF("CDBProcessor::%s crash 2", name);
    WriteLogF("CDBProcessor::%s query '%s' failed: %s", name, sql, error.c_str());
    return 0;
  }
  RowReader reader(*cursor);
  for (;;) {
    int r = cursor->Fetch();
    if (r == 0) break;
    if (r < 0) {
      WriteLogF("CDBProcessor::%s crash 2", name);
      WriteLogF("CDBProcessor::%s reading rows failed: %s", name, cursor->error().c_str());
      return 0;
    }
    Rec rec;
    if (!read(reader, rec)) {
      WriteLogF("CDBProcessor::%s crash 1", name);
      continue;
    }
    if (keep(rec)) take(std::move(rec));
  }
  return 1;
}

// One table load into its list: emptied first, and left empty when the
// query fails.
template <typename Rec, typename Read, typename Keep>
int RunLoad(OdbcSession* db, const char* name, const char* sql, const char* fallback,
            std::vector<Rec>& list, Read read, Keep keep, bool* usedFallback = nullptr) {
  list.clear();
  const int r = RunQuery<Rec>(db, name, sql, fallback, read, keep,
                              [&list](Rec&& rec) { list.push_back(std::move(rec)); }, usedFallback);
  if (r != 1) list.clear();
  return r;
}

// The rows of the three user tables, by the directory's type rules.
bool ReadDeptUser(RowReader& rd, DeptUserRecord& m) {
  return rd.Int(rd.Col("DeptID"), ColumnKind::kInt32, m.DeptID) &&
         rd.Int(rd.Col("UserID"), ColumnKind::kInt32, m.UserID) &&
         rd.Int(rd.Col("SortID"), ColumnKind::kInt32, m.SortID);
}
bool KeepDeptUser(const DeptUserRecord& m) { return m.UserID > 0; }

bool ReadUserDetail(RowReader& rd, UserDetailRecord& u) {
  return rd.Int(rd.Col("ID"), ColumnKind::kInt32, u.ID) && rd.Text(rd.Col("Position"), kPositionLen, u.Position);
}
bool KeepUserDetail(const UserDetailRecord& u) { return u.ID > 0; }

bool ReadSysUser(RowReader& rd, SysUserRecord& u) {
  int32_t gender = 0;
  bool ok = rd.Int(rd.Col("ID"), ColumnKind::kInt32, u.ID) &&
            rd.Text(rd.Col("UserName"), kAccountLen, u.UserName) &&
            rd.Text(rd.Col("Name"), kAccountLen, u.Name) &&
            rd.Int(rd.Col("Gender"), ColumnKind::kInt16, gender) &&
            rd.Text(rd.Col("Mobile"), kMobileLen, u.Mobile) &&
            rd.Text(rd.Col("Email"), kEmailLen, u.Email);
  u.Gender = static_cast<int16_t>(gender);
  return ok;
}
bool KeepSysUser(const SysUserRecord& u) { return u.ID > 0; }

constexpr char kDeptUserSql[] = "SELECT * FROM NUV_DeptUser";
constexpr char kUserDetailSql[] = "SELECT * FROM NUV_UserDetail";
constexpr char kSysUserSql[] = "SELECT * FROM SYS_User";

// The MDB Tools driver (the Access reader on Linux) parses no ORDER BY and
// prints its parser's complaints on the terminal when asked; it is given the
// plain select right away.
bool DriverCannotOrder(const OdbcSession* db) {
  return db && strcasecmp(db->dbmsName().c_str(), "MDBTOOLS") == 0;
}

}  // namespace

CDBProcessor::CDBProcessor() = default;

CDBProcessor::~CDBProcessor() {
  // A directory's records are many small blocks; once they are freed, hand
  // the memory back to the system instead of keeping it for the worker's
  // lifetime.
  const bool held = !m_vecUser.empty() || !m_vecSysUser.empty() || !m_vecDeptUser.empty() || !m_vecDept.empty();
  ClearUsers();
  ClearSysUser();
  ClearDeptUser();
  ClearUserDetail();
  ClearDept();
  m_db.reset();
  if (held) ::malloc_trim(0);
}

void CDBProcessor::Notice(const std::string& line) {
  WriteLogF("%s", line.c_str());
  if (m_notice) m_notice(line);
}

// ---------------------------------------------------------------------------
// Where the database is

std::wstring FindDBConnstring(const std::wstring& xml) {
  size_t begin = xml.find(L"<DBServer");
  if (begin == std::wstring::npos) return L"";
  size_t end = xml.find(L"</DBServer>", begin);
  if (end == std::wstring::npos) return L"";
  const std::wstring attr = L"DBConnstring=\"";
  size_t at = xml.find(attr, begin);
  if (at == std::wstring::npos || at >= end) return L"";
  size_t valueStart = at + attr.size();
  size_t quote = xml.find(L'"', valueStart);
  if (quote == std::wstring::npos || quote > end) return L"";
  return xml.substr(valueStart, quote - valueStart);
}

std::wstring CDBProcessor::GetDBPath() {
  const std::string install = WideToPath(GetNuvInstallDir());
  if (install.empty()) return L"";
  // Read where it is: the IM server's tree belongs to the IM server, and a
  // copy written there could be aimed anywhere by a link. Linux does not
  // keep the IM server's open file from being read.
  const std::string source = install + "/Config/nuvserver.xml";
  constexpr size_t kMaxBytes = 1 << 20;
  std::string bytes;
  int err = 0;
  const int rc = ReadFileChecked(source, bytes, kMaxBytes, true, &err);
  if (rc == kReadFailed && err == ELOOP) {
    WriteLogF("CDBProcessor::GetDBPath '%s' is a symbolic link and is not followed: the default connection "
              "text is used",
              source.c_str());
  } else if (rc == kReadTooLarge) {
    WriteLogF("CDBProcessor::GetDBPath '%s' is larger than 1 MiB and is not read: the default connection "
              "text is used",
              source.c_str());
  }
  if (rc != kReadOk || bytes.empty()) return L"";
  return FindDBConnstring(AnsiToWide(bytes));
}

namespace {

// key=value attributes of an ODBC connection text; a value may be braced
// ("{a;b}", "}}" for a brace inside). Keys in upper case, trimmed.
std::vector<std::pair<std::string, std::string>> ConnAttributes(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  auto trim = [](std::string s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  };
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = text.find_first_of("=;", i);
    if (eq == std::string::npos || text[eq] == ';') {
      i = eq == std::string::npos ? text.size() : eq + 1;
      continue;
    }
    std::string key = trim(text.substr(i, eq - i));
    for (char& c : key) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
    size_t v = text.find_first_not_of(" \t", eq + 1);
    std::string value;
    if (v != std::string::npos && text[v] == '{') {
      size_t k = v + 1;
      for (; k < text.size(); ++k) {
        if (text[k] == '}') {
          if (k + 1 < text.size() && text[k + 1] == '}') {
            value += '}';
            ++k;
            continue;
          }
          break;
        }
        value += text[k];
      }
      size_t semi = text.find(';', k);
      i = semi == std::string::npos ? text.size() : semi + 1;
    } else {
      size_t semi = text.find(';', eq + 1);
      value = trim(text.substr(eq + 1, semi == std::string::npos ? std::string::npos : semi - eq - 1));
      i = semi == std::string::npos ? text.size() : semi + 1;
    }
    out.emplace_back(key, value);
  }
  return out;
}

}  // namespace

std::string CheckDBConnText(const std::string& connText, const std::vector<std::string>& drivers) {
  for (const auto& [key, value] : ConnAttributes(connText)) {
    if (key == "FILEDSN" || key == "SAVEFILE")
      return "the connection text names a file DSN (" + key + "), which is not used";
    if (key != "DRIVER") continue;
    if (value.find('/') != std::string::npos)
      return "the connection text gives the driver as a library path ('" + value +
             "'); only the drivers installed in odbcinst.ini are used";
    bool known = false;
    for (const std::string& d : drivers) known = known || strcasecmp(d.c_str(), value.c_str()) == 0;
    if (!known) {
      std::string list;
      for (const std::string& d : drivers) list += (list.empty() ? "" : ", ") + d;
      return "the driver '" + value + "' is not one of the drivers installed in odbcinst.ini (" + list + ")";
    }
  }
  return "";
}

std::string ExpandDBConnText(const std::wstring& connText, const std::wstring& installDir) {
  std::string text = WideToUtf8(connText.empty() ? Utf8ToWide(kDefaultDBConnText) : connText);
  const std::string dir = WideToPath(installDir);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "..") == 0) {
      out += dir;
      ++i;
    } else {
      out += text[i];
    }
  }
  std::string lower = out;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(::tolower(c)); });
  if (lower.find("sqlite") == std::string::npos) return out;
  // The SQLite driver reads a whole result into memory before the first
  // row unless told to step through it: a directory would be held twice.
  const std::pair<const char*, const char*> options[] = {{"nocreat", "NoCreat=1"}, {"stepapi", "StepAPI=1"}};
  for (const auto& option : options) {
    if (lower.find(option.first) != std::string::npos) continue;
    if (!out.empty() && out.back() != ';') out += ';';
    out += option.second;
  }
  return out;
}

int CDBProcessor::OpenDB(const std::wstring& connText) {
  m_db.reset();
  const std::string text = ExpandDBConnText(connText, GetNuvInstallDir());
  // The text comes from the IM server's tree: it may pick a driver the
  // driver manager knows, not a library of its own to be loaded here.
  std::string error = CheckDBConnText(text, InstalledOdbcDrivers());
  if (error.empty()) m_db = OdbcSession::Open(text, error);
  if (!m_db) {
    if (error.empty()) error = "the driver reported no reason";
    WriteLogF("打开数据库失败，错误提示：%s。", error.c_str());
    std::printf("打开数据库失败，错误提示：%s。\n", error.c_str());
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Table loads

int CDBProcessor::LoadDept() {
  const char kOrdered[] = "SELECT * FROM NUV_Dept ORDER BY PDeptID";
  const char kPlain[] = "SELECT * FROM NUV_Dept";
  const bool plainOnly = DriverCannotOrder(m_db.get());
  if (plainOnly) {
    static std::atomic<bool> said{false};  // once per process, not every sync run
    if (!said.exchange(true))
      WriteLogF("CDBProcessor::LoadDept the %s driver cannot order rows: reading NUV_Dept "
                "unordered and ordering it by PDeptID here",
                m_db->dbmsName().c_str());
  }
  bool unsorted = plainOnly;
  int r = RunLoad(
      m_db.get(), "LoadDept", plainOnly ? kPlain : kOrdered, plainOnly ? nullptr : kPlain,
      m_vecDept,
      [](RowReader& rd, DeptRecord& d) {
        return rd.Int(rd.Col("DeptID"), ColumnKind::kInt32, d.DeptID) &&
               rd.Int(rd.Col("PDeptID"), ColumnKind::kInt32, d.PDeptID) &&
               rd.Text(rd.Col("DeptName"), kDeptNameLen, d.DeptName) &&
               rd.Int(rd.Col("SortID"), ColumnKind::kInt16, d.SortID);
      },
      [](const DeptRecord&) { return true; }, &unsorted);
  // Some drivers cannot order; order here, keeping the row order of equals.
  if (r == 1 && unsorted) {
    std::stable_sort(m_vecDept.begin(), m_vecDept.end(),
                     [](const DeptRecord& a, const DeptRecord& b) { return a.PDeptID < b.PDeptID; });
  }
  return r;
}

int CDBProcessor::LoadDeptUsers() {
  return RunLoad(m_db.get(), "LoadDeptUsers", kDeptUserSql, nullptr, m_vecDeptUser, ReadDeptUser, KeepDeptUser);
}

int CDBProcessor::LoadUserDetail() {
  return RunLoad(m_db.get(), "LoadUserDetail", kUserDetailSql, nullptr, m_vecUserDetail, ReadUserDetail,
                 KeepUserDetail);
}

int CDBProcessor::LoadUsers() {
  return RunLoad(m_db.get(), "LoadUsers", kSysUserSql, nullptr, m_vecSysUser, ReadSysUser, KeepSysUser);
}

int CDBProcessor::BuildUserList() {
  // The memberships name the users, in the order of each one's first row.
  // The user details and system users are then read straight into those
  // users (the first row of an ID wins) instead of being kept as lists
  // first: a directory is then held once, not twice, while it is joined.
  ClearUsers();
  ClearUserDetail();
  ClearSysUser();
  int r = LoadDeptUsers();
  if (r != 1) return r;

  std::unordered_map<int32_t, size_t> index;  // UserID -> position in m_vecUser
  for (const auto& m : m_vecDeptUser) index.emplace(m.UserID, index.size());
  m_vecUser.resize(index.size());
  for (const auto& m : m_vecDeptUser) {
    UserRecord& u = m_vecUser[index[m.UserID]];
    if (!u.departments.empty()) u.departments += L';';
    u.ID = m.UserID;
    u.departments += std::to_wstring(static_cast<long long>(m.DeptID) + 1);
  }
  std::vector<bool> taken(m_vecUser.size());
  auto slot = [&](int32_t id) -> UserRecord* {
    auto found = index.find(id);
    if (found == index.end() || taken[found->second]) return nullptr;
    taken[found->second] = true;
    return &m_vecUser[found->second];
  };
  r = RunQuery<UserDetailRecord>(m_db.get(), "LoadUserDetail", kUserDetailSql, nullptr, ReadUserDetail,
                                 KeepUserDetail, [&](UserDetailRecord&& d) {
                                   if (UserRecord* u = slot(d.ID)) u->Position = std::move(d.Position);
                                 });
  if (r == 1) {
    taken.assign(m_vecUser.size(), false);
    r = RunQuery<SysUserRecord>(m_db.get(), "LoadUsers", kSysUserSql, nullptr, ReadSysUser, KeepSysUser,
                                [&](SysUserRecord&& s) {
                                  if (UserRecord* u = slot(s.ID)) {
                                    u->UserName = std::move(s.UserName);
                                    u->Name = std::move(s.Name);
                                    u->Mobile = std::move(s.Mobile);
                                    u->Email = std::move(s.Email);
                                    u->Gender = s.Gender;
                                  }
                                });
  }
  if (r != 1) ClearUsers();  // a failed read is no directory
  return r;
}

int CDBProcessor::RefreshDept() {
  ClearDept();
  return m_db ? LoadDept() : 0;
}

int CDBProcessor::RefreshUsers() {
  ClearUsers();
  return m_db ? BuildUserList() : 0;
}

const std::vector<DeptRecord>& CDBProcessor::GetDeptList() {
  if (m_db) RefreshDept();
  return m_vecDept;
}

const std::vector<UserRecord>& CDBProcessor::GetUserList() {
  if (m_db) RefreshUsers();
  return m_vecUser;
}

void CDBProcessor::ClearDept() { std::vector<DeptRecord>().swap(m_vecDept); }
void CDBProcessor::ClearDeptUser() { std::vector<DeptUserRecord>().swap(m_vecDeptUser); }
void CDBProcessor::ClearUserDetail() { std::vector<UserDetailRecord>().swap(m_vecUserDetail); }
void CDBProcessor::ClearSysUser() { std::vector<SysUserRecord>().swap(m_vecSysUser); }
void CDBProcessor::ClearUsers() { std::vector<UserRecord>().swap(m_vecUser); }

}  // namespace nuv
