// The one module of text and byte conversions: wide text (UTF-32 on Linux,
// UTF-16 on Windows; both handled) to and from UTF-8 and UTF-16, the UTF-8
// validity rules, UTF-16LE and little-endian integers in byte buffers, and
// the registry's case folding and name order. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wl::platform {

// One UTF-8 sequence at the start of text: its code point and its length in
// bytes. The length is 0 for an invalid sequence: a continuation byte or an
// unused byte (C0, C1, F5 to FF) as lead, a missing or wrong continuation
// byte, an overlong form, a surrogate (U+D800 to U+DFFF) or a code point
// above U+10FFFF. An empty text gives length 0 too.
struct Utf8Sequence {
  char32_t codePoint = 0;
  std::size_t length = 0;
};
Utf8Sequence DecodeUtf8(std::string_view text);
// True when the whole text is a series of valid sequences.
bool IsValidUtf8(std::string_view text);

// Append a number to a std::string, std::wstring or std::u16string with at
// least `width` digits: in decimal as "{:0N}" would, in hexadecimal as
// "{:0Nx}" (or, with kUpper, "{:0NX}") would. For text built character by
// character on hot paths and for fixed layouts (GUIDs, SIDs, .reg files).
template <typename Text>
void AppendDecimal(Text& out, std::uint64_t value, int width = 1);
enum class HexCase { kLower, kUpper };
template <typename Text>
void AppendHex(Text& out, std::uint64_t value, int width = 1, HexCase letters = HexCase::kLower);

// Wide text to UTF-8. Invalid code points become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// The same, appended to out (so that a caller can reuse its buffer).
void AppendUtf8FromWide(std::wstring_view text, std::string& out);
// UTF-8 to wide text. Invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
// The same for text whose line feeds each follow an added carriage return
// (CR LF line ends): one CR before each LF is left out, so that writing the
// result in a text mode, which adds them again, gives the same line ends.
std::wstring WideFromUtf8CrLf(std::string_view text);
// Wide text to UTF-16 code units (little-endian order in memory).
std::u16string Utf16FromWide(std::wstring_view text);
std::wstring WideFromUtf16(std::u16string_view text);

// UTF-16 code units as little-endian bytes, appended to out (a std::string
// or a std::vector<std::uint8_t>).
template <typename Bytes>
void AppendUtf16Le(std::u16string_view units, Bytes& out) {
  out.reserve(out.size() + units.size() * 2);
  for (char16_t unit : units) {
    out.push_back(static_cast<typename Bytes::value_type>(unit & 0xFF));
    out.push_back(static_cast<typename Bytes::value_type>(unit >> 8));
  }
}
// Little-endian bytes as UTF-16 code units; an odd last byte is ignored.
std::u16string Utf16FromLeBytes(std::span<const std::uint8_t> bytes);
std::u16string Utf16FromLeBytes(std::string_view bytes);
// Text as UTF-16LE with a terminating null unit: the data of a REG_SZ value.
std::vector<std::uint8_t> Utf16LeStringData(std::wstring_view text);

// The unsigned number in up to 8 little-endian bytes (0 for none).
std::uint64_t LoadLittleEndian(std::span<const std::uint8_t> bytes);
// The 32-bit number in the first four bytes.
inline std::uint32_t LoadLittleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(LoadLittleEndian(std::span<const std::uint8_t>(bytes, 4)));
}
// Appends the low `count` bytes of value, least significant first.
void AppendLittleEndian(std::uint64_t value, std::size_t count, std::vector<std::uint8_t>& out);

// MultiByteToWideChar(CP_ACP): narrow text from the process's ANSI code page
// (UTF-8 on Linux).
std::wstring WideFromAnsi(std::string_view text);

// Case-insensitive comparison of key and value names as the registry does
// it: both sides upper-cased letter by letter (ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic).
wchar_t RegistryUpperCase(wchar_t c);
bool RegistryNamesEqual(std::wstring_view a, std::wstring_view b);
// <0, 0, >0 in the registry's sort order of sub-keys: upper-cased units
// compared as numbers, a prefix before the longer name.
int RegistryCompareNames(std::wstring_view a, std::wstring_view b);

namespace text_detail {

template <unsigned kBase, typename Text>
void AppendDigits(Text& out, std::uint64_t value, int width, const char* digits) {
  typename Text::value_type buffer[64 / (kBase == 16 ? 4 : 3) + 1];
  int count = 0;
  do {
    buffer[count++] = static_cast<typename Text::value_type>(digits[value % kBase]);
    value /= kBase;
  } while (value != 0);
  for (int i = count; i < width; ++i) out.push_back('0');
  while (count > 0) out.push_back(buffer[--count]);
}

}  // namespace text_detail

template <typename Text>
void AppendDecimal(Text& out, std::uint64_t value, int width) {
  text_detail::AppendDigits<10>(out, value, width, "0123456789");
}

template <typename Text>
void AppendHex(Text& out, std::uint64_t value, int width, HexCase letters) {
  text_detail::AppendDigits<16>(out, value, width,
                                letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef");
}

}  // namespace wl::platform
