#pragma once
// The bytes of the two directory snapshot files, and the comparison of a new
// snapshot with the previous one that guards against mass removal. Both files
// are GBK throughout (fixed header, every name converted to GBK), lines end in
// CR LF, fields are written as they are, separated by commas, unquoted: the
// importer on the cloud side reads exactly that layout. Pure functions.

#include <cstddef>
#include <string>
#include <vector>

#include "directory/dir_records.h"

namespace nuv {

// GBK bytes of the header lines (without CR LF).
extern const char kDeptCsvHeader[];
extern const char kUserCsvHeader[];

// The whole file. Each record whose text holds a comma or a line break (its
// line will not read back as the header's fields) adds one line to warnings.
std::string FormatDeptCsv(const std::vector<DeptRecord>& depts, std::vector<std::string>* warnings);
std::string FormatUserCsv(const std::vector<UserRecord>& users, std::vector<std::string>* warnings);

// How many records of the previous snapshot are missing from the new one,
// matched by department number (departments) or account (users).
struct RemovalCount {
  size_t previous = 0;
  size_t removed = 0;
};
RemovalCount CountRemovedDepts(const std::string& previousCsv, const std::string& newCsv);
RemovalCount CountRemovedUsers(const std::string& previousCsv, const std::string& newCsv);
// True when more than maxPercent of the previous records (and at least 10)
// would go; maxPercent >= 100 never blocks.
bool RemovalBlocked(const RemovalCount& count, long maxPercent);

}  // namespace nuv
