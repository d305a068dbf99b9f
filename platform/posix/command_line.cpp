#include "platform/command_line.h"

#include "platform/text.h"

namespace wl::platform {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(WideFromUtf8(argv[i]));
  return arguments;
}

std::wstring ProcessCommandLine(int argc, char** argv) {
  std::wstring line;
  for (int i = 0; i < argc; ++i) {
    std::wstring argument = WideFromUtf8(argv[i]);
    if (i > 0) line += L' ';
    bool quote = argument.empty() || argument.find_first_of(L" \t") != std::wstring::npos;
    line += quote ? L"\"" + argument + L"\"" : argument;
  }
  return line;
}

}  // namespace wl::platform
