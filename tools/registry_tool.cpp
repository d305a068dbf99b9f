#include "tools/registry_tool.h"

#include <algorithm>
#include <filesystem>

#include "diagnostics/format.h"
#include "platform/account.h"
#include "platform/replace_file.h"
#include "platform/system_message.h"
#include "platform/text.h"
#include "registry/registry_file.h"

namespace wl {
namespace {

using namespace wl::platform;

struct RootName {
  std::wstring_view shortName;
  std::wstring_view longName;
  HKey handle;
};

const std::vector<RootName>& Roots() {
  static const std::vector<RootName> roots = {
      {L"HKLM", L"HKEY_LOCAL_MACHINE", kHKeyLocalMachine},
      {L"HKCU", L"HKEY_CURRENT_USER", kHKeyCurrentUser},
      {L"HKCR", L"HKEY_CLASSES_ROOT", kHKeyClassesRoot},
      {L"HKU", L"HKEY_USERS", kHKeyUsers},
  };
  return roots;
}

using OpenKey = UniqueKey;

struct TypeName {
  std::wstring_view name;
  std::uint32_t type;
};

const std::vector<TypeName>& TypeNames() {
  static const std::vector<TypeName> names = {
      {L"REG_NONE", kRegNone},
      {L"REG_SZ", kRegSz},
      {L"REG_EXPAND_SZ", kRegExpandSz},
      {L"REG_BINARY", kRegBinary},
      {L"REG_DWORD", kRegDword},
      {L"REG_DWORD_BIG_ENDIAN", kRegDwordBigEndian},
      {L"REG_LINK", kRegLink},
      {L"REG_MULTI_SZ", kRegMultiSz},
      {L"REG_RESOURCE_LIST", 8},
      {L"REG_FULL_RESOURCE_DESCRIPTOR", 9},
      {L"REG_RESOURCE_REQUIREMENTS_LIST", 10},
      {L"REG_QWORD", kRegQword},
  };
  return names;
}

// REG_SZ and REG_EXPAND_SZ data up to its first null.
std::wstring StringText(const std::vector<std::uint8_t>& data) {
  std::u16string units = Utf16FromLeBytes(data);
  return WideFromUtf16(units.substr(0, units.find(u'\0')));
}

struct Options {
  std::vector<std::wstring> positional;
  std::optional<std::wstring> valueName;  // /v NAME, or "" for /ve
  bool allValues = false;                 // /va
  bool recurse = false;                   // /s (query)
  std::optional<std::wstring> type;       // /t
  std::optional<std::wstring> separator;  // /s SEPARATOR (add)
  std::optional<std::wstring> data;       // /d
  bool force = false;                     // /f (add, delete) or /y (export)
};

struct Value {
  std::wstring name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

Win32Error ReadValues(HKey key, std::vector<Value>* values) {
  for (std::uint32_t index = 0;; ++index) {
    Value value;
    Win32Error result = RegistryEnumValue(key, index, &value.name, &value.type, &value.data);
    if (result == kErrorNoMoreItems) return kErrorSuccess;
    if (result != kErrorSuccess) return result;
    values->push_back(std::move(value));
  }
}

Win32Error ReadSubKeys(HKey key, std::vector<std::wstring>* names) {
  for (std::uint32_t index = 0;; ++index) {
    std::wstring name;
    Win32Error result = RegistryEnumKey(key, index, &name);
    if (result == kErrorNoMoreItems) return kErrorSuccess;
    if (result != kErrorSuccess) return result;
    names->push_back(std::move(name));
  }
}

std::wstring ValueLine(const Value& value) {
  return L"    " + (value.name.empty() ? std::wstring(L"(Default)") : value.name) + L"    " + ToolTypeText(value.type) +
         L"    " + ToolDataText(value.type, value.data) + L"\n";
}

Win32Error CollectSections(HKey key, const std::wstring& path, std::vector<RegistryFileSection>* sections) {
  RegistryFileSection section;
  section.path = path;
  std::vector<Value> values;
  if (Win32Error result = ReadValues(key, &values)) return result;
  for (auto& value : values) section.values.push_back({value.name, false, value.type, std::move(value.data)});
  sections->push_back(std::move(section));
  std::vector<std::wstring> subKeys;
  if (Win32Error result = ReadSubKeys(key, &subKeys)) return result;
  for (const auto& name : subKeys) {
    OpenKey sub;
    if (Win32Error result = RegistryOpenKey(key, name, kKeyRead, sub.Receive())) return result;
    if (Win32Error result = CollectSections(sub.Get(), path + L"\\" + name, sections)) return result;
  }
  return kErrorSuccess;
}

// What every command but import starts from: its options and its key.
struct Invocation {
  Options options;
  ToolKeyName key;
};

struct CommandSpec {
  std::wstring_view name;
  std::vector<std::wstring_view> switches;  // the switches it takes
  std::size_t positional;                   // how many plain arguments
  std::wstring_view positionalText;         // "one key name", ...
  bool keyFirst;                            // the first plain argument is a key
};

// One run of a command line, talking through the console.
class Tool {
 public:
  explicit Tool(const cli::Console& console) : console_(console) {}

  int Run(std::vector<std::wstring> arguments) {
    if (arguments.empty()) return SyntaxError(L"Name a command: query, add, delete, export, import or addhive.");
    std::wstring command = arguments.front();
    arguments.erase(arguments.begin());
    if (cli::IsHelp(command, cli::Habits::kWindows)) {
      Usage();
      return cli::kExitDone;
    }
    for (const Command& entry : kCommands) {
      if (!RegistryNamesEqual(command, entry.form.name)) continue;
      int exitCode = cli::kExitFailed;
      std::optional<Invocation> invocation = Prepare(arguments, entry.form, &exitCode);
      return invocation ? (this->*entry.run)(*invocation) : exitCode;
    }
    return SyntaxError(L"Unknown command \"" + command + L"\" (use query, add, delete, export, import or addhive).");
  }

 private:
  // What the tool prints whether or not the output takes it.
  void Out(std::wstring_view text) const { (void)console_.Print(text); }

  [[nodiscard]] int Fail(std::wstring_view message) const {
    console_.err(L"ERROR: " + std::wstring(message) + L"\n");
    return cli::kExitFailed;
  }

  [[nodiscard]] int SyntaxError(std::wstring_view detail = {}) const {
    std::wstring message = L"Invalid syntax.";
    if (!detail.empty()) message += L" " + std::wstring(detail);
    console_.err(L"ERROR: " + message + L"\nType \"wlreg /?\" for usage.\n");
    return cli::kExitUsage;
  }

  [[nodiscard]] int RegistryFailure(Win32Error code) const {
    // Why the registry refused (on Linux): which hive, and what to do.
    std::wstring refusal = RegistryLastRefusal();
    switch (code) {
      case kErrorFileNotFound:
        return Fail(L"The system was unable to find the specified registry key or value.");
      case kErrorAccessDenied:
        return Fail(refusal.empty() ? L"Access is denied." : L"Access is denied: " + refusal);
      case kErrorBadDb:
        return Fail(L"The registry hive file is damaged and was left unchanged: " + RegistryLastParseError());
      default:
        return Fail(SystemText(code, L"The operation failed.") + L" (error " + std::to_wstring(code) + L")" +
                    (refusal.empty() ? L"" : L": " + refusal));
    }
  }

  static std::wstring SystemText(Win32Error code, std::wstring_view fallback) {
    std::wstring text = FormatSystemMessage(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text.empty() ? std::wstring(fallback) : text;
  }

  [[nodiscard]] bool Confirm(std::wstring_view question) const {
    Out(std::wstring(question) + L" (Yes/No)? ");
    std::optional<std::string> line = console_.readLine();
    if (!line) return false;
    while (!line->empty() && line->back() == '\r') line->pop_back();
    std::wstring answer;
    for (char c : *line) answer.push_back(RegistryUpperCase(static_cast<wchar_t>(c)));
    return answer == L"Y" || answer == L"YES";
  }

  [[nodiscard]] int Cancelled() const {
    Out(L"The operation was cancelled by the user.\n");
    return cli::kExitDone;
  }

  void Usage() const {
    Out(L"wlreg: reads and changes the registry.\n"
        L"\n"
        L"  wlreg query KEY [/v NAME | /ve] [/s]\n"
        L"  wlreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
        L"  wlreg delete KEY [/v NAME | /ve | /va] [/f]\n"
        L"  wlreg export KEY FILE [/y]\n"
        L"  wlreg import FILE\n"
        L"  wlreg addhive ACCOUNT\n"
        L"\n"
        L"KEY      ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU or their long names\n"
        L"/v NAME  the value NAME; /ve the default (unnamed) value; /va every value\n"
        L"/s       query: the key and every key below it\n"
        L"/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
        L"         REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE\n"
        L"/s SEP   add: the separator of REG_MULTI_SZ strings in DATA (default \\0)\n"
        L"/d DATA  text; a number (decimal or 0x hexadecimal); hexadecimal bytes\n"
        L"         for REG_BINARY and REG_NONE\n"
        L"/f, /y   do not ask before overwriting or deleting\n"
        L"ACCOUNT  a user name or a SID: addhive makes the account's empty hive\n"
        L"         under HKU (on Linux, as root, owned by the account)\n");
  }

  // Parses the arguments after the command. False (after printing the
  // error, or the usage for a request for help as an argument of its own)
  // for a switch the command does not take, with the exit code in *exitCode.
  bool ParseOptions(const std::vector<std::wstring>& arguments, std::wstring_view command,
                    const std::vector<std::wstring_view>& allowed, Options* options, int* exitCode) const {
    auto takes = [&](std::wstring_view name) {
      for (auto a : allowed) {
        if (a == name) return true;
      }
      return false;
    };
    auto bad = [&](const std::wstring& detail) {
      *exitCode = SyntaxError(detail);
      return false;
    };
    // The switches of any command. Anything else that starts with / or - (an
    // absolute path on Linux, say) is an ordinary argument.
    static constexpr std::wstring_view kSwitches[] = {L"v", L"ve", L"va", L"s",      L"t",
                                                      L"d", L"f",  L"y",  L"reg:32", L"reg:64"};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      const std::wstring& argument = arguments[i];
      if (cli::IsHelp(argument, cli::Habits::kWindows)) {
        Usage();
        *exitCode = cli::kExitDone;
        return false;
      }
      auto next = [&](std::wstring_view name, std::optional<std::wstring>* target) {
        if (target->has_value()) return bad(L"/" + std::wstring(name) + L" is given twice.");
        if (i + 1 >= arguments.size()) return bad(L"/" + std::wstring(name) + L" needs a value.");
        *target = arguments[++i];
        return true;
      };
      std::wstring lower = argument.size() >= 2 ? argument.substr(1) : std::wstring();
      for (auto& c : lower) c = static_cast<wchar_t>(c >= L'A' && c <= L'Z' ? c + 32 : c);
      bool isSwitch = (argument.starts_with(L'/') || argument.starts_with(L'-')) &&
                      std::find(std::begin(kSwitches), std::end(kSwitches), lower) != std::end(kSwitches);
      if (!isSwitch) {
        options->positional.push_back(argument);
        continue;
      }
      // The 32-bit and 64-bit views of the registry are one here.
      if (lower == L"reg:32" || lower == L"reg:64") continue;
      if (!takes(lower)) return bad(L"\"" + argument + L"\" is not an option of " + std::wstring(command) + L".");
      if (lower == L"v") {
        if (!next(L"v", &options->valueName)) return false;
      } else if (lower == L"ve") {
        if (options->valueName) return bad(L"Use only one of /v and /ve.");
        options->valueName = L"";
      } else if (lower == L"va") {
        options->allValues = true;
      } else if (lower == L"s" && command == L"query") {
        options->recurse = true;
      } else if (lower == L"s") {
        if (!next(L"s", &options->separator)) return false;
      } else if (lower == L"t") {
        if (!next(L"t", &options->type)) return false;
      } else if (lower == L"d") {
        if (!next(L"d", &options->data)) return false;
      } else if (lower == L"f" || lower == L"y") {
        options->force = true;
      }
    }
    return true;
  }

  // The preamble of every command: its switches, the number of its plain
  // arguments and the key name first.
  std::optional<Invocation> Prepare(const std::vector<std::wstring>& arguments, const CommandSpec& form,
                                    int* exitCode) const {
    Invocation invocation;
    *exitCode = cli::kExitFailed;
    if (!ParseOptions(arguments, form.name, form.switches, &invocation.options, exitCode)) return std::nullopt;
    if (invocation.options.positional.size() != form.positional) {
      *exitCode = SyntaxError(std::wstring(form.name) + L" takes " + std::wstring(form.positionalText) + L".");
      return std::nullopt;
    }
    std::wstring message;
    if (form.keyFirst && !ParseToolKeyName(invocation.options.positional[0], &invocation.key, &message)) {
      *exitCode = Fail(message);
      return std::nullopt;
    }
    return invocation;
  }

  [[nodiscard]] int Query(const Invocation& invocation) const {
    const Options& options = invocation.options;
    const ToolKeyName& name = invocation.key;
    OpenKey key;
    if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead, key.Receive())) {
      return RegistryFailure(result);
    }
    // Gathered first so that a failure half-way prints only its error.
    std::wstring output = L"\n";
    int matches = 0;
    Win32Error result = options.valueName
                            ? QueryValue(key.Get(), name.display, *options.valueName, options.recurse, output, &matches)
                            : QueryAll(key.Get(), name.display, options.recurse, false, output, &matches);
    if (result != kErrorSuccess) return RegistryFailure(result);
    if (options.recurse) output += Format(L"End of search: {} match(es) found.\n", matches);
    Out(output);
    return cli::kExitDone;
  }

  // Adds a key's values and either its sub-keys' names or (recursing) the
  // sub-keys themselves to output. matches counts what was added.
  static Win32Error QueryAll(HKey key, const std::wstring& path, bool recurse, bool recursing, std::wstring& output,
                             int* matches) {
    std::vector<Value> values;
    std::vector<std::wstring> subKeys;
    if (Win32Error result = ReadValues(key, &values)) return result;
    if (Win32Error result = ReadSubKeys(key, &subKeys)) return result;
    if (!values.empty() || recursing) output += path + L"\n";
    for (const auto& value : values) output += ValueLine(value);
    *matches += static_cast<int>(values.size());
    if (!values.empty() || recursing) output += L"\n";
    for (const auto& name : subKeys) {
      std::wstring subPath = path + L"\\" + name;
      ++*matches;
      if (!recurse) {
        output += subPath + L"\n";
        continue;
      }
      OpenKey sub;
      if (Win32Error result = RegistryOpenKey(key, name, kKeyRead, sub.Receive())) return result;
      if (Win32Error result = QueryAll(sub.Get(), subPath, true, true, output, matches)) return result;
    }
    if (!subKeys.empty() && !recurse) output += L"\n";
    return kErrorSuccess;
  }

  // Adds the named value of the key (and with recurse, of every key below).
  static Win32Error QueryValue(HKey key, const std::wstring& path, const std::wstring& valueName, bool recurse,
                               std::wstring& output, int* matches) {
    std::vector<Value> values;
    if (Win32Error result = ReadValues(key, &values)) return result;
    bool found = false;
    for (const auto& value : values) {
      if (RegistryNamesEqual(value.name, valueName)) {
        output += path + L"\n" + ValueLine(value) + L"\n";
        ++*matches;
        found = true;
      }
    }
    if (!found && !recurse) {
      if (!valueName.empty()) return kErrorFileNotFound;
      // A key always has a default value, if only an unset one.
      output += path + L"\n    (Default)    REG_SZ    (value not set)\n\n";
    }
    if (!recurse) return kErrorSuccess;
    std::vector<std::wstring> subKeys;
    if (Win32Error result = ReadSubKeys(key, &subKeys)) return result;
    for (const auto& name : subKeys) {
      OpenKey sub;
      if (Win32Error result = RegistryOpenKey(key, name, kKeyRead, sub.Receive())) return result;
      if (Win32Error result = QueryValue(sub.Get(), path + L"\\" + name, valueName, true, output, matches)) {
        return result;
      }
    }
    return kErrorSuccess;
  }

  [[nodiscard]] int Add(const Invocation& invocation) const {
    const Options& options = invocation.options;
    const ToolKeyName& name = invocation.key;
    std::uint32_t type = kRegSz;
    if (options.type) {
      std::optional<std::uint32_t> known = ParseToolTypeName(*options.type);
      if (!known) {
        return Fail(L"Invalid type \"" + *options.type +
                    L"\" (use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD, "
                    L"REG_BINARY or REG_NONE).");
      }
      type = *known;
    }
    if (options.separator && (type != kRegMultiSz || options.separator->empty())) {
      return SyntaxError(L"/s SEPARATOR is for REG_MULTI_SZ and must not be empty.");
    }
    bool setsValue = options.valueName || options.type || options.data;
    std::vector<std::uint8_t> data;
    std::wstring message;
    if (setsValue &&
        !BuildToolData(type, options.data.value_or(L""), options.separator.value_or(L"\\0"), &data, &message)) {
      return Fail(message);
    }
    if (name.subKey.empty() && !setsValue) return Fail(L"A root key already exists; name a key below it.");
    OpenKey key;
    if (Win32Error result = RegistryCreateKey(name.root, name.subKey, kKeyAllAccess, key.Receive(), nullptr)) {
      return RegistryFailure(result);
    }
    if (setsValue) {
      std::wstring valueName = options.valueName.value_or(L"");
      if (!options.force && RegistryQueryValue(key.Get(), valueName, nullptr, nullptr, nullptr) == kErrorSuccess &&
          !Confirm(L"Value " + (valueName.empty() ? std::wstring(L"(Default)") : valueName) + L" exists, overwrite")) {
        return Cancelled();
      }
      if (Win32Error result =
              RegistrySetValue(key.Get(), valueName, type, data.data(), static_cast<std::uint32_t>(data.size()))) {
        return RegistryFailure(result);
      }
    }
    Out(L"The operation completed successfully.\n");
    return cli::kExitDone;
  }

  [[nodiscard]] int Delete(const Invocation& invocation) const {
    const Options& options = invocation.options;
    const ToolKeyName& name = invocation.key;
    if (options.valueName && options.allValues) return SyntaxError(L"Use only one of /v, /ve and /va.");
    if (!options.valueName && !options.allValues) {
      if (name.subKey.empty()) return Fail(L"A root key cannot be deleted.");
      OpenKey key;
      if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead, key.Receive())) {
        return RegistryFailure(result);
      }
      if (!options.force && !Confirm(L"Permanently delete the registry key " + name.display)) return Cancelled();
      if (Win32Error result = RegistryDeleteKeyTree(name.root, name.subKey)) return RegistryFailure(result);
      Out(L"The operation completed successfully.\n");
      return cli::kExitDone;
    }
    OpenKey key;
    if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead | kKeySetValue, key.Receive())) {
      return RegistryFailure(result);
    }
    if (options.allValues) {
      if (!options.force && !Confirm(L"Delete all values under the registry key " + name.display)) return Cancelled();
      std::vector<Value> values;
      if (Win32Error result = ReadValues(key.Get(), &values)) return RegistryFailure(result);
      for (const auto& value : values) {
        if (Win32Error result = RegistryDeleteValue(key.Get(), value.name)) return RegistryFailure(result);
      }
    } else {
      const std::wstring& valueName = *options.valueName;
      if (RegistryQueryValue(key.Get(), valueName, nullptr, nullptr, nullptr) == kErrorFileNotFound) {
        return RegistryFailure(kErrorFileNotFound);
      }
      if (!options.force &&
          !Confirm(L"Delete the registry value " + (valueName.empty() ? std::wstring(L"(Default)") : valueName))) {
        return Cancelled();
      }
      if (Win32Error result = RegistryDeleteValue(key.Get(), valueName)) return RegistryFailure(result);
    }
    Out(L"The operation completed successfully.\n");
    return cli::kExitDone;
  }

  [[nodiscard]] int Export(const Invocation& invocation) const {
    const Options& options = invocation.options;
    const ToolKeyName& name = invocation.key;
    OpenKey key;
    if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead, key.Receive())) {
      return RegistryFailure(result);
    }
    std::vector<RegistryFileSection> sections;
    if (Win32Error result = CollectSections(key.Get(), name.display, &sections)) return RegistryFailure(result);
    auto file = cli::FilePath(options.positional[1]);
    std::error_code error;
    if (!options.force && std::filesystem::exists(file, error) &&
        !Confirm(L"File " + options.positional[1] + L" already exists. Overwrite")) {
      return Cancelled();
    }
    // The Registry Editor's own encoding and line ends, so that the file can
    // be imported on Windows too. The file is replaced whole, never written
    // through a link that someone put under its name.
    std::string bytes = RegistryFileUtf16(FormatRegistryFile(sections, "\r\n"));
    std::wstring refusal;
    if (ReplaceFileContents(options.positional[1], bytes, &refusal) != kErrorSuccess) {
      return Fail(L"Cannot write the file " + options.positional[1] + (refusal.empty() ? L"." : L": " + refusal));
    }
    Out(L"The operation completed successfully.\n");
    return cli::kExitDone;
  }

  [[nodiscard]] int Import(const Invocation& invocation) const {
    const std::wstring& fileName = invocation.options.positional[0];
    std::string bytes;
    std::wstring refusal;
    // Only a regular file, of this user or the system account, is read.
    if (ReadFileContents(fileName, &bytes, &refusal) != kErrorSuccess) {
      return Fail(L"Cannot open the file " + fileName + (refusal.empty() ? L"." : L": " + refusal));
    }
    return ImportText(bytes, fileName);
  }

  // Makes the empty hive of an account (a user name or a SID) under
  // HKEY_USERS, for the account: on Linux only the system account makes
  // users' hives, and each user then writes its own.
  [[nodiscard]] int AddHive(const Invocation& invocation) const {
    const std::wstring& account = invocation.options.positional[0];
    std::wstring sid = account;
    if (!account.starts_with(L"S-") && !account.starts_with(L"s-")) {
      auto binary = LookupAccountSid(account);
      if (!binary) return Fail(L"There is no account \"" + account + L"\".");
      auto text = ConvertSidToString(*binary);
      if (!text) return RegistryFailure(text.ErrorCode());
      sid = std::move(*text);
    }
    OpenKey existing;
    if (RegistryOpenKey(kHKeyUsers, sid, kKeyRead, existing.Receive()) == kErrorSuccess) {
      Out(L"The hive HKEY_USERS\\" + sid + L" exists already.\n");
      return cli::kExitDone;
    }
    OpenKey created;
    if (Win32Error result = RegistryCreateKey(kHKeyUsers, sid, kKeyRead, created.Receive(), nullptr)) {
      return RegistryFailure(result);
    }
    Out(L"Made the hive HKEY_USERS\\" + sid + L".\nThe operation completed successfully.\n");
    return cli::kExitDone;
  }

 public:
  [[nodiscard]] int ImportText(std::string_view bytes, std::wstring_view fileName) const {
    std::vector<RegistryFileSection> sections;
    RegistryFileError problem;
    auto where = [&] { return Format(L"{}: line {}: ", fileName, problem.line); };
    if (!ParseRegistryFile(bytes, RegistryFileUse::Import, &sections, &problem)) {
      return Fail(where() + problem.reason + L". Nothing was imported.");
    }
    // The whole file is checked before anything changes; on Linux each hive
    // takes its sections in one update.
    Win32Error result = RegistryImport(sections, &problem);
    if (result == kErrorInvalidParameter) return Fail(where() + problem.reason + L". Nothing was imported.");
    if (result != kErrorSuccess) {
      return Fail(where() + problem.reason + L": " + SystemText(result, {}) + Format(L" (error {})", result));
    }
    Out(L"The operation completed successfully.\n");
    return cli::kExitDone;
  }

 private:
  struct Command {
    CommandSpec form;
    int (Tool::*run)(const Invocation&) const;
  };
  static inline const Command kCommands[] = {
      {{L"query", {L"v", L"ve", L"s"}, 1, L"one key name", true}, &Tool::Query},
      {{L"add", {L"v", L"ve", L"t", L"s", L"d", L"f"}, 1, L"one key name", true}, &Tool::Add},
      {{L"delete", {L"v", L"ve", L"va", L"f"}, 1, L"one key name", true}, &Tool::Delete},
      {{L"export", {L"y"}, 2, L"a key name and a file name", true}, &Tool::Export},
      {{L"import", {}, 1, L"one file name", false}, &Tool::Import},
      {{L"addhive", {}, 1, L"one account (a user name or a SID)", false}, &Tool::AddHive},
  };

  const cli::Console& console_;
};

}  // namespace

int RunRegistryTool(const std::vector<std::wstring>& arguments, const cli::Console& console) {
  return Tool(console).Run(arguments);
}

int ImportRegistryText(std::string_view bytes, std::wstring_view fileName, const cli::Console& console) {
  return Tool(console).ImportText(bytes, fileName);
}

bool ParseToolKeyName(std::wstring_view text, ToolKeyName* key, std::wstring* message) {
  if (text.substr(0, 2) == L"\\\\") {
    *message = L"Remote registries are not supported.";
    return false;
  }
  auto slash = text.find(L'\\');
  std::wstring_view rootText = text.substr(0, slash);
  for (const auto& root : Roots()) {
    if (!RegistryNamesEqual(rootText, root.shortName) && !RegistryNamesEqual(rootText, root.longName)) continue;
    std::wstring_view rest = slash == std::wstring_view::npos ? std::wstring_view() : text.substr(slash + 1);
    while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
    if (rest.starts_with(L'\\') || rest.find(L"\\\\") != std::wstring_view::npos) {
      *message = L"Invalid key name \"" + std::wstring(text) + L"\" (two backslashes in a row).";
      return false;
    }
    key->root = root.handle;
    key->subKey = rest;
    key->display = std::wstring(root.longName) + (rest.empty() ? L"" : L"\\") + key->subKey;
    return true;
  }
  *message = L"Invalid key name \"" + std::wstring(text) + L"\" (it must start with HKLM, HKCU, HKCR or HKU).";
  return false;
}

std::wstring ToolTypeText(std::uint32_t type) {
  for (const auto& entry : TypeNames()) {
    if (entry.type == type) return std::wstring(entry.name);
  }
  return Format(L"0x{:x}", type);
}

std::optional<std::uint32_t> ParseToolTypeName(std::wstring_view name) {
  for (const auto& entry : TypeNames()) {
    bool storable = entry.type <= kRegDwordBigEndian || entry.type == kRegMultiSz || entry.type == kRegQword;
    if (storable && RegistryNamesEqual(name, entry.name)) return entry.type;
  }
  return std::nullopt;
}

std::wstring ToolDataText(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      return StringText(data);
    case kRegMultiSz: {
      // The strings joined by \0, as they are typed for add.
      std::u16string units = Utf16FromLeBytes(data);
      while (!units.empty() && units.back() == u'\0') units.pop_back();
      std::wstring text;
      std::size_t start = 0;
      for (std::size_t i = 0; i <= units.size(); ++i) {
        if (i < units.size() && units[i] != u'\0') continue;
        if (start != 0) text += L"\\0";
        text += WideFromUtf16(units.substr(start, i - start));
        start = i + 1;
      }
      return text;
    }
    case kRegDword:
    case kRegQword:
      if (data.size() == (type == kRegDword ? 4u : 8u)) return Format(L"0x{:x}", LoadLittleEndian(data));
      break;
    case kRegDwordBigEndian:
      if (data.size() == 4) {
        std::vector<std::uint8_t> reversed(data.rbegin(), data.rend());
        return Format(L"0x{:x}", LoadLittleEndian(reversed));
      }
      break;
    default:
      break;
  }
  std::wstring text;
  for (std::uint8_t byte : data) text += Format(L"{:02X}", byte);
  return text;
}

bool BuildToolData(std::uint32_t type, std::wstring_view text, std::wstring_view separator,
                   std::vector<std::uint8_t>* data, std::wstring* message) {
  data->clear();
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      *data = Utf16LeStringData(text);
      return true;
    case kRegMultiSz: {
      std::u16string units;
      while (!text.empty()) {
        auto end = text.find(separator);
        std::wstring_view item = text.substr(0, end);
        if (item.empty()) {
          *message = L"REG_MULTI_SZ data must not contain empty strings.";
          return false;
        }
        units += Utf16FromWide(item);
        units.push_back(u'\0');
        text.remove_prefix(end == std::wstring_view::npos ? text.size() : end + separator.size());
      }
      units.push_back(u'\0');
      AppendUtf16Le(units, *data);
      return true;
    }
    case kRegDword:
    case kRegDwordBigEndian:
    case kRegQword: {
      bool qword = type == kRegQword;
      auto number = text.empty() ? std::optional<std::uint64_t>(0)
                                 : cli::ParseNumber(text, qword ? ~std::uint64_t{0} : 0xFFFFFFFFu);
      if (!number) {
        *message = L"Invalid number \"" + std::wstring(text) + L"\" for " + ToolTypeText(type) +
                   L" (use decimal digits or 0x and hexadecimal digits).";
        return false;
      }
      AppendLittleEndian(*number, qword ? 8 : 4, *data);
      if (type == kRegDwordBigEndian) std::reverse(data->begin(), data->end());
      return true;
    }
    default: {  // REG_BINARY and REG_NONE: hexadecimal digits, two per byte
      if (text.size() % 2 != 0) {
        *message = L"Binary data needs an even number of hexadecimal digits.";
        return false;
      }
      for (std::size_t i = 0; i < text.size(); i += 2) {
        auto byte = cli::ParseNumber(L"0x" + std::wstring(text.substr(i, 2)), 0xFF);
        if (!byte) {
          *message = L"Invalid binary data \"" + std::wstring(text) + L"\" (use hexadecimal digits, e.g. 0aff10).";
          return false;
        }
        data->push_back(static_cast<std::uint8_t>(*byte));
      }
      return true;
    }
  }
}

}  // namespace wl
