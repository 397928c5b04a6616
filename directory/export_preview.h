#pragma once
// The administrator's dry run of the directory export: reads the IM database
// exactly as the export does, writes the two snapshot files into a directory
// the administrator names, and reports counts, warnings and what the removal
// guard would say against the service's current snapshots. Never touches the
// service's own snapshots and makes no cloud call. Runs on the caller's
// thread.

#include <ostream>
#include <string>

namespace nuv {

// Returns 0 when both files were written, 2 without a database connection,
// 3 when a table could not be read, 4 when a file could not be written or
// outDir is the service's own snapshot directory.
int RunExportPreview(const std::string& outDir, std::ostream& out);

}  // namespace nuv
