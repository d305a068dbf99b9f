#include "platform/registry_file.h"

#include <cstddef>

#include "platform/text.h"

namespace wl::platform {
namespace {

constexpr std::uint32_t kTypeSz = 1;
constexpr std::uint32_t kTypeDword = 4;

bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F; }

// Splits UTF-8 bytes into lines, checking each for well-formed UTF-8 so that
// a file saved in another encoding is refused rather than read wrongly.
bool IsWellFormedUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      ++i;
      continue;
    }
    int extra = 0;
    char32_t code = 0;
    if ((byte & 0xE0) == 0xC0) {
      extra = 1;
      code = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      extra = 2;
      code = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      extra = 3;
      code = byte & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

struct Line {
  std::wstring text;
  int number = 0;
};

// Decodes the file into lines; false (with the error) for bad encoding or a
// last line without its line end when that is required.
bool SplitLines(std::string_view bytes, bool requireFinalLineEnd, std::vector<Line>* lines,
                RegistryFileError* error) {
  std::wstring wide;
  bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xFE;
  if (utf16) {
    if (bytes.size() % 2 != 0) {
      *error = {0, L"UTF-16 text with an odd number of bytes"};
      return false;
    }
    std::u16string units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    wide = WideFromUtf16(units);
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    // Check line by line so that the error can name the line.
    int number = 1;
    std::size_t start = 0;
    while (start < bytes.size()) {
      auto end = bytes.find('\n', start);
      auto line = bytes.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      if (!IsWellFormedUtf8(line)) {
        *error = {number, L"the text is not valid UTF-8"};
        return false;
      }
      if (end == std::string_view::npos) break;
      start = end + 1;
      ++number;
    }
    wide = WideFromUtf8(bytes);
  }
  if (requireFinalLineEnd && !wide.empty() && wide.back() != L'\n') {
    int count = 1;
    for (wchar_t c : wide) count += c == L'\n';
    *error = {count, L"the file ends in the middle of a line (it was cut short)"};
    return false;
  }
  std::size_t start = 0;
  int number = 1;
  while (start < wide.size()) {
    auto end = wide.find(L'\n', start);
    std::wstring text = wide.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (!text.empty() && text.back() == L'\r') text.pop_back();
    lines->push_back({std::move(text), number++});
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return true;
}

std::wstring_view TrimLeft(std::wstring_view s) {
  while (!s.empty() && (s.front() == L' ' || s.front() == L'\t')) s.remove_prefix(1);
  return s;
}

std::wstring_view Trim(std::wstring_view s) {
  s = TrimLeft(s);
  while (!s.empty() && (s.back() == L' ' || s.back() == L'\t')) s.remove_suffix(1);
  return s;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Reads a quoted text starting at s[0] == '"'; on return s is past the
// closing quote. False for a missing quote or an unknown escape.
bool ReadQuoted(std::wstring_view& s, std::wstring* out, std::wstring* reason) {
  s.remove_prefix(1);
  while (!s.empty()) {
    wchar_t c = s.front();
    s.remove_prefix(1);
    if (c == L'"') return true;
    if (c == L'\\') {
      if (s.empty() || (s.front() != L'\\' && s.front() != L'"')) {
        *reason = L"a backslash in quotes must be doubled (\\\\) or escape a quote (\\\")";
        return false;
      }
      c = s.front();
      s.remove_prefix(1);
    }
    out->push_back(c);
  }
  *reason = L"missing closing quote";
  return false;
}

std::vector<std::uint8_t> StringBytes(std::wstring_view text) {
  std::u16string units = Utf16FromWide(text);
  std::vector<std::uint8_t> bytes;
  bytes.reserve((units.size() + 1) * 2);
  for (char16_t unit : units) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

// Parses the data after '=' of the value line at lines[*index]; may consume
// continuation lines.
bool ParseData(std::wstring_view data, const std::vector<Line>& lines, std::size_t* index,
               bool allowRemove, RegistryFileValue* value, RegistryFileError* error) {
  int lineNumber = lines[*index].number;
  auto fail = [&](std::wstring reason) {
    *error = {lineNumber, std::move(reason)};
    return false;
  };
  data = TrimLeft(data);
  if (data == L"-") {
    if (!allowRemove) return fail(L"a value removal (=-) is not allowed here");
    value->remove = true;
    return true;
  }
  if (!data.empty() && data.front() == L'"') {
    std::wstring text, reason;
    if (!ReadQuoted(data, &text, &reason)) return fail(reason);
    if (!Trim(data).empty()) return fail(L"unexpected text after the closing quote");
    value->type = kTypeSz;
    value->data = StringBytes(text);
    return true;
  }
  if (data.substr(0, 6) == L"dword:") {
    auto digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) return fail(L"dword: needs 1 to 8 hexadecimal digits");
    std::uint32_t number = 0;
    for (wchar_t c : digits) {
      int digit = HexDigit(c);
      if (digit < 0) return fail(L"dword: needs 1 to 8 hexadecimal digits");
      number = (number << 4) | static_cast<std::uint32_t>(digit);
    }
    value->type = kTypeDword;
    value->data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                   static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    return true;
  }
  if (data.substr(0, 3) != L"hex") return fail(L"unknown value data (expected \"text\", dword:, hex: or hex(N):)");
  data.remove_prefix(3);
  std::uint32_t type = 3;
  if (!data.empty() && data.front() == L'(') {
    auto close = data.find(L')');
    auto digits = data.substr(1, close == std::wstring_view::npos ? 0 : close - 1);
    if (close == std::wstring_view::npos || digits.empty() || digits.size() > 8) {
      return fail(L"hex(N): needs a type of 1 to 8 hexadecimal digits");
    }
    type = 0;
    for (wchar_t c : digits) {
      int digit = HexDigit(c);
      if (digit < 0) return fail(L"hex(N): needs a type of 1 to 8 hexadecimal digits");
      type = (type << 4) | static_cast<std::uint32_t>(digit);
    }
    data.remove_prefix(close + 1);
  }
  if (data.empty() || data.front() != L':') return fail(L"missing ':' after hex");
  data.remove_prefix(1);
  std::wstring bytesText(Trim(data));
  while (!bytesText.empty() && bytesText.back() == L'\\') {
    bytesText.pop_back();
    if (*index + 1 >= lines.size()) return fail(L"the file ends inside a continued hex value");
    ++*index;
    lineNumber = lines[*index].number;
    bytesText += Trim(lines[*index].text);
  }
  value->type = type;
  std::wstring_view rest = bytesText;
  while (!rest.empty()) {
    auto comma = rest.find(L',');
    auto item = Trim(rest.substr(0, comma));
    if (item.size() != 2 || HexDigit(item[0]) < 0 || HexDigit(item[1]) < 0) {
      return fail(L"hex data must be bytes of two hexadecimal digits separated by commas");
    }
    int byte = HexDigit(item[0]) * 16 + HexDigit(item[1]);
    value->data.push_back(static_cast<std::uint8_t>(byte));
    if (comma == std::wstring_view::npos) break;
    rest.remove_prefix(comma + 1);
    if (Trim(rest).empty()) return fail(L"hex data ends with a comma");
  }
  return true;
}

// The text of REG_SZ data when it can be written as "text" and read back to
// the same bytes; false otherwise.
bool StringFromBytes(const std::vector<std::uint8_t>& data, std::wstring* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string units;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  if (units.back() != 0) return false;
  units.pop_back();
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (IsControl(u)) return false;
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

void AppendQuoted(std::wstring& out, std::wstring_view text) {
  out.push_back(L'"');
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out.push_back(L'\\');
    out.push_back(c);
  }
  out.push_back(L'"');
}

void AppendHex(std::wstring& out, unsigned value, int digits) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

void AppendValue(std::wstring& out, const RegistryFileValue& value, std::wstring_view lineEnd) {
  std::wstring line;
  if (value.name.empty()) {
    line = L"@";
  } else {
    AppendQuoted(line, value.name);
  }
  line.push_back(L'=');
  std::wstring text;
  if (value.remove) {
    line.push_back(L'-');
  } else if (value.type == kTypeSz && StringFromBytes(value.data, &text)) {
    AppendQuoted(line, text);
  } else if (value.type == kTypeDword && value.data.size() == 4) {
    line += L"dword:";
    AppendHex(line, value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                        (static_cast<unsigned>(value.data[3]) << 24), 8);
  } else {
    line += L"hex";
    if (value.type != 3) {
      line.push_back(L'(');
      std::wstring digits;
      std::uint32_t type = value.type;
      do {
        digits.insert(digits.begin(), L"0123456789abcdef"[type & 0xF]);
        type >>= 4;
      } while (type != 0);
      line += digits;
      line.push_back(L')');
    }
    line.push_back(L':');
    // Lines stay within 80 columns, continued after a backslash and indented
    // by two spaces, as the Registry Editor writes them.
    for (std::size_t i = 0; i < value.data.size(); ++i) {
      std::wstring piece;
      AppendHex(piece, value.data[i], 2);
      if (i + 1 < value.data.size()) piece.push_back(L',');
      if (line.size() + piece.size() > 78 && i + 1 < value.data.size()) {
        out += line;
        out.push_back(L'\\');
        out += lineEnd;
        line = L"  ";
      }
      line += piece;
    }
  }
  out += line;
  out += lineEnd;
}

}  // namespace

bool ParseRegistryFile(std::string_view bytes, RegistryFileUse use,
                       std::vector<RegistryFileSection>* sections, RegistryFileError* error) {
  sections->clear();
  bool hive = use == RegistryFileUse::Hive;
  std::vector<Line> lines;
  if (!SplitLines(bytes, hive, &lines, error)) return false;
  std::size_t index = 0;
  while (index < lines.size() && Trim(lines[index].text).empty()) ++index;
  if (index >= lines.size() || Trim(lines[index].text) != L"Windows Registry Editor Version 5.00") {
    *error = {index < lines.size() ? lines[index].number : 1,
              L"the first line must be \"Windows Registry Editor Version 5.00\""};
    return false;
  }
  std::vector<RegistryFileSection> parsed;
  for (++index; index < lines.size(); ++index) {
    const Line& line = lines[index];
    std::wstring_view text = Trim(line.text);
    if (text.empty() || text.front() == L';') continue;
    if (text.front() == L'[') {
      if (text.back() != L']') {
        *error = {line.number, L"a key line must end with ']'"};
        return false;
      }
      RegistryFileSection section;
      section.line = line.number;
      text = text.substr(1, text.size() - 2);
      if (!text.empty() && text.front() == L'-') {
        if (hive) {
          *error = {line.number, L"a key removal ([-...]) is not allowed in a hive file"};
          return false;
        }
        section.remove = true;
        text.remove_prefix(1);
      }
      if (text.empty()) {
        *error = {line.number, L"empty key name"};
        return false;
      }
      section.path = text;
      parsed.push_back(std::move(section));
      continue;
    }
    if (parsed.empty() || parsed.back().remove) {
      *error = {line.number, parsed.empty() ? L"a value line before the first key line"
                                            : L"a value line under a key removal"};
      return false;
    }
    RegistryFileValue value;
    if (text.front() == L'@') {
      text.remove_prefix(1);
    } else if (text.front() == L'"') {
      std::wstring reason;
      if (!ReadQuoted(text, &value.name, &reason)) {
        *error = {line.number, reason};
        return false;
      }
    } else {
      *error = {line.number, L"expected [key], \"name\"=data or @=data"};
      return false;
    }
    text = TrimLeft(text);
    if (text.empty() || text.front() != L'=') {
      *error = {line.number, L"missing '=' after the value name"};
      return false;
    }
    text.remove_prefix(1);
    if (!ParseData(text, lines, &index, !hive, &value, error)) return false;
    parsed.back().values.push_back(std::move(value));
  }
  *sections = std::move(parsed);
  return true;
}

std::wstring FormatRegistryFile(const std::vector<RegistryFileSection>& sections,
                                std::wstring_view lineEnd) {
  std::wstring out = L"Windows Registry Editor Version 5.00";
  out += lineEnd;
  for (const auto& section : sections) {
    out += lineEnd;
    out += section.remove ? L"[-" : L"[";
    out += section.path;
    out += L"]";
    out += lineEnd;
    for (const auto& value : section.values) AppendValue(out, value, lineEnd);
  }
  out += lineEnd;
  return out;
}

std::string RegistryFileUtf8(std::wstring_view text) { return Utf8FromWide(text); }

std::string RegistryFileUtf16(std::wstring_view text) {
  std::u16string units = Utf16FromWide(text);
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + units.size() * 2);
  for (char16_t unit : units) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

bool IsStorableValueName(std::wstring_view name) {
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

wchar_t RegistryUpperCase(wchar_t c) {
  auto u = static_cast<char32_t>(c);
  if (u >= L'a' && u <= L'z') return static_cast<wchar_t>(u - 32);
  if (u < 0xE0) return c;
  if (u <= 0xFE && u != 0xF7) return static_cast<wchar_t>(u - 32);
  if (u == 0xFF) return static_cast<wchar_t>(0x178);
  if (u >= 0x100 && u <= 0x17E) {
    // Latin Extended-A pairs each capital with the small letter after it.
    bool evenCapital = u <= 0x137 || (u >= 0x14A && u <= 0x177);
    bool oddCapital = (u >= 0x139 && u <= 0x148) || u >= 0x179;
    if ((evenCapital && (u & 1) == 1) || (oddCapital && (u & 1) == 0)) return static_cast<wchar_t>(u - 1);
    return c;
  }
  if (u == 0x3C2) return static_cast<wchar_t>(0x3A3);
  if (u >= 0x3B1 && u <= 0x3C9) return static_cast<wchar_t>(u - 32);
  if (u >= 0x430 && u <= 0x44F) return static_cast<wchar_t>(u - 32);
  if (u >= 0x450 && u <= 0x45F) return static_cast<wchar_t>(u - 80);
  return c;
}

int RegistryCompareNames(std::wstring_view a, std::wstring_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto x = static_cast<char32_t>(RegistryUpperCase(a[i]));
    auto y = static_cast<char32_t>(RegistryUpperCase(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool RegistryNamesEqual(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && RegistryCompareNames(a, b) == 0;
}

}  // namespace wl::platform
