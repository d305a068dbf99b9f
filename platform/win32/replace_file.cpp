#include "platform/replace_file.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace wl::platform {

Win32Error ReplaceFileContents(std::wstring_view path, std::string_view bytes, std::wstring* refusal) {
  // The files' access rules decide on Windows; nothing is refused here.
  if (refusal != nullptr) refusal->clear();
  std::wstring target(path);
  std::wstring temporary = target + L".tmp" + std::to_wstring(::GetCurrentProcessId());
  HANDLE file =
      ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

Win32Error ReadFileContents(std::wstring_view path, std::string* bytes, std::wstring* refusal) {
  if (refusal != nullptr) refusal->clear();
  std::wstring name(path);
  HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  bytes->clear();
  char buffer[65536];
  Win32Error error = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      error = ::GetLastError();
      break;
    }
    if (got == 0) break;
    bytes->append(buffer, got);
  }
  ::CloseHandle(file);
  return error;
}

Win32Error ReadFileParts(std::wstring_view path, std::size_t headSize, std::uint64_t from, std::string* head,
                         std::string* rest, std::uint64_t* size, std::wstring* refusal) {
  if (refusal != nullptr) refusal->clear();
  std::wstring name(path);
  HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  LARGE_INTEGER length{};
  Win32Error error = ::GetFileSizeEx(file, &length) ? 0 : ::GetLastError();
  auto readAt = [file](std::string* out, std::uint64_t count, std::uint64_t offset) -> Win32Error {
    out->assign(static_cast<std::size_t>(count), '\0');
    std::size_t done = 0;
    while (done < out->size()) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset + done);
      at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      DWORD got = 0;
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(out->size() - done, 1 << 20));
      if (!::ReadFile(file, out->data() + done, chunk, &got, &at)) return ::GetLastError();
      if (got == 0) break;
      done += got;
    }
    out->resize(done);
    return 0;
  };
  if (error == 0) {
    *size = static_cast<std::uint64_t>(length.QuadPart);
    error = readAt(head, std::min<std::uint64_t>(headSize, *size), 0);
    rest->clear();
    if (error == 0 && from < *size) error = readAt(rest, *size - from, from);
  }
  ::CloseHandle(file);
  return error;
}

}  // namespace wl::platform
