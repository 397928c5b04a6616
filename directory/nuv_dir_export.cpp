// nuv_dir_export: dry run of the directory export for administrators.
//   nuv_dir_export OUTDIR [--root INSTALL_ROOT]
// Reads the IM database as the service's export does (the installation root
// defaults to the one this program is installed in: <root>/bin/) and writes
// deptFramework.csv and userFramework.csv into OUTDIR, printing counts,
// warnings and guard verdicts. No cloud call; the service's snapshots stay.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "common/paths.h"
#include "directory/export_preview.h"

int main(int argc, char** argv) {
  std::string outDir, root;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root = argv[++i];
    } else if (argv[i][0] == '-' || !outDir.empty()) {
      outDir.clear();
      break;
    } else {
      outDir = argv[i];
    }
  }
  if (outDir.empty()) {
    std::fprintf(stderr, "usage: %s OUTDIR [--root INSTALL_ROOT]\n", argv[0]);
    return 1;
  }
  if (!root.empty()) {
    // Read that installation's Config/service.ini and snapshots instead.
    nuv::SetInstallRoot(root);
  }
  return nuv::RunExportPreview(outDir, std::cout);
}
