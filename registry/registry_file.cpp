#include "registry/registry_file.h"

#include <cstddef>

#include "platform/text.h"

namespace wl::platform {
namespace {

constexpr std::uint32_t kTypeSz = 1;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;
constexpr std::uint32_t kTypeExpandSz = 2;
constexpr std::uint32_t kTypeMultiSz = 7;

bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F; }

struct Line {
  std::string_view text;
  int number = 0;
};

// Splits UTF-8 text into lines (without their LF or CR LF).
std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  int number = 1;
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back({line, number++});
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at s[0] == '"'; on return s is past the
// closing quote. False for a missing quote or an unknown escape.
bool ReadQuoted(std::string_view& s, std::wstring* out, std::wstring* reason) {
  s.remove_prefix(1);
  std::string text;
  for (;;) {
    auto special = s.find_first_of("\"\\");
    if (special == std::string_view::npos) {
      *reason = L"missing closing quote";
      return false;
    }
    text.append(s.substr(0, special));
    char c = s[special];
    s.remove_prefix(special + 1);
    if (c == '"') break;
    if (s.empty() || (s.front() != '\\' && s.front() != '"')) {
      *reason = L"a backslash in quotes must be doubled (\\\\) or escape a quote (\\\")";
      return false;
    }
    text.push_back(s.front());
    s.remove_prefix(1);
  }
  *out = WideFromUtf8(text);
  return true;
}

bool ParseHexNumber(std::string_view digits, std::size_t maxDigits, std::uint32_t* number) {
  if (digits.empty() || digits.size() > maxDigits) return false;
  *number = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    *number = (*number << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

// Parses the data after '=' of the value line at lines[*index]; may consume
// continuation lines.
bool StartsWithRegedit4(std::string_view bytes) {
  std::size_t start = bytes.find_first_not_of(" \t\r\n");
  return start != std::string_view::npos && bytes.substr(start).starts_with(kRegistryFileHeader4);
}

// In a REGEDIT4 file (ansi set) the strings of hex(2) and hex(7) data are
// in the ANSI code page; they are stored as UTF-16, as Windows does.
void WidenAnsiStrings(RegistryFileValue* value) {
  std::string ansi(value->data.begin(), value->data.end());
  value->data.clear();
  AppendUtf16Le(Utf16FromWide(WideFromAnsi(ansi)), value->data);
}

bool ParseData(std::string_view data, const std::vector<Line>& lines, std::size_t* index, bool allowRemove, bool ansi,
               RegistryFileValue* value, RegistryFileError* error) {
  int lineNumber = lines[*index].number;
  auto fail = [&](std::wstring reason) {
    *error = {lineNumber, std::move(reason)};
    return false;
  };
  data = TrimLeft(data);
  if (data == "-") {
    if (!allowRemove) return fail(L"a value removal (=-) is not allowed here");
    value->remove = true;
    return true;
  }
  if (!data.empty() && data.front() == '"') {
    std::wstring text, reason;
    if (!ReadQuoted(data, &text, &reason)) return fail(reason);
    if (!Trim(data).empty()) return fail(L"unexpected text after the closing quote");
    value->type = kTypeSz;
    value->data = Utf16LeStringData(text);
    return true;
  }
  if (data.substr(0, 6) == "dword:") {
    std::uint32_t number = 0;
    if (!ParseHexNumber(Trim(data.substr(6)), 8, &number)) return fail(L"dword: needs 1 to 8 hexadecimal digits");
    value->type = kTypeDword;
    value->data.clear();
    AppendLittleEndian(number, 4, value->data);
    return true;
  }
  if (data.substr(0, 3) != "hex") return fail(L"unknown value data (expected \"text\", dword:, hex: or hex(N):)");
  data.remove_prefix(3);
  value->type = kTypeBinary;
  if (!data.empty() && data.front() == '(') {
    auto close = data.find(')');
    if (close == std::string_view::npos || !ParseHexNumber(data.substr(1, close - 1), 8, &value->type)) {
      return fail(L"hex(N): needs a type of 1 to 8 hexadecimal digits");
    }
    data.remove_prefix(close + 1);
  }
  if (data.empty() || data.front() != ':') return fail(L"missing ':' after hex");
  data.remove_prefix(1);
  // Bytes "xx," possibly continued on following lines after a backslash.
  std::string_view rest = Trim(data);
  for (;;) {
    bool continued = !rest.empty() && rest.back() == '\\';
    if (continued) rest = Trim(rest.substr(0, rest.size() - 1));
    while (!rest.empty()) {
      auto comma = rest.find(',');
      std::string_view item = Trim(rest.substr(0, comma));
      if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0) {
        return fail(L"hex data must be bytes of two hexadecimal digits separated by commas");
      }
      value->data.push_back(static_cast<std::uint8_t>(HexDigit(item[0]) * 16 + HexDigit(item[1])));
      if (comma == std::string_view::npos) {
        rest = {};
        break;
      }
      rest = Trim(rest.substr(comma + 1));
      if (rest.empty() && !continued) return fail(L"hex data ends with a comma");
    }
    if (!continued) {
      if (ansi && (value->type == kTypeExpandSz || value->type == kTypeMultiSz)) WidenAnsiStrings(value);
      return true;
    }
    if (*index + 1 >= lines.size()) return fail(L"the file ends inside a continued hex value");
    ++*index;
    lineNumber = lines[*index].number;
    rest = Trim(lines[*index].text);
  }
}

// The text of REG_SZ data when it can be written as "text" and read back to
// the same bytes; false otherwise.
bool StringFromBytes(const std::vector<std::uint8_t>& data, std::wstring* text) {
  if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) {
    return false;
  }
  std::u16string units = Utf16FromLeBytes(std::span(data).first(data.size() - 2));
  for (char16_t u : units) {
    if (IsControl(u)) return false;
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
  }
  *text = WideFromUtf16(units);
  return true;
}

void AppendQuoted(std::string& out, std::wstring_view text) {
  std::string utf8 = Utf8FromWide(text);
  out.push_back('"');
  std::string_view rest = utf8;
  for (;;) {
    auto special = rest.find_first_of("\"\\");
    out.append(rest.substr(0, special));
    if (special == std::string_view::npos) break;
    out.push_back('\\');
    out.push_back(rest[special]);
    rest.remove_prefix(special + 1);
  }
  out.push_back('"');
}

}  // namespace

bool ParseRegistryFile(std::string_view bytes, RegistryFileUse use, std::vector<RegistryFileSection>* sections,
                       RegistryFileError* error) {
  sections->clear();
  bool hive = use == RegistryFileUse::Hive;
  bool ansi = false;
  std::string converted;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      *error = {0, L"UTF-16 text with an odd number of bytes"};
      return false;
    }
    converted = Utf8FromWide(WideFromUtf16(Utf16FromLeBytes(bytes.substr(2))));
    bytes = converted;
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  } else if (!hive && StartsWithRegedit4(bytes)) {
    converted = Utf8FromWide(WideFromAnsi(bytes));
    bytes = converted;
    ansi = true;
  }
  std::vector<Line> lines = SplitLines(bytes);
  for (const Line& line : lines) {
    // A file saved in another encoding is refused rather than read wrongly.
    if (!IsValidUtf8(line.text)) {
      *error = {line.number, L"the text is not valid UTF-8"};
      return false;
    }
  }
  // A hive is always written whole, ending with a line end: anything else
  // was cut short.
  if (hive && !bytes.empty() && bytes.back() != '\n') {
    *error = {lines.back().number, L"the file ends in the middle of a line (it was cut short)"};
    return false;
  }
  std::size_t index = 0;
  while (index < lines.size() && Trim(lines[index].text).empty()) ++index;
  std::string_view header = ansi ? kRegistryFileHeader4 : kRegistryFileHeader;
  if (index >= lines.size() || Trim(lines[index].text) != header) {
    *error = {index < lines.size() ? lines[index].number : 1,
              L"the first line must be \"Windows Registry Editor Version 5.00\""};
    return false;
  }
  if (hive) {
    // A hive that starts with the marker line must end with its pair; one
    // cut at a line end would otherwise lose its last keys unnoticed.
    std::size_t first = index + 1;
    while (first < lines.size() && Trim(lines[first].text).empty()) ++first;
    std::size_t last = lines.size();
    while (last > first && Trim(lines[last - 1].text).empty()) --last;
    if (first < lines.size() && Trim(lines[first].text) == kHiveStartMarker &&
        (last <= first + 1 || Trim(lines[last - 1].text) != kHiveEndMarker)) {
      *error = {static_cast<int>(lines.size()) + 1,
                L"the file ends before its last line \"" + WideFromUtf8(kHiveEndMarker) + L"\" (it was cut short)"};
      return false;
    }
  }
  std::vector<RegistryFileSection> parsed;
  for (++index; index < lines.size(); ++index) {
    const Line& line = lines[index];
    std::string_view text = Trim(line.text);
    auto fail = [&](std::wstring reason) {
      *error = {line.number, std::move(reason)};
      return false;
    };
    if (text.empty() || text.front() == ';') continue;
    if (text.front() == '[') {
      if (text.back() != ']') return fail(L"a key line must end with ']'");
      RegistryFileSection section;
      section.line = line.number;
      text = text.substr(1, text.size() - 2);
      if (!text.empty() && text.front() == '-') {
        if (hive) return fail(L"a key removal ([-...]) is not allowed in a hive file");
        section.remove = true;
        text.remove_prefix(1);
      }
      if (text.empty()) return fail(L"empty key name");
      section.path = WideFromUtf8(text);
      parsed.push_back(std::move(section));
      continue;
    }
    if (parsed.empty()) return fail(L"a value line before the first key line");
    if (parsed.back().remove) return fail(L"a value line under a key removal");
    RegistryFileValue value;
    if (text.front() == '@') {
      text.remove_prefix(1);
    } else if (text.front() == '"') {
      std::wstring reason;
      if (!ReadQuoted(text, &value.name, &reason)) return fail(reason);
    } else {
      return fail(L"expected [key], \"name\"=data or @=data");
    }
    text = TrimLeft(text);
    if (text.empty() || text.front() != '=') return fail(L"missing '=' after the value name");
    text.remove_prefix(1);
    if (!ParseData(text, lines, &index, !hive, ansi, &value, error)) return false;
    parsed.back().values.push_back(std::move(value));
  }
  *sections = std::move(parsed);
  return true;
}

void AppendRegistryFileHeader(std::string& out, std::string_view lineEnd) {
  out += kRegistryFileHeader;
  out += lineEnd;
}

void AppendRegistryFileSection(std::string& out, std::wstring_view path, bool remove, std::string_view lineEnd) {
  out += lineEnd;
  out += remove ? "[-" : "[";
  out += Utf8FromWide(path);
  out += ']';
  out += lineEnd;
}

void AppendRegistryFileValue(std::string& out, std::wstring_view name, std::uint32_t type,
                             const std::vector<std::uint8_t>& data, std::string_view lineEnd) {
  std::size_t lineStart = out.size();
  if (name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, name);
  }
  out.push_back('=');
  std::wstring text;
  if (type == kTypeSz && StringFromBytes(data, &text)) {
    AppendQuoted(out, text);
  } else if (type == kTypeDword && data.size() == 4) {
    out += "dword:";
    AppendHex(out, LoadLittleEndian32(data.data()), 8);
  } else {
    out += "hex";
    if (type != kTypeBinary) {
      out.push_back('(');
      AppendHex(out, type);
      out.push_back(')');
    }
    out.push_back(':');
    // Lines stay within 80 columns, continued after a backslash and indented
    // by two spaces, as the Registry Editor writes them.
    std::size_t column = out.size() - lineStart;
    for (std::size_t i = 0; i < data.size(); ++i) {
      bool last = i + 1 == data.size();
      if (column + 3 > 78 && !last) {
        out += '\\';
        out += lineEnd;
        out += "  ";
        column = 2;
      }
      AppendHex(out, data[i], 2);
      column += 2;
      if (!last) {
        out.push_back(',');
        ++column;
      }
    }
  }
  out += lineEnd;
}

std::string FormatRegistryFile(const std::vector<RegistryFileSection>& sections, std::string_view lineEnd) {
  std::string out;
  AppendRegistryFileHeader(out, lineEnd);
  for (const auto& section : sections) {
    AppendRegistryFileSection(out, section.path, section.remove, lineEnd);
    for (const auto& value : section.values) {
      if (value.remove) {
        if (value.name.empty()) {
          out.push_back('@');
        } else {
          AppendQuoted(out, value.name);
        }
        out += "=-";
        out += lineEnd;
      } else {
        AppendRegistryFileValue(out, value.name, value.type, value.data, lineEnd);
      }
    }
  }
  out += lineEnd;
  return out;
}

std::string RegistryFileUtf16(std::string_view utf8) {
  std::string bytes = "\xFF\xFE";
  AppendUtf16Le(Utf16FromWide(WideFromUtf8(utf8)), bytes);
  return bytes;
}

bool IsStorableValueName(std::wstring_view name) {
  std::size_t units = 0;
  for (wchar_t c : name) {
    // Two units for a character outside the BMP (one wchar_t on Linux).
    auto code = static_cast<char32_t>(c);
    units += code > 0xFFFF ? 2 : 1;
  }
  if (units > kMaxValueNameLength) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<char32_t>(name[i]);
    if (IsControl(c) || c > 0x10FFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF && sizeof(wchar_t) == 2 && i + 1 < name.size() &&
        static_cast<char32_t>(name[i + 1]) >= 0xDC00 && static_cast<char32_t>(name[i + 1]) <= 0xDFFF) {
      ++i;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) return false;
  }
  return true;
}

bool IsStorableKeyName(std::wstring_view name) {
  return !name.empty() && name.size() <= 255 && name.find(L'\\') == std::wstring_view::npos &&
         IsStorableValueName(name);
}

bool CheckRegistryFileSections(const std::vector<RegistryFileSection>& sections, RegistryFileError* error) {
  static constexpr std::wstring_view kRoots[] = {L"HKEY_LOCAL_MACHINE", L"HKEY_CURRENT_USER", L"HKEY_CLASSES_ROOT",
                                                 L"HKEY_USERS"};
  for (const auto& section : sections) {
    auto fail = [&](std::wstring reason) {
      *error = {section.line, std::move(reason)};
      return false;
    };
    std::wstring_view path = section.path;
    std::wstring_view root = path.substr(0, path.find(L'\\'));
    bool known = false;
    for (std::wstring_view name : kRoots) known = known || RegistryNamesEqual(root, name);
    if (!known) {
      return fail(L"the key \"" + section.path +
                  L"\" does not start with HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS");
    }
    if (root.size() == path.size()) return fail(L"a root key cannot be imported");
    std::size_t depth = 0;
    for (std::wstring_view rest = path.substr(root.size()); !rest.empty();) {
      rest.remove_prefix(1);
      std::wstring_view name = rest.substr(0, rest.find(L'\\'));
      if (!IsStorableKeyName(name)) {
        return fail(name.empty() ? std::wstring(L"an empty key name (two backslashes in a row, or one at the end)")
                                 : L"the key name \"" + std::wstring(name) + L"\" cannot be stored");
      }
      if (++depth > kMaxKeyDepth) return fail(L"the key is more than 512 levels deep");
      rest.remove_prefix(name.size());
    }
    for (const auto& value : section.values) {
      if (!IsStorableValueName(value.name)) {
        return fail(L"the value name \"" + value.name.substr(0, 64) +
                    L"\" cannot be stored (control characters, or more than 16383 characters)");
      }
    }
  }
  return true;
}

}  // namespace wl::platform
