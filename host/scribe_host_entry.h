// The process entry of ScribeHost: crash handlers for the life of the entry,
// the command line, then the start of the server.
#pragma once

#include <string_view>

#include "com/com.h"

namespace wl {

// Reads the whole command line (program path included). Returns true when
// the server is to start; otherwise it has done a registration task and
// stored its result in *result.
using CommandLineParser = bool (*)(std::wstring_view commandLine, HRESULT* result);

// Installs the crash handlers, parses the command line and either returns
// the registration's result or starts the module (CScribeHostModule::Start)
// and returns its result; COM initialised by a local server's start is
// undone before the return. The result is the process's exit code.
int ScribeHostEntry(std::wstring_view commandLine, CommandLineParser parse);

}  // namespace wl
