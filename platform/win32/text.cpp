// Narrow text in the process's ANSI code page.
#include <windows.h>

#include "platform/text.h"

namespace wl::platform {

std::wstring WideFromAnsi(std::string_view text) {
  if (text.empty()) return {};
  int size = static_cast<int>(text.size());
  int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
  return wide;
}

}  // namespace wl::platform
