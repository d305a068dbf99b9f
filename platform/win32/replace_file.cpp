#include "platform/replace_file.h"

#include <windows.h>

#include <string>

namespace wl::platform {

Win32Error ReplaceFileContents(std::wstring_view path, std::string_view bytes) {
  std::wstring target(path);
  std::wstring temporary = target + L".tmp" + std::to_wstring(::GetCurrentProcessId());
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  DWORD written = 0;
  BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  Win32Error error = ok ? 0 : ::GetLastError();
  ::CloseHandle(file);
  if (error == 0 && !::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = ::GetLastError();
  }
  if (error != 0) ::DeleteFileW(temporary.c_str());
  return error;
}

}  // namespace wl::platform
