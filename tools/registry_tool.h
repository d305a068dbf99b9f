// The registry tool (wlreg) as a library: the parse and format functions of
// its commands, and the commands themselves, which talk to the user only
// through a console of the tools' kit, so that the tests run them in-process:
//   query KEY [/v NAME | /ve] [/s]
//   add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   delete KEY [/v NAME | /ve | /va] [/f]
//   export KEY FILE [/y]
//   import FILE
//   addhive ACCOUNT
// See docs/registry-tool.md. Any thread; commands change the registry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"
#include "tools/cli/cli.h"

namespace wl {

// Runs one command line (the arguments after the program name); the
// answers to its questions are lines of the console's input. Returns
// cli::kExitDone, also for a question answered "no" and for help;
// cli::kExitUsage after "ERROR: Invalid syntax. ..." on err; cli::kExitFailed
// after any other "ERROR: ...".
[[nodiscard]] int RunRegistryTool(const std::vector<std::wstring>& arguments, const cli::Console& console);

// What "import FILE" does once it has read the file: parses the bytes of a
// .reg file and imports it (fileName names the file in messages). Returns
// like RunRegistryTool.
[[nodiscard]] int ImportRegistryText(std::string_view bytes, std::wstring_view fileName, const cli::Console& console);

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

// The bytes that add stores for /t TYPE /d DATA (separator: /s for
// REG_MULTI_SZ); false with a message.
bool BuildToolData(std::uint32_t type, std::wstring_view text, std::wstring_view separator,
                   std::vector<std::uint8_t>* data, std::wstring* message);

}  // namespace wl
