#include "tools/cli/cli.h"

#include <charconv>
#include <cstdio>
#include <iostream>

#include "platform/command_line.h"
#include "platform/text.h"

namespace wl::cli {

bool Console::Print(std::wstring_view text) const { return out(platform::Utf8FromWide(text)); }

bool IsHelp(std::wstring_view argument, Habits habits) {
  return argument == L"-h" || argument == L"--help" || (habits == Habits::kWindows && argument == L"/?");
}

std::optional<std::uint64_t> ParseNumber(std::wstring_view text, std::uint64_t limit) {
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // Digits are ASCII; anything else fails the conversion below.
  std::string digits;
  for (wchar_t c : text) digits.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  auto [stop, error] = std::from_chars(digits.data(), end, value, base);
  if (digits.empty() || error != std::errc() || stop != end || value > limit) return std::nullopt;
  return value;
}

std::filesystem::path FilePath(std::wstring_view name) {
  // A char8_t path is UTF-8 on every system, so any file name gets through.
  std::string utf8 = platform::Utf8FromWide(name);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

int RunProgram(int argc, char** argv,
               const std::function<int(const std::vector<std::wstring>&, const Console&)>& tool) {
  // The input is read through std::cin only, which then reads in blocks.
  std::ios::sync_with_stdio(false);
  Console console;
  console.out = [](std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
  };
  console.err = [](std::wstring_view text) {
    std::string bytes = platform::Utf8FromWide(text);
    (void)std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  };
  console.readLine = []() -> std::optional<std::string> {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
  };
  return tool(platform::CommandLineArguments(argc, argv), console);
}

}  // namespace wl::cli
