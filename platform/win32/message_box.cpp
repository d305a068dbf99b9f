// Message boxes on Windows, or standard error when nobody is at the screen.
#include "platform/message_box.h"

#include <windows.h>

#include <string>

#include "platform/system.h"
#include "platform/text.h"

namespace wl::platform {

void ShowMessageBox(std::wstring_view caption, std::wstring_view text) {
  if (GetEnvVar(L"WAYLINE_UNATTENDED") == L"1") {
    std::string line = Utf8FromWide(caption) + ": " + Utf8FromWide(text) + "\r\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  ::MessageBoxW(nullptr, std::wstring(text).c_str(), std::wstring(caption).c_str(), MB_OK);
}

}  // namespace wl::platform
