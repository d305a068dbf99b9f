// scribe: the operator's tool of the log service: logs messages, shows and
// sets levels, resets the logs, lists the log files and follows one. Exit
// codes: 0 done, 1 bad command line, 2 the service cannot be reached, 3 a
// call, a file or the standard output failed. See tools/scribe_tool.h and
// docs/running.md.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "platform/command_line.h"
#include "platform/text.h"
#include "tools/scribe_tool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  wl::ScribeConsole console{
      [](std::string_view bytes) {
        // Flushed at once: follow's lines reach a pipe as they come.
        return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
      },
      [](std::wstring_view text) { std::fputs(wl::platform::Utf8FromWide(text).c_str(), stderr); },
      []() -> std::optional<std::string> {
        std::string line;
        if (!std::getline(std::cin, line)) return std::nullopt;
        return line;
      },
      []() { return true; }};
  return wl::RunScribeTool(wl::platform::CommandLineArguments(argc, argv), console);
}
