// wlsc: starts, runs, stops and queries services (see tools/service_tool.h
// and docs/running.md).
#include "tools/cli/cli.h"
#include "tools/service_tool.h"

int main(int argc, char** argv) { return wl::cli::RunProgram(argc, argv, wl::RunServiceTool); }
