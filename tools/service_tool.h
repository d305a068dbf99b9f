// wlsc: the service control manager from the command line, for operators
// and scripts (on Linux the stand-in's services, on Windows the system's):
//
//   wlsc start NAME    start the installed service (detached)
//   wlsc run NAME      run it in the foreground, in this terminal (Linux);
//                      Ctrl-C or SIGTERM is its stop control
//   wlsc stop NAME     send the stop control
//   wlsc query NAME    print its state: "NAME: RUNNING (process 1234)"
//
// Exit code 0 on success, 1 with "ERROR: ..." (the system's text of the
// code) on standard error otherwise, 2 for a command line it does not know
// (after the usage). -h, --help and /? print the usage.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/cli.h"

namespace wl {

[[nodiscard]] int RunServiceTool(const std::vector<std::wstring>& arguments, const cli::Console& console);

}  // namespace wl
