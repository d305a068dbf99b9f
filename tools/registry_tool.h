// The registry tool (wlreg) as a library: the parse and format functions of
// its commands, and the commands themselves, which talk to the user only
// through a ToolConsole, so that the tests run them in-process:
//   query KEY [/v NAME | /ve] [/s]
//   add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   delete KEY [/v NAME | /ve | /va] [/f]
//   export KEY FILE [/y]
//   import FILE
//   addhive ACCOUNT
// See docs/registry-tool.md. Any thread; commands change the registry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace wl {

inline constexpr int kToolSuccess = 0;
inline constexpr int kToolFailure = 1;

// Where a command's text goes and where the answers to its questions come
// from.
struct ToolConsole {
  std::function<void(std::wstring_view)> out;
  std::function<void(std::wstring_view)> err;
  // One line typed by the user without its line end; nullopt at the end of
  // the input.
  std::function<std::optional<std::string>()> readLine;
};

// Runs one command line (the arguments after the program name). Returns
// kToolSuccess, also for a question answered "no" and for "/?", or
// kToolFailure after writing "ERROR: ..." to err.
[[nodiscard]] int RunRegistryTool(const std::vector<std::wstring>& arguments, const ToolConsole& console);

// What "import FILE" does once it has read the file: parses the bytes of a
// .reg file and imports it (fileName names the file in messages). Returns
// like RunRegistryTool.
[[nodiscard]] int ImportRegistryText(std::string_view bytes, std::wstring_view fileName, const ToolConsole& console);

struct ToolKeyName {
  platform::HKey root = nullptr;
  std::wstring subKey;   // without leading or trailing backslashes
  std::wstring display;  // the root's long name and the sub-key
};

// "HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X" (roots without
// case, trailing backslashes dropped); false with a message for a remote
// name, an unknown root or two backslashes in a row.
bool ParseToolKeyName(std::wstring_view text, ToolKeyName* key, std::wstring* message);

// "REG_SZ", ... for a type, "0x" and hexadecimal digits for an unknown one.
std::wstring ToolTypeText(std::uint32_t type);
// The type that add stores for a /t name (without case); nullopt for a name
// it does not take.
std::optional<std::uint32_t> ParseToolTypeName(std::wstring_view name);

// The data as query shows it: strings up to their first null, REG_MULTI_SZ
// joined by \0, numbers as 0x and lower-case digits, anything else (and
// numbers of the wrong size) as upper-case hexadecimal bytes.
std::wstring ToolDataText(std::uint32_t type, const std::vector<std::uint8_t>& data);

// A file name as a path of the standard library, whatever its characters.
std::filesystem::path ToolFilePath(std::wstring_view name);

// Decimal digits, or 0x and hexadecimal digits, at most `limit`; nullopt
// for anything else.
std::optional<std::uint64_t> ParseToolNumber(std::wstring_view text, std::uint64_t limit);

// The bytes that add stores for /t TYPE /d DATA (separator: /s for
// REG_MULTI_SZ); false with a message.
bool BuildToolData(std::uint32_t type, std::wstring_view text, std::wstring_view separator,
                   std::vector<std::uint8_t>* data, std::wstring* message);

}  // namespace wl
