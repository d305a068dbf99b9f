#include "com/posix/class_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/machine_root.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/directories.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform::posix {

ComFolder MachineComFolder() { return {Utf8FromWide(MachineRoot()) + "/run/com", true}; }

ComFolder UserComFolder() { return {UserStateRoot() + "/run/com", false}; }

ComFolder OwnComFolder() { return ProcessIsSystem() ? MachineComFolder() : UserComFolder(); }

std::string ClassSocketPath(const ComFolder& folder, const CLSID& clsid) {
  return folder.path + "/" + Utf8FromWide(GuidText(clsid)) + ".sock";
}

std::string ClassLockPath(const ComFolder& folder, const CLSID& clsid) {
  return folder.path + "/" + Utf8FromWide(GuidText(clsid)) + ".lock";
}

int PrepareComFolder(const ComFolder& folder, std::wstring* reason) {
  const mode_t mode = folder.machine ? 0755 : 0700;
  auto fail = [&](int error, const std::wstring& text) {
    *reason = L"the folder " + WideFromUtf8(folder.path) + L" " + text;
    return error;
  };
  if (folder.machine && !ProcessIsSystem()) return fail(EACCES, L"is made by SYSTEM only");
  if (!folder.machine) {
    // The user's state folder is private: made here, it is the user's alone.
    std::string state = UserStateRoot();
    if (int error = MakeDirectories(FolderOf(state))) return fail(error, L"cannot be made");
    if (int error = MakeDirectories(state, 0700)) return fail(error, L"cannot be made");
  }
  // A missing folder is made by the checked creation: with exactly its mode,
  // and what uid 0 makes in the folders of a root that the service account
  // owns is the account's. What is there (also a link or a file in its
  // place) is judged by the stricter rules below.
  if (int error = MakeDirectories(FolderOf(folder.path))) return fail(error, L"cannot be made");
  if (struct stat there{}; lstat(folder.path.c_str(), &there) != 0 && errno == ENOENT) {
    if (int error = MakeDirectories(folder.path, mode)) return fail(error, L"cannot be made");
  }
  int fd = open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return fail(errno, errno == ELOOP || errno == ENOTDIR ? L"is not a folder (a link or a file is in its place)"
                                                          : L"cannot be opened");
  }
  struct stat info {};
  int error = fstat(fd, &info) == 0 ? 0 : errno;
  const uid_t self = geteuid();
  // Made by root in a root that the service account owns, the folder is the
  // account's, so that the service may put its socket there.
  struct stat root {};
  if (error == 0 && folder.machine && self == 0 && info.st_uid == 0 &&
      stat(Utf8FromWide(MachineRoot()).c_str(), &root) == 0 && root.st_uid != 0 &&
      fchown(fd, root.st_uid, static_cast<gid_t>(-1)) == 0) {
    info.st_uid = root.st_uid;
  }
  if (error == 0) {
    bool trusted = folder.machine ? IsSystemAccount(info.st_uid) : info.st_uid == self;
    if (!trusted) {
      error = EACCES;
      *reason = L"the folder " + WideFromUtf8(folder.path) + L" belongs to user " + std::to_wstring(info.st_uid) +
                L", not to " + (folder.machine ? L"SYSTEM" : L"this user");
    } else if ((info.st_mode & 022) != 0) {
      // Left open to others by an earlier version (or by hand): closed again
      // by its owner, refused otherwise.
      if ((self != 0 && info.st_uid != self) || fchmod(fd, mode) != 0) {
        error = EACCES;
        *reason = L"the folder " + WideFromUtf8(folder.path) + L" may be written by other users";
      }
    }
  } else {
    *reason = L"the folder " + WideFromUtf8(folder.path) + L" cannot be examined";
  }
  close(fd);
  return error;
}

}  // namespace wl::platform::posix
