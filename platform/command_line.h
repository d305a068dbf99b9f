// The program's command-line arguments as wide text.
#pragma once

#include <string>
#include <vector>

namespace wl::platform {

// The arguments after the program name. On Windows they come from the
// process's wide command line (so no character is lost to the ANSI code
// page); on Linux from argv, decoded as UTF-8.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

}  // namespace wl::platform
