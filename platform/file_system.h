// Whole-file operations with Win32 result codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/expected.h"
#include "platform/types.h"

namespace wl::platform {

inline constexpr std::uint32_t kFileAttributeReadonly = 0x01;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// The native path separator ('\\' on Windows, '/' on Linux).
extern const wchar_t kPathSeparator;

// GetFileAttributesW: the attributes, or the error (2, 3, 5, 123, 267,
// ...). On Linux a folder is
// kFileAttributeDirectory, a file without the owner's write permission
// kFileAttributeReadonly, any other file kFileAttributeNormal (Windows
// reports other bits too, such as FILE_ATTRIBUTE_ARCHIVE).
Expected<std::uint32_t, Win32Error> GetPathAttributes(std::wstring_view path);

// True for the errors that mean "does not exist": 2, 3, 53, 64, 123, 267.
bool IsNotFoundError(Win32Error code);

// MoveFileW: never replaces an existing target (183); fails with 32 when the
// source is held open without delete sharing.
[[nodiscard]] Win32Error MovePath(std::wstring_view from, std::wstring_view to);

// DeleteFileW: 2 when missing, 32 when held open without delete sharing, 5
// for a folder or a read-only file.
[[nodiscard]] Win32Error DeletePath(std::wstring_view path);

// CreateDirectoryW: 183 when it exists, 3 when the parent is missing.
[[nodiscard]] Win32Error MakeDirectory(std::wstring_view path);

// Joins two path parts with one native separator between them (none added
// when the first is empty or already ends in a separator).
std::wstring JoinPath(std::wstring_view first, std::wstring_view second);

// True when the character separates path components ('/' everywhere, and
// '\\' on Windows).
bool IsPathSeparator(wchar_t c);

}  // namespace wl::platform
