// The program's command line as wide text.
#pragma once

#include <string>
#include <vector>

namespace wl::platform {

// The arguments after the program name. On Windows they come from the
// process's wide command line (so no character is lost to the ANSI code
// page); on Linux from argv, decoded as UTF-8.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// The whole command line, program path included (GetCommandLineW). On Linux
// argv decoded as UTF-8 and joined by blanks, an argument that holds a
// blank or a tab (or none at all) in double quotes, as a Windows command
// line would quote it.
std::wstring ProcessCommandLine(int argc, char** argv);

}  // namespace wl::platform
