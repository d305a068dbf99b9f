// wlreg: reads and changes the registry (on Linux the stand-in's hive files)
// with the command syntax Windows administrators know. Exit code 0 on
// success, 1 on a failure, 2 on a command line it does not take. See
// tools/registry_tool.h and docs/registry-tool.md.
#include "tools/cli/cli.h"
#include "tools/registry_tool.h"

int main(int argc, char** argv) { return wl::cli::RunProgram(argc, argv, wl::RunRegistryTool); }
