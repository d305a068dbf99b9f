// Whole-file operations with Win32 result codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace wl::platform {

inline constexpr std::uint32_t kFileAttributeReadonly = 0x01;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// The native path separator ('\\' on Windows, '/' on Linux).
extern const wchar_t kPathSeparator;

// GetFileAttributesW: 0 with the attributes in *attributes, or the error
// (2, 3, 5, 123, 267, ...) with kInvalidFileAttributes. On Linux a folder is
// kFileAttributeDirectory, a file without the owner's write permission
// kFileAttributeReadonly, any other file kFileAttributeNormal (Windows
// reports other bits too, such as FILE_ATTRIBUTE_ARCHIVE).
[[nodiscard]] Win32Error GetPathAttributes(std::wstring_view path, std::uint32_t* attributes);

// True for the errors that mean "does not exist": 2, 3, 53, 64, 123, 267.
bool IsNotFoundError(Win32Error code);

// MoveFileW: never replaces an existing target (183); fails with 32 when the
// source is held open without delete sharing.
[[nodiscard]] Win32Error MovePath(std::wstring_view from, std::wstring_view to);

// DeleteFileW: 2 when missing, 32 when held open without delete sharing, 5
// for a folder or a read-only file.
[[nodiscard]] Win32Error DeletePath(std::wstring_view path);

// Cuts a text file that does not end in a line feed back to just after its
// last line feed (to its UTF-8 byte-order mark when it holds no line feed):
// the torn last line that a process killed in the middle of a write leaves.
// A missing or empty file, one that ends in a line feed and a UTF-16 file
// (FF FE) are left alone. Returns 0 with the bytes cut in *removed; 32 when
// another open holds the file (nothing cut); other errors of the open.
[[nodiscard]] Win32Error CutTornTail(std::wstring_view path, std::uint64_t* removed);

// The portable half of CutTornTail: the length to keep of a file of size
// bytes, reading it through read(offset, buffer, count), which returns
// whether it read count bytes.
std::uint64_t LengthWithoutTornTail(std::uint64_t size,
                                    const std::function<bool(std::uint64_t, char*, std::size_t)>& read);

// CreateDirectoryW: 183 when it exists, 3 when the parent is missing.
[[nodiscard]] Win32Error MakeDirectory(std::wstring_view path);

// Joins two path parts with one native separator between them (none added
// when the first is empty or already ends in a separator).
std::wstring JoinPath(std::wstring_view first, std::wstring_view second);

// True when the character separates path components ('/' everywhere, and
// '\\' on Windows).
bool IsPathSeparator(wchar_t c);

}  // namespace wl::platform
