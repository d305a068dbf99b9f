// Portable conversions between wide text and UTF-8 / UTF-16. wchar_t holds
// UTF-32 on Linux and UTF-16 on Windows; both are decoded here.
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

std::wstring WideFromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    int length = lead >= 0xF0 && lead <= 0xF4   ? 4
                 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xC2 && lead <= 0xDF ? 2
                                                : 0;
    char32_t c = length == 4 ? (lead & 0x07) : length == 3 ? (lead & 0x0F) : (lead & 0x1F);
    bool valid = length != 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
      } else {
        c = (c << 6) | (next & 0x3F);
      }
    }
    if (valid && ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
                  (length == 4 && (c < 0x10000 || c > 0x10FFFF)))) {
      valid = false;
    }
    if (!valid) {
      AppendWide(out, kReplacement);
      ++i;
      continue;
    }
    AppendWide(out, c);
    i += length;
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
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendWide(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendWide(out, kReplacement);
    } else {
      AppendWide(out, unit);
    }
  }
  return out;
}

}  // namespace wl::platform
