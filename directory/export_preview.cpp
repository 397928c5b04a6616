#include "directory/export_preview.h"

#include <limits.h>
#include <stdlib.h>

#include "common/file_util.h"
#include "common/paths.h"
#include "common/service_ini.h"
#include "common/text_conv.h"
#include "directory/db_processor.h"
#include "directory/snapshot_format.h"

namespace nuv {
namespace {

// Says how the new file compares with the service's snapshot of that name.
void Compare(const std::string& outFile, const std::string& serviceFile, const char* noun,
             RemovalCount (*count)(const std::string&, const std::string&), std::ostream& out) {
  std::string previous, now;
  if (!ReadFileData(serviceFile, previous) || previous.empty()) {
    out << "  no current snapshot at " << serviceFile << ": the export would be a first run\n";
    return;
  }
  ReadFileData(outFile, now);
  if (previous == now) {
    out << "  unchanged against " << serviceFile << "\n";
    return;
  }
  const long maxPercent = ServiceIni::Get().GetInt("directory", "max_removed_percent", 20);
  RemovalCount c = count(previous, now);
  out << "  changed against " << serviceFile << ": " << c.removed << " of " << c.previous << " "
      << noun << " would be removed\n";
  if (RemovalBlocked(c, maxPercent)) {
    out << "  GUARD: more than " << maxPercent << "% of the " << noun
        << " would be removed; the service would keep its previous snapshot until "
           "[directory] max_removed_percent in service.ini is raised\n";
  }
}

// The canonical form of a directory, or empty when it cannot be resolved.
std::string RealDir(const std::string& dir) {
  char buf[PATH_MAX];
  return ::realpath(dir.c_str(), buf) ? std::string(buf) : std::string();
}

}  // namespace

int RunExportPreview(const std::string& outDirIn, std::ostream& out) {
  std::string outDir = outDirIn;
  if (outDir.empty()) outDir = ".";
  if (outDir.back() != '/') outDir += '/';
  if (!MakeDirs(outDir)) {
    out << "cannot create " << outDir << "\n";
    return 4;
  }
  // Writing into the service's own directory would replace its snapshots:
  // the next export would then find "no change" and never upload it.
  const std::string outReal = RealDir(outDir);
  if (outReal.empty() || outReal == RealDir(GetSyncConfigDirA())) {
    out << "refusing to write into " << outDir
        << ": that is the service's own snapshot directory; name another directory\n";
    return 4;
  }
  CDBProcessor p;
  p.SetNoticeSink([&out](const std::string& line) { out << "  " << line << "\n"; });
  const std::wstring conn = p.GetDBPath();
  out << "IM server installation: " << WideToPath(GetNuvInstallDir()) << "\n";
  out << "connection text: "
      << (conn.empty() ? std::string("(none in nuvserver.xml, the default)") : WideToUtf8(conn))
      << "\n";
  p.OpenDB(conn);
  if (!p.IsOpen()) {
    out << "cannot open the IM database (see the log for the driver's reason)\n";
    return 2;
  }
  if (p.RefreshDept() != 1 || p.RefreshUsers() != 1) {
    out << "reading the IM database failed (see the log); nothing written\n";
    return 3;
  }
  const std::string deptOut = outDir + kDeptSnapshotName;
  const std::string userOut = outDir + kUserSnapshotName;
  const std::string serviceDir = GetSyncConfigDirA();

  out << "departments: " << p.depts().size() << " -> " << deptOut << "\n";
  if (p.WriteDeptDataToFile(p.depts(), deptOut) != 0) return 4;
  Compare(deptOut, serviceDir + kDeptSnapshotName, "departments", CountRemovedDepts, out);

  out << "users: " << p.users().size() << " -> " << userOut << "\n";
  if (p.WriteUserDataToFile(p.users(), userOut) != 0) return 4;
  Compare(userOut, serviceDir + kUserSnapshotName, "users", CountRemovedUsers, out);
  return 0;
}

}  // namespace nuv
