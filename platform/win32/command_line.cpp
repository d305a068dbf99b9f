#include "platform/command_line.h"

#include <windows.h>

#include <shellapi.h>

namespace wl::platform {

std::vector<std::wstring> CommandLineArguments(int, char**) {
  std::vector<std::wstring> arguments;
  int count = 0;
  wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (list == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(list[i]);
  ::LocalFree(list);
  return arguments;
}

std::wstring ProcessCommandLine(int, char**) { return ::GetCommandLineW(); }

}  // namespace wl::platform
