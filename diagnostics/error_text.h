// The texts of errors: the system's message for a code, the " Error n (0x..)"
// suffix, the replacement text of a failed format, the composer SafeFormat
// and the runtime error-number descriptions. Any thread may call these.
#pragma once

#include <concepts>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "diagnostics/format.h"
#include "platform/types.h"

namespace wl {

// The system's English description of a Win32 code or HRESULT, without
// carriage returns and trailing line feeds; empty when there is none.
std::wstring SystemMessageText(std::uint32_t code);

// " Error {} ({:#x})" with the code as signed and unsigned, then " - " and
// the system's description when there is one.
std::wstring ErrorCodeText(std::uint32_t code);

// "Exception format: '{}' - {}" with the format and the exception's text.
std::wstring FormatExceptionText(std::wstring_view format, const std::exception& exception);

// The description of a runtime error number (Windows numbering), or the
// number in decimal when the table has none.
std::wstring ErrnoText(int errorNumber);

// What SafeFormat takes as an error code: a number, a Win32 error or an
// HRESULT.
template <typename T>
concept ErrorCodeValue = std::integral<T> || std::same_as<T, Win32Error> || std::same_as<T, HResult>;

// Applies a run-time format to the arguments; never throws a format error: a
// format that cannot be applied yields FormatExceptionText. A non-zero code
// appends ErrorCodeText(code).
template <ErrorCodeValue Code, typename... Args>
std::wstring SafeFormat(Code errorCode, std::wstring_view format, const Args&... args) {
  std::wstring text;
  try {
    text = FormatRuntime(format, args...);
  } catch (const std::exception& exception) {
    text = FormatExceptionText(format, exception);
  }
  if (errorCode != 0) text += ErrorCodeText(static_cast<std::uint32_t>(errorCode));
  return text;
}

// The same without an error code.
template <typename Text, typename... Args>
  requires(!ErrorCodeValue<Text> && std::convertible_to<const Text&, std::wstring_view>)
std::wstring SafeFormat(const Text& format, const Args&... args) {
  return SafeFormat(0u, std::wstring_view(format), args...);
}

}  // namespace wl
