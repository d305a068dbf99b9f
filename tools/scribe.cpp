// scribe: the operator's tool of the log service: logs messages, shows and
// sets levels, resets the logs, lists the log files and follows one. Exit
// codes: 0 done, 1 a call, a file or the standard output failed, 2 bad
// command line, 3 the service cannot be reached. See tools/scribe_tool.h
// and docs/running.md.
#include "logclient/logger.h"
#include "tools/cli/cli.h"
#include "tools/scribe_tool.h"

int main(int argc, char** argv) {
  // What the library reports on the way (a data folder it cannot make) goes
  // to the log service as well.
  wl::SendReportsToLogger();
  return wl::cli::RunProgram(argc, argv,
                             [](const std::vector<std::wstring>& arguments, const wl::cli::Console& console) {
                               return wl::RunScribeTool(arguments, console);
                             });
}
