#include "platform/text.h"

#include <cstdint>

namespace wl::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Calls sink(code point) for each code point of the wide text.
template <typename Sink>
void DecodeWide(std::wstring_view text, Sink&& sink) {
  if constexpr (sizeof(wchar_t) == 2) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      char32_t unit = static_cast<char16_t>(text[i]);
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
        char32_t low = static_cast<char16_t>(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          sink(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          ++i;
          continue;
        }
      }
      sink(unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
    }
  } else {
    for (wchar_t c : text) {
      auto unit = static_cast<char32_t>(c);
      sink(unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacement : unit);
    }
  }
}

void AppendWide(std::wstring& out, char32_t codePoint) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(codePoint));
}

}  // namespace

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  AppendUtf8FromWide(text, out);
  return out;
}

void AppendUtf8FromWide(std::wstring_view text, std::string& out) {
  // Log text is mostly ASCII: copy the leading ASCII run in one go.
  std::size_t start = out.size();
  out.resize(start + text.size());
  char* ascii = out.data() + start;
  std::size_t i = 0;
  while (i < text.size() && static_cast<std::uint32_t>(text[i]) < 0x80) {
    ascii[i] = static_cast<char>(text[i]);
    ++i;
  }
  out.resize(start + i);
  if (i == text.size()) return;
  DecodeWide(text.substr(i), [&out](char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  });
}

std::wstring WideFromUtf8CrLf(std::string_view text) {
  std::string bare;
  bare.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    bare.push_back(text[i]);
  }
  return WideFromUtf8(bare);
}

Utf8Sequence DecodeUtf8(std::string_view text) {
  if (text.empty()) return {};
  auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || text.size() < length) return {};
  char32_t c = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < length; ++k) {
    auto next = static_cast<unsigned char>(text[k]);
    if ((next & 0xC0) != 0x80) return {};
    c = (c << 6) | (next & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kShortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {};
  return {c, length};
}

bool IsValidUtf8(std::string_view text) {
  while (!text.empty()) {
    Utf8Sequence sequence = DecodeUtf8(text);
    if (sequence.length == 0) return false;
    text.remove_prefix(sequence.length);
  }
  return true;
}

std::wstring WideFromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  while (!text.empty()) {
    Utf8Sequence sequence = DecodeUtf8(text);
    // An invalid sequence costs one byte and one replacement character.
    AppendWide(out, sequence.length != 0 ? sequence.codePoint : kReplacement);
    text.remove_prefix(sequence.length != 0 ? sequence.length : 1);
  }
  return out;
}

std::u16string Utf16FromWide(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  DecodeWide(text, [&out](char32_t c) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  });
  return out;
}

std::wstring WideFromUtf16(std::u16string_view text) {
  // A pair becomes one character (two on Windows) and a lone surrogate one
  // replacement, so the result is never longer than the input; every log
  // line passes here, hence the filling in place.
  std::wstring out(text.size(), L'\0');
  std::size_t length = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) {
      out[length++] = static_cast<wchar_t>(unit);
      continue;
    }
    char32_t codePoint = kReplacement;
    if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      codePoint = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if constexpr (sizeof(wchar_t) == 2) {
      if (codePoint >= 0x10000) {
        out[length++] = static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
        out[length++] = static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        continue;
      }
    }
    out[length++] = static_cast<wchar_t>(codePoint);
  }
  out.resize(length);
  return out;
}

std::u16string Utf16FromLeBytes(std::span<const std::uint8_t> bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return units;
}

std::u16string Utf16FromLeBytes(std::string_view bytes) {
  return Utf16FromLeBytes(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> Utf16LeStringData(std::wstring_view text) {
  std::vector<std::uint8_t> data;
  AppendUtf16Le(Utf16FromWide(text), data);
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::uint64_t LoadLittleEndian(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size() < 8 ? bytes.size() : 8; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

void AppendLittleEndian(std::uint64_t value, std::size_t count, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
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
