// Conversions between the wide text of the interfaces and byte encodings.
// wchar_t is UTF-32 on Linux and UTF-16 on Windows; both are handled.
#pragma once

#include <string>
#include <string_view>

namespace wl::platform {

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

// MultiByteToWideChar(CP_ACP): narrow text from the process's ANSI code page
// (UTF-8 on Linux).
std::wstring WideFromAnsi(std::string_view text);

}  // namespace wl::platform
