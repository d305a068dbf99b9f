// Whole-file operations on Linux with the Win32 codes Windows gives for them.
// Moves and deletes honour the sharing locks of share_lock.h: a file that an
// open of this layer holds cannot be moved or deleted.
#include "platform/file_system.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/descriptor.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/share_lock.h"
#include "platform/text.h"

namespace wl::platform {

const wchar_t kPathSeparator = L'/';

namespace {

bool NarrowPath(std::wstring_view path, std::string* narrow) {
  if (path.find(L'\0') != std::wstring_view::npos) return false;
  *narrow = Utf8FromWide(path);
  return true;
}

// The folder part of a path ("." when it has none).
std::string ParentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Windows tells "the file is missing" (2) from "a folder on the way is
// missing" (3); Linux says ENOENT for both.
[[nodiscard]] Win32Error NotFoundCode(const std::string& path) {
  return IsFolder(ParentOf(path)) ? kErrorFileNotFound : kErrorPathNotFound;
}

[[nodiscard]] Win32Error CodeForErrno(int error, const std::string& path) {
  return error == ENOENT ? NotFoundCode(path) : posix::Win32FromErrno(error);
}

// Opens the path only to look at its sharing locks (-1 when it cannot be
// opened; a symbolic link itself is never followed).
posix::Descriptor OpenForProbe(const std::string& path) {
  int flags = O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
  posix::Descriptor probe = posix::OpenDescriptor(path, flags | O_RDONLY);
  if (!probe.Valid() && errno == EACCES) probe = posix::OpenDescriptor(path, flags | O_WRONLY);
  return probe;
}

// Runs operation (returning 0 or an errno) unless an open of the layer holds
// the file: 32 then. The check and the operation are one step for the layer.
template <typename Operation>
[[nodiscard]] Win32Error UnlessHeld(const std::string& path, Operation operation, int* failure) {
  *failure = 0;
  posix::Descriptor probe = OpenForProbe(path);
  if (!probe.Valid()) {
    *failure = operation();
    return 0;
  }
  bool held = false;
  {
    posix::ShareGate gate(probe.Get());
    held = posix::DeleteDenied(probe.Get());
    if (!held) *failure = operation();
  }
  return held ? kErrorSharingViolation : 0;
}

}  // namespace

Win32Error GetPathAttributes(std::wstring_view path, std::uint32_t* attributes) {
  if (attributes != nullptr) *attributes = kInvalidFileAttributes;
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return kErrorInvalidName;
  if (narrow.empty()) return kErrorPathNotFound;
  struct stat info {};
  if (stat(narrow.c_str(), &info) != 0) return CodeForErrno(errno, narrow);
  std::uint32_t result = 0;
  if (S_ISDIR(info.st_mode)) {
    result = kFileAttributeDirectory;
  } else if ((info.st_mode & S_IWUSR) == 0) {
    result = kFileAttributeReadonly;
  } else {
    result = kFileAttributeNormal;
  }
  if (attributes != nullptr) *attributes = result;
  return kErrorSuccess;
}

Win32Error MovePath(std::wstring_view from, std::wstring_view to) {
  std::string source;
  std::string target;
  if (!NarrowPath(from, &source) || !NarrowPath(to, &target)) return kErrorInvalidName;
  if (source.empty() || target.empty()) return kErrorPathNotFound;
  int failure = 0;
  Win32Error held = UnlessHeld(source, [&] {
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    // Some file systems cannot refuse to replace; look first on those.
    if (errno != EINVAL && errno != ENOSYS) return errno;
    struct stat info {};
    if (lstat(target.c_str(), &info) == 0) return EEXIST;
    return rename(source.c_str(), target.c_str()) == 0 ? 0 : errno;
  }, &failure);
  if (held != 0) return held;
  if (failure == 0) return kErrorSuccess;
  if (failure == ENOENT) {
    struct stat info {};
    // Either the source is missing or the target's folder is.
    return lstat(source.c_str(), &info) != 0 ? NotFoundCode(source) : kErrorPathNotFound;
  }
  return posix::Win32FromErrno(failure);
}

Win32Error DeletePath(std::wstring_view path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return kErrorInvalidName;
  if (narrow.empty()) return kErrorPathNotFound;
  struct stat info {};
  // The read-only attribute protects a file from deletion on Windows.
  if (lstat(narrow.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0) {
    return kErrorAccessDenied;
  }
  int failure = 0;
  Win32Error held = UnlessHeld(narrow, [&] { return unlink(narrow.c_str()) == 0 ? 0 : errno; }, &failure);
  if (held != 0) return held;
  return failure == 0 ? kErrorSuccess : CodeForErrno(failure, narrow);
}

Win32Error MakeDirectory(std::wstring_view path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return kErrorInvalidName;
  if (narrow.empty()) return kErrorPathNotFound;
  if (mkdir(narrow.c_str(), 0777) == 0) {
    posix::InheritSharing(narrow);
    return kErrorSuccess;
  }
  // A missing parent is "path not found" here, never "file not found".
  return errno == ENOENT ? kErrorPathNotFound : posix::Win32FromErrno(errno);
}

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

}  // namespace wl::platform
