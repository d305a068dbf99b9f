// wlsc: starts, runs, stops and queries services (see tools/service_tool.h
// and docs/running.md).
#include <cstdio>
#include <optional>
#include <string>

#include "platform/command_line.h"
#include "platform/text.h"
#include "tools/service_tool.h"

int main(int argc, char** argv) {
  using wl::platform::Utf8FromWide;
  wl::ToolConsole console{
      [](std::wstring_view text) {
        std::fputs(Utf8FromWide(text).c_str(), stdout);
        // Seen before "run" replaces the program.
        std::fflush(stdout);
      },
      [](std::wstring_view text) { std::fputs(Utf8FromWide(text).c_str(), stderr); },
      []() -> std::optional<std::string> { return std::nullopt; }};
  return wl::RunServiceTool(wl::platform::CommandLineArguments(argc, argv), console);
}
