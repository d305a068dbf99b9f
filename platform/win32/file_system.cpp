// Whole-file operations on the Windows API. The W forms are called by name:
// MoveFile, DeleteFile and the like are macros of the Windows headers.
#include "platform/file_system.h"

#include <windows.h>

namespace wl::platform {

const wchar_t kPathSeparator = L'\\';

Win32Error GetPathAttributes(std::wstring_view path, std::uint32_t* attributes) {
  DWORD found = ::GetFileAttributesW(std::wstring(path).c_str());
  if (found == INVALID_FILE_ATTRIBUTES) {
    *attributes = kInvalidFileAttributes;
    return ::GetLastError();
  }
  *attributes = found;
  return kErrorSuccess;
}

Win32Error MovePath(std::wstring_view from, std::wstring_view to) {
  return ::MoveFileW(std::wstring(from).c_str(), std::wstring(to).c_str()) ? kErrorSuccess
                                                                            : ::GetLastError();
}

Win32Error DeletePath(std::wstring_view path) {
  return ::DeleteFileW(std::wstring(path).c_str()) ? kErrorSuccess : ::GetLastError();
}

Win32Error CutTornTail(std::wstring_view path, std::uint64_t* removed) {
  *removed = 0;
  // No write or delete sharing: a file that another program has open for
  // writing is left alone (32).
  HANDLE file = ::CreateFileW(std::wstring(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    return IsNotFoundError(error) ? kErrorSuccess : error;
  }
  Win32Error result = kErrorSuccess;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) {
    result = ::GetLastError();
  } else {
    auto total = static_cast<std::uint64_t>(size.QuadPart);
    std::uint64_t keep = LengthWithoutTornTail(total, [&](std::uint64_t offset, char* buffer, std::size_t count) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      return ::ReadFile(file, buffer, static_cast<DWORD>(count), &got, &at) && got == count;
    });
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(keep);
    if (keep != total) {
      if (::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file)) {
        *removed = total - keep;
      } else {
        result = ::GetLastError();
      }
    }
  }
  ::CloseHandle(file);
  return result;
}

Win32Error MakeDirectory(std::wstring_view path) {
  return ::CreateDirectoryW(std::wstring(path).c_str(), nullptr) ? kErrorSuccess : ::GetLastError();
}

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace wl::platform
