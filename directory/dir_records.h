#pragma once
// Records of the IM directory as read from the IM server's database. Every
// record starts zeroed; texts are wide and cut to the lengths below (the
// departments text of a combined user is kept whole: cutting it would drop
// memberships). Plain values, owned by the CDBProcessor lists that hold them.

#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv {

// Longest texts kept from the database, in characters.
constexpr size_t kDeptNameLen = 49;
constexpr size_t kAccountLen = 34;  // UserName, Name
constexpr size_t kMobileLen = 31;
constexpr size_t kEmailLen = 49;
constexpr size_t kPositionLen = 49;

// A row of NUV_Dept.
struct DeptRecord {
  int32_t DeptID = 0;
  int32_t PDeptID = 0;
  int32_t SortID = 0;
  std::wstring DeptName;
};

// A row of NUV_DeptUser: one membership of a user in a department.
struct DeptUserRecord {
  int32_t DeptID = 0;
  int32_t UserID = 0;
  int32_t SortID = 0;
};

// A row of NUV_UserDetail.
struct UserDetailRecord {
  int32_t ID = 0;
  std::wstring Position;
};

// A row of SYS_User.
struct SysUserRecord {
  int32_t ID = 0;
  std::wstring UserName;
  std::wstring Name;
  std::wstring Mobile;
  std::wstring Email;
  int16_t Gender = 0;
};

// A user as exported: the system user, the user detail and the list of the
// user's departments (cloud department numbers, DeptID + 1, joined by ';').
struct UserRecord {
  int32_t ID = 0;
  std::wstring departments;
  std::wstring UserName;
  std::wstring Name;
  std::wstring Mobile;
  std::wstring Email;
  std::wstring Position;
  int32_t Gender = 0;
};

}  // namespace nuv
