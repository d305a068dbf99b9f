// Whole-file operations on the Windows API. The W forms are called by name:
// MoveFile, DeleteFile and the like are macros of the Windows headers.
#include "platform/file_system.h"

#include <windows.h>

namespace wl::platform {

const wchar_t kPathSeparator = L'\\';

Expected<std::uint32_t, Win32Error> GetPathAttributes(std::wstring_view path) {
  DWORD found = ::GetFileAttributesW(std::wstring(path).c_str());
  if (found == INVALID_FILE_ATTRIBUTES) return Unexpected(::GetLastError());
  return static_cast<std::uint32_t>(found);
}

Win32Error MovePath(std::wstring_view from, std::wstring_view to) {
  return ::MoveFileW(std::wstring(from).c_str(), std::wstring(to).c_str()) ? kErrorSuccess
                                                                           : Win32Error(::GetLastError());
}

Win32Error DeletePath(std::wstring_view path) {
  return ::DeleteFileW(std::wstring(path).c_str()) ? kErrorSuccess : Win32Error(::GetLastError());
}

Win32Error MakeDirectory(std::wstring_view path) {
  return ::CreateDirectoryW(std::wstring(path).c_str(), nullptr) ? kErrorSuccess : Win32Error(::GetLastError());
}

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace wl::platform
