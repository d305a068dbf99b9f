// The one place where the formatting library is named. Everything else uses
// wl::Format / wl::FormatError, so that a switch to <format> touches only
// this file. Formats use the "{}" rules for wide and narrow text.
#pragma once

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <string>
#include <string_view>
#include <utility>

namespace wl {

// Thrown by a malformed format or a placeholder without an argument; derives
// from std::runtime_error.
using FormatError = fmt::format_error;

template <typename Char>
using FormatContextFor = fmt::buffer_context<Char>;

// Formats with a format string checked at compile time.
template <typename... Args>
std::wstring Format(fmt::wformat_string<Args...> format, Args&&... args) {
  return fmt::format(format, std::forward<Args>(args)...);
}
template <typename... Args>
std::string Format(fmt::format_string<Args...> format, Args&&... args) {
  return fmt::format(format, std::forward<Args>(args)...);
}

// Formats with a format string known only at run time; throws FormatError.
template <typename... Args>
std::wstring FormatRuntime(std::wstring_view format, Args&&... args) {
  return fmt::vformat(fmt::wstring_view(format.data(), format.size()), fmt::make_wformat_args(args...));
}

}  // namespace wl

// Own types get a formatter by specialising wl::TextFormatter-style
// fmt::formatter<T, wchar_t>; to render as a string with the width and
// alignment of the placeholder, derive from WideStringFormatter.
namespace wl {
struct WideStringFormatter : fmt::formatter<std::wstring_view, wchar_t> {};
}  // namespace wl
