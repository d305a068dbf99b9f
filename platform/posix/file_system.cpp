// Whole-file operations on Linux with the Win32 codes Windows gives for them.
// Moves and deletes honour the sharing locks of share_lock.h: a file that an
// open of this layer holds cannot be moved or deleted. Moves, deletes and
// new folders go through the checked folder of the path (checked_open.h),
// so that a link or a folder of another account on the way never turns
// them elsewhere; the entry itself is never followed.
#include "platform/file_system.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
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

// The checked folder of a path, through which its last component is moved,
// deleted or made (see checked_open.h): no link of another account on the
// way, no folder of another ordinary user. A missing folder is 3.
struct Parent {
  posix::CheckedOpen folder;
  std::string name;
  Win32Error error = kErrorSuccess;
};

Parent OpenParent(const std::string& path) {
  Parent parent;
  parent.name = posix::NameOf(path);
  parent.folder = posix::OpenFolder(posix::FolderOf(path));
  if (!parent.folder.Ok()) {
    int error = parent.folder.error;
    parent.error = error == ENOENT || error == ENOTDIR ? kErrorPathNotFound : posix::Win32FromErrno(error);
  }
  return parent;
}

// Opens the entry only to look at its sharing locks (-1 when it cannot be
// opened or is not a regular file; a symbolic link itself is never
// followed).
posix::Descriptor OpenForProbe(int folder, const std::string& name) {
  int flags = O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  posix::Descriptor probe(openat(folder, name.c_str(), flags | O_RDONLY));
  if (!probe.Valid() && errno == EACCES) probe = posix::Descriptor(openat(folder, name.c_str(), flags | O_WRONLY));
  struct stat info {};
  if (probe.Valid() && (fstat(probe.Get(), &info) != 0 || !S_ISREG(info.st_mode))) return posix::Descriptor();
  return probe;
}

// Runs operation (returning 0 or an errno) unless an open of the layer holds
// the file: 32 then. The check and the operation are one step for the layer.
template <typename Operation>
[[nodiscard]] Win32Error UnlessHeld(int folder, const std::string& name, Operation operation, int* failure) {
  *failure = 0;
  posix::Descriptor probe = OpenForProbe(folder, name);
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
  return held ? kErrorSharingViolation : kErrorSuccess;
}

}  // namespace

Expected<std::uint32_t, Win32Error> GetPathAttributes(std::wstring_view path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return Unexpected(kErrorInvalidName);
  if (narrow.empty()) return Unexpected(kErrorPathNotFound);
  struct stat info {};
  if (stat(narrow.c_str(), &info) != 0) return Unexpected(CodeForErrno(errno, narrow));
  if (S_ISDIR(info.st_mode)) return kFileAttributeDirectory;
  if ((info.st_mode & S_IWUSR) == 0) return kFileAttributeReadonly;
  return kFileAttributeNormal;
}

Win32Error MovePath(std::wstring_view from, std::wstring_view to) {
  std::string source;
  std::string target;
  if (!NarrowPath(from, &source) || !NarrowPath(to, &target)) return kErrorInvalidName;
  if (source.empty() || target.empty()) return kErrorPathNotFound;
  Parent sourceParent = OpenParent(source);
  if (sourceParent.error != kErrorSuccess) return sourceParent.error;
  Parent targetParent = OpenParent(target);
  if (targetParent.error != kErrorSuccess) return targetParent.error;
  int sourceFolder = sourceParent.folder.descriptor.Get();
  int targetFolder = targetParent.folder.descriptor.Get();
  const char* sourceName = sourceParent.name.c_str();
  const char* targetName = targetParent.name.c_str();
  int failure = 0;
  Win32Error held = UnlessHeld(
      sourceFolder, sourceParent.name,
      [&] {
        if (renameat2(sourceFolder, sourceName, targetFolder, targetName, RENAME_NOREPLACE) == 0) return 0;
        // Some file systems cannot refuse to replace; look first on those.
        if (errno != EINVAL && errno != ENOSYS) return errno;
        struct stat info {};
        if (fstatat(targetFolder, targetName, &info, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
        return renameat(sourceFolder, sourceName, targetFolder, targetName) == 0 ? 0 : errno;
      },
      &failure);
  if (held != 0) return held;
  if (failure == 0) return kErrorSuccess;
  if (failure == ENOENT) return kErrorFileNotFound;
  return posix::Win32FromErrno(failure);
}

Win32Error DeletePath(std::wstring_view path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return kErrorInvalidName;
  if (narrow.empty()) return kErrorPathNotFound;
  Parent parent = OpenParent(narrow);
  if (parent.error != kErrorSuccess) return parent.error;
  int folder = parent.folder.descriptor.Get();
  const char* name = parent.name.c_str();
  struct stat info {};
  // The read-only attribute protects a file from deletion on Windows.
  if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
      (info.st_mode & S_IWUSR) == 0) {
    return kErrorAccessDenied;
  }
  int failure = 0;
  Win32Error held = UnlessHeld(
      folder, parent.name, [&] { return unlinkat(folder, name, 0) == 0 ? 0 : errno; }, &failure);
  if (held != 0) return held;
  return failure == 0 ? kErrorSuccess : posix::Win32FromErrno(failure);
}

Win32Error MakeDirectory(std::wstring_view path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return kErrorInvalidName;
  if (narrow.empty()) return kErrorPathNotFound;
  Parent parent = OpenParent(narrow);
  if (parent.error != kErrorSuccess) return parent.error;
  constexpr mode_t kMode = 0755;
  int folder = parent.folder.descriptor.Get();
  if (mkdirat(folder, parent.name.c_str(), kMode) != 0) return posix::Win32FromErrno(errno);
  // The mode is set apart from mkdir, which the umask would narrow.
  posix::Descriptor made(openat(folder, parent.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (made.Valid()) fchmod(made.Get(), kMode);
  return kErrorSuccess;
}

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

}  // namespace wl::platform
