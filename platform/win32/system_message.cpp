// The system's own message texts.
#include "platform/system_message.h"

#include <windows.h>

#include <iterator>
#include <string>

namespace wl::platform {

std::wstring FormatSystemMessage(std::uint32_t code) {
  constexpr DWORD kEnglish = 1033;
  wchar_t buffer[512];
  // Without the flag that ignores inserts, a message with inserts (193,
  // "%1 is not a valid Win32 application.") fails for want of arguments and
  // gives no text.
  DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, kEnglish, buffer,
                                  static_cast<DWORD>(std::size(buffer)), nullptr);
  return std::wstring(buffer, length);
}

}  // namespace wl::platform
