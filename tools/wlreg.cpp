// wlreg: reads and changes the registry (on Linux the stand-in's hive files)
// with the command syntax Windows administrators know. Exit code 0 on
// success, 1 on any failure. See tools/registry_tool.h and
// docs/registry-tool.md.
#include <cstdio>
#include <optional>
#include <string>

#include "platform/command_line.h"
#include "platform/text.h"
#include "tools/registry_tool.h"

int main(int argc, char** argv) {
  using wl::platform::Utf8FromWide;
  wl::ToolConsole console{
      [](std::wstring_view text) {
        std::fputs(Utf8FromWide(text).c_str(), stdout);
        // A question is seen before the answer is read.
        std::fflush(stdout);
      },
      [](std::wstring_view text) { std::fputs(Utf8FromWide(text).c_str(), stderr); },
      []() -> std::optional<std::string> {
        char line[64] = {};
        if (std::fgets(line, sizeof line, stdin) == nullptr) return std::nullopt;
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
      }};
  return wl::RunRegistryTool(wl::platform::CommandLineArguments(argc, argv), console);
}
