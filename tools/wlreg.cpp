// wlreg: reads and changes the registry (on Linux the stand-in's hive files)
// with the command syntax Windows administrators know:
//   wlreg query KEY [/v NAME | /ve] [/s]
//   wlreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   wlreg delete KEY [/v NAME | /ve | /va] [/f]
//   wlreg export KEY FILE [/y]
//   wlreg import FILE
// Exit code 0 on success, 1 on any failure. See docs/registry-tool.md.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/system_message.h"
#include "platform/text.h"

namespace {

using namespace wl;
using namespace wl::platform;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

void Out(std::wstring_view text) { std::fputs(Utf8FromWide(text).c_str(), stdout); }

// What query prints, gathered first so that a failure half-way prints only
// its error.
std::wstring& QueryOutput() {
  static std::wstring output;
  return output;
}
void Err(std::wstring_view text) { std::fputs(Utf8FromWide(text).c_str(), stderr); }

int Fail(std::wstring_view message) {
  Err(L"ERROR: " + std::wstring(message) + L"\n");
  return kExitFailure;
}

int SyntaxError(std::wstring_view detail = {}) {
  std::wstring message = L"Invalid syntax.";
  if (!detail.empty()) message += L" " + std::wstring(detail);
  Err(L"ERROR: " + message + L"\nType \"wlreg /?\" for usage.\n");
  return kExitFailure;
}

int RegistryFailure(Win32Error code) {
  switch (code) {
    case kErrorFileNotFound:
      return Fail(L"The system was unable to find the specified registry key or value.");
    case kErrorAccessDenied:
      return Fail(L"Access is denied.");
    case kErrorBadDb:
      return Fail(L"The registry hive file is damaged and was left unchanged: " + RegistryLastParseError());
    default: {
      std::wstring text = FormatSystemMessage(code);
      while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
      if (text.empty()) text = L"The operation failed.";
      return Fail(text + L" (error " + std::to_wstring(code) + L")");
    }
  }
}

bool Confirm(std::wstring_view question) {
  Out(std::wstring(question) + L" (Yes/No)? ");
  std::fflush(stdout);
  char line[64] = {};
  if (std::fgets(line, sizeof line, stdin) == nullptr) return false;
  std::wstring answer;
  for (char* c = line; *c != '\0' && *c != '\n' && *c != '\r'; ++c)
    answer.push_back(RegistryUpperCase(static_cast<wchar_t>(*c)));
  return answer == L"Y" || answer == L"YES";
}

int Cancelled() {
  Out(L"The operation was cancelled by the user.\n");
  return kExitSuccess;
}

// ---- Key names ------------------------------------------------------------

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

struct KeyName {
  HKey root = nullptr;
  std::wstring subKey;   // without leading or trailing backslashes
  std::wstring display;  // the root's long name and the sub-key
};

// "HKLM\Software\X" and "HKEY_LOCAL_MACHINE\Software\X"; false with a
// message for anything else.
bool ParseKeyName(std::wstring_view text, KeyName* key, std::wstring* message) {
  if (text.substr(0, 2) == L"\\\\") {
    *message = L"Remote registries are not supported.";
    return false;
  }
  auto slash = text.find(L'\\');
  std::wstring_view rootText = text.substr(0, slash);
  for (const auto& root : Roots()) {
    if (RegistryNamesEqual(rootText, root.shortName) || RegistryNamesEqual(rootText, root.longName)) {
      key->root = root.handle;
      std::wstring_view rest = slash == std::wstring_view::npos ? std::wstring_view() : text.substr(slash + 1);
      while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
      if (rest.starts_with(L'\\') || rest.find(L"\\\\") != std::wstring_view::npos) {
        *message = L"Invalid key name \"" + std::wstring(text) + L"\" (two backslashes in a row).";
        return false;
      }
      key->subKey = rest;
      key->display = std::wstring(root.longName) + (rest.empty() ? L"" : L"\\") + key->subKey;
      return true;
    }
  }
  *message = L"Invalid key name \"" + std::wstring(text) + L"\" (it must start with HKLM, HKCU, HKCR or HKU).";
  return false;
}

class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (handle_ != nullptr) RegistryCloseKey(handle_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKey* Receive() { return &handle_; }
  HKey Get() const { return handle_; }

 private:
  HKey handle_ = nullptr;
};

// ---- Value data -----------------------------------------------------------

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

std::wstring Hex(std::uint64_t value, bool upper) {
  const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring text;
  do {
    text.insert(text.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

std::wstring TypeText(std::uint32_t type) {
  for (const auto& entry : TypeNames()) {
    if (entry.type == type) return std::wstring(entry.name);
  }
  return L"0x" + Hex(type, false);
}

std::u16string Units(const std::vector<std::uint8_t>& data) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2)
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  return units;
}

std::uint64_t LittleEndian(const std::vector<std::uint8_t>& data) {
  std::uint64_t value = 0;
  for (std::size_t i = data.size(); i > 0; --i) value = (value << 8) | data[i - 1];
  return value;
}

// The data as the query command shows it.
std::wstring DataText(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz: {
      std::u16string units = Units(data);
      return WideFromUtf16(units.substr(0, units.find(u'\0')));
    }
    case kRegMultiSz: {
      // The strings joined by \0, as they are typed for add.
      std::u16string units = Units(data);
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
      if (data.size() == 4) return L"0x" + Hex(LittleEndian(data), false);
      break;
    case kRegDwordBigEndian:
      if (data.size() == 4) {
        return L"0x" + Hex((std::uint32_t{data[0]} << 24) | (data[1] << 16) | (data[2] << 8) | data[3], false);
      }
      break;
    case kRegQword:
      if (data.size() == 8) return L"0x" + Hex(LittleEndian(data), false);
      break;
    default:
      break;
  }
  std::wstring text;
  for (std::uint8_t byte : data) {
    if (byte < 16) text.push_back(L'0');
    text += Hex(byte, true);
  }
  return text;
}

std::vector<std::uint8_t> StringData(std::wstring_view text) {
  std::u16string units = Utf16FromWide(text);
  std::vector<std::uint8_t> data;
  for (char16_t unit : units) {
    data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::optional<std::uint64_t> ParseNumber(std::wstring_view text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    unsigned digit;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<unsigned>(c - L'0');
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = static_cast<unsigned>(c - L'a' + 10);
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = static_cast<unsigned>(c - L'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (limit - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

// The bytes that `add` stores for /t TYPE /d DATA; false with a message.
bool BuildData(std::uint32_t type, std::wstring_view text, std::wstring_view separator, std::vector<std::uint8_t>* data,
               std::wstring* message) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      *data = StringData(text);
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
      data->clear();
      for (char16_t unit : units) {
        data->push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data->push_back(static_cast<std::uint8_t>(unit >> 8));
      }
      return true;
    }
    case kRegDword:
    case kRegDwordBigEndian:
    case kRegQword: {
      bool qword = type == kRegQword;
      auto number =
          text.empty() ? std::optional<std::uint64_t>(0) : ParseNumber(text, qword ? ~std::uint64_t{0} : 0xFFFFFFFFu);
      if (!number) {
        *message = L"Invalid number \"" + std::wstring(text) + L"\" for " + TypeText(type) +
                   L" (use decimal digits or 0x and hexadecimal digits).";
        return false;
      }
      data->clear();
      for (int i = 0; i < (qword ? 8 : 4); ++i) data->push_back(static_cast<std::uint8_t>(*number >> (8 * i)));
      if (type == kRegDwordBigEndian) std::swap((*data)[0], (*data)[3]), std::swap((*data)[1], (*data)[2]);
      return true;
    }
    default: {  // REG_BINARY and REG_NONE: hexadecimal digits, two per byte
      if (text.size() % 2 != 0) {
        *message = L"Binary data needs an even number of hexadecimal digits.";
        return false;
      }
      data->clear();
      for (std::size_t i = 0; i < text.size(); i += 2) {
        auto byte = ParseNumber(std::wstring(L"0x") + std::wstring(text.substr(i, 2)), 0xFF);
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

// ---- Options --------------------------------------------------------------

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

void Usage();

// Parses the arguments after the command. allowed lists the switches the
// command takes; false (after printing the error, or the usage for a "/?"
// of its own) for anything else, with the exit code in *exitCode.
bool ParseOptions(const std::vector<std::wstring>& arguments, std::wstring_view command,
                  std::vector<std::wstring_view> allowed, Options* options, int* exitCode) {
  auto takes = [&](std::wstring_view name) {
    for (auto a : allowed) {
      if (a == name) return true;
    }
    return false;
  };
  auto bad = [&](std::wstring detail) {
    *exitCode = SyntaxError(detail);
    return false;
  };
  // The switches of any command. Anything else that starts with / or - (an
  // absolute path on Linux, say) is an ordinary argument.
  static constexpr std::wstring_view kSwitches[] = {L"v", L"ve", L"va", L"s",      L"t",      L"d",
                                                    L"f", L"y",  L"?",  L"reg:32", L"reg:64"};
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
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
    if (lower == L"?") {
      Usage();
      *exitCode = kExitSuccess;
      return false;
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

// ---- Commands -------------------------------------------------------------

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
  return L"    " + (value.name.empty() ? std::wstring(L"(Default)") : value.name) + L"    " + TypeText(value.type) +
         L"    " + DataText(value.type, value.data) + L"\n";
}

// Prints a key's values and either its sub-keys' names or (recursing) the
// sub-keys themselves. matches counts what was printed.
Win32Error QueryAll(HKey key, const std::wstring& path, bool recurse, bool recursing, int* matches) {
  std::vector<Value> values;
  std::vector<std::wstring> subKeys;
  if (Win32Error result = ReadValues(key, &values)) return result;
  if (Win32Error result = ReadSubKeys(key, &subKeys)) return result;
  if (!values.empty() || recursing) QueryOutput() += path + L"\n";
  for (const auto& value : values) QueryOutput() += ValueLine(value);
  *matches += static_cast<int>(values.size());
  if (!values.empty() || recursing) QueryOutput() += L"\n";
  for (const auto& name : subKeys) {
    std::wstring subPath = path + L"\\" + name;
    ++*matches;
    if (!recurse) {
      QueryOutput() += subPath + L"\n";
      continue;
    }
    OpenKey sub;
    if (Win32Error result = RegistryOpenKey(key, name, kKeyRead, sub.Receive())) return result;
    if (Win32Error result = QueryAll(sub.Get(), subPath, true, true, matches)) return result;
  }
  if (!subKeys.empty() && !recurse) QueryOutput() += L"\n";
  return kErrorSuccess;
}

// Prints the named value of the key (and with recurse, of every key below).
Win32Error QueryValue(HKey key, const std::wstring& path, const std::wstring& valueName, bool recurse, int* matches) {
  std::vector<Value> values;
  if (Win32Error result = ReadValues(key, &values)) return result;
  bool found = false;
  for (const auto& value : values) {
    if (RegistryNamesEqual(value.name, valueName)) {
      QueryOutput() += path + L"\n" + ValueLine(value) + L"\n";
      ++*matches;
      found = true;
    }
  }
  if (!found && !recurse) {
    if (!valueName.empty()) return kErrorFileNotFound;
    // A key always has a default value, if only an unset one.
    QueryOutput() += path + L"\n    (Default)    REG_SZ    (value not set)\n\n";
  }
  if (!recurse) return kErrorSuccess;
  std::vector<std::wstring> subKeys;
  if (Win32Error result = ReadSubKeys(key, &subKeys)) return result;
  for (const auto& name : subKeys) {
    OpenKey sub;
    if (Win32Error result = RegistryOpenKey(key, name, kKeyRead, sub.Receive())) return result;
    if (Win32Error result = QueryValue(sub.Get(), path + L"\\" + name, valueName, true, matches)) return result;
  }
  return kErrorSuccess;
}

int Query(const std::vector<std::wstring>& arguments) {
  Options options;
  int exitCode = kExitFailure;
  if (!ParseOptions(arguments, L"query", {L"v", L"ve", L"s"}, &options, &exitCode)) return exitCode;
  if (options.positional.size() != 1) return SyntaxError(L"query takes one key name.");
  KeyName name;
  std::wstring message;
  if (!ParseKeyName(options.positional[0], &name, &message)) return Fail(message);
  OpenKey key;
  if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead, key.Receive()))
    return RegistryFailure(result);
  QueryOutput() += L"\n";
  int matches = 0;
  Win32Error result = options.valueName
                          ? QueryValue(key.Get(), name.display, *options.valueName, options.recurse, &matches)
                          : QueryAll(key.Get(), name.display, options.recurse, false, &matches);
  if (result != kErrorSuccess) return RegistryFailure(result);
  if (options.recurse) QueryOutput() += L"End of search: " + std::to_wstring(matches) + L" match(es) found.\n";
  Out(QueryOutput());
  return kExitSuccess;
}

int Add(const std::vector<std::wstring>& arguments) {
  Options options;
  int exitCode = kExitFailure;
  if (!ParseOptions(arguments, L"add", {L"v", L"ve", L"t", L"s", L"d", L"f"}, &options, &exitCode)) return exitCode;
  if (options.positional.size() != 1) return SyntaxError(L"add takes one key name.");
  KeyName name;
  std::wstring message;
  if (!ParseKeyName(options.positional[0], &name, &message)) return Fail(message);
  std::uint32_t type = kRegSz;
  if (options.type) {
    bool known = false;
    for (const auto& entry : TypeNames()) {
      bool storable = entry.type <= kRegDwordBigEndian || entry.type == kRegMultiSz || entry.type == kRegQword;
      if (storable && RegistryNamesEqual(*options.type, entry.name)) {
        type = entry.type;
        known = true;
      }
    }
    if (!known) {
      return Fail(L"Invalid type \"" + *options.type +
                  L"\" (use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD, "
                  L"REG_BINARY or REG_NONE).");
    }
  }
  if (options.separator && (type != kRegMultiSz || options.separator->empty())) {
    return SyntaxError(L"/s SEPARATOR is for REG_MULTI_SZ and must not be empty.");
  }
  bool setsValue = options.valueName || options.type || options.data;
  std::vector<std::uint8_t> data;
  if (setsValue && !BuildData(type, options.data.value_or(L""), options.separator.value_or(L"\\0"), &data, &message)) {
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
  return kExitSuccess;
}

int Delete(const std::vector<std::wstring>& arguments) {
  Options options;
  int exitCode = kExitFailure;
  if (!ParseOptions(arguments, L"delete", {L"v", L"ve", L"va", L"f"}, &options, &exitCode)) return exitCode;
  if (options.positional.size() != 1) return SyntaxError(L"delete takes one key name.");
  if (options.valueName && options.allValues) return SyntaxError(L"Use only one of /v, /ve and /va.");
  KeyName name;
  std::wstring message;
  if (!ParseKeyName(options.positional[0], &name, &message)) return Fail(message);
  if (!options.valueName && !options.allValues) {
    if (name.subKey.empty()) return Fail(L"A root key cannot be deleted.");
    OpenKey key;
    if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead, key.Receive()))
      return RegistryFailure(result);
    if (!options.force && !Confirm(L"Permanently delete the registry key " + name.display)) return Cancelled();
    if (Win32Error result = RegistryDeleteKeyTree(name.root, name.subKey)) return RegistryFailure(result);
    Out(L"The operation completed successfully.\n");
    return kExitSuccess;
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
  return kExitSuccess;
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

// A char8_t path is UTF-8 on every system, so any file name gets through.
std::filesystem::path FilePath(const std::wstring& name) {
  std::string utf8 = Utf8FromWide(name);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

int Export(const std::vector<std::wstring>& arguments) {
  Options options;
  int exitCode = kExitFailure;
  if (!ParseOptions(arguments, L"export", {L"y"}, &options, &exitCode)) return exitCode;
  if (options.positional.size() != 2) return SyntaxError(L"export takes a key name and a file name.");
  KeyName name;
  std::wstring message;
  if (!ParseKeyName(options.positional[0], &name, &message)) return Fail(message);
  OpenKey key;
  if (Win32Error result = RegistryOpenKey(name.root, name.subKey, kKeyRead, key.Receive()))
    return RegistryFailure(result);
  std::vector<RegistryFileSection> sections;
  if (Win32Error result = CollectSections(key.Get(), name.display, &sections)) return RegistryFailure(result);
  auto file = FilePath(options.positional[1]);
  std::error_code error;
  if (!options.force && std::filesystem::exists(file, error) &&
      !Confirm(L"File " + options.positional[1] + L" already exists. Overwrite")) {
    return Cancelled();
  }
  // The Registry Editor's own encoding and line ends, so that the file can
  // be imported on Windows too.
  std::string bytes = RegistryFileUtf16(FormatRegistryFile(sections, "\r\n"));
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Fail(L"Cannot write the file " + options.positional[1] + L".");
  Out(L"The operation completed successfully.\n");
  return kExitSuccess;
}

int Import(const std::vector<std::wstring>& arguments) {
  Options options;
  int exitCode = kExitFailure;
  if (!ParseOptions(arguments, L"import", {}, &options, &exitCode)) return exitCode;
  if (options.positional.size() != 1) return SyntaxError(L"import takes one file name.");
  const std::wstring& fileName = options.positional[0];
  std::ifstream in(FilePath(fileName), std::ios::binary);
  if (!in) return Fail(L"Cannot open the file " + fileName + L".");
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<RegistryFileSection> sections;
  RegistryFileError problem;
  auto where = [&] { return fileName + L": line " + std::to_wstring(problem.line) + L": "; };
  if (!ParseRegistryFile(bytes, RegistryFileUse::Import, &sections, &problem)) {
    return Fail(where() + problem.reason + L". Nothing was imported.");
  }
  // The whole file is checked before anything changes; on Linux each hive
  // takes its sections in one update.
  Win32Error result = RegistryImport(sections, &problem);
  if (result == kErrorInvalidParameter) return Fail(where() + problem.reason + L". Nothing was imported.");
  if (result != kErrorSuccess) {
    std::wstring text = FormatSystemMessage(result);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return Fail(where() + problem.reason + L": " + text + L" (error " + std::to_wstring(result) + L")");
  }
  Out(L"The operation completed successfully.\n");
  return kExitSuccess;
}

void Usage() {
  Out(L"wlreg: reads and changes the registry.\n"
      L"\n"
      L"  wlreg query KEY [/v NAME | /ve] [/s]\n"
      L"  wlreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
      L"  wlreg delete KEY [/v NAME | /ve | /va] [/f]\n"
      L"  wlreg export KEY FILE [/y]\n"
      L"  wlreg import FILE\n"
      L"\n"
      L"KEY      ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU or their long names\n"
      L"/v NAME  the value NAME; /ve the default (unnamed) value; /va every value\n"
      L"/s       query: the key and every key below it\n"
      L"/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
      L"         REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE\n"
      L"/s SEP   add: the separator of REG_MULTI_SZ strings in DATA (default \\0)\n"
      L"/d DATA  text; a number (decimal or 0x hexadecimal); hexadecimal bytes\n"
      L"         for REG_BINARY and REG_NONE\n"
      L"/f, /y   do not ask before overwriting or deleting\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::wstring> arguments = CommandLineArguments(argc, argv);
  if (arguments.empty()) return SyntaxError(L"Name a command: query, add, delete, export or import.");
  std::wstring command = arguments.front();
  arguments.erase(arguments.begin());
  if (command == L"/?" || command == L"-?" || command == L"/h" || command == L"--help") {
    Usage();
    return kExitSuccess;
  }
  if (RegistryNamesEqual(command, L"query")) return Query(arguments);
  if (RegistryNamesEqual(command, L"add")) return Add(arguments);
  if (RegistryNamesEqual(command, L"delete")) return Delete(arguments);
  if (RegistryNamesEqual(command, L"export")) return Export(arguments);
  if (RegistryNamesEqual(command, L"import")) return Import(arguments);
  return SyntaxError(L"Unknown command \"" + command + L"\" (use query, add, delete, export or import).");
}
