#include "platform/command_line.h"

#include "platform/text.h"

namespace wl::platform {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(WideFromUtf8(argv[i]));
  return arguments;
}

std::wstring ProcessCommandLine(int argc, char** argv) {
  std::vector<std::wstring> words;
  words.reserve(argc);

  for (int i = 0; i < argc; ++i) words.push_back(WideFromUtf8(argv[i]));
  return JoinCommandLine(words);
}

}  // namespace wl::platform
