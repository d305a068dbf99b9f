// Checked opens: how the Linux layer opens every file and folder that it
// keeps or writes, so that no other local user can turn an open elsewhere,
// make it block or hand it a file of theirs.
//
// A path is walked from "/" one component at a time (openat with O_PATH and
// O_NOFOLLOW). Every folder on the way must belong to a trusted account (uid
// 0, the owner of the machine root, or the process's own user; see
// trust.h) and must not be writable by group or others unless it is sticky
// (as /tmp is). A symbolic link on the way is followed only when no
// untrusted account can have made it: it lies in a folder that only trusted
// accounts write, or it belongs to a trusted account itself (a sticky
// folder); whatever it leads to is walked and checked the same way. The
// file itself is opened with O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC
// (a link is refused, a FIFO never blocks) and then examined with fstat: it
// must be a regular file of a trusted account, with one link when it is
// opened for writing; then O_NONBLOCK is cleared.
//
// A refusal fails with EACCES and says why in a sentence of its own
// ("refused: it is a symbolic link", "refused: the folder /x on the way
// belongs to user 65534 (nobody)"), which callers report with the path.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/descriptor.h"

namespace wl::platform::posix {

inline constexpr uid_t kNoAccount = static_cast<uid_t>(-1);

// What an open accepts beyond the rules above.
struct OpenRules {
  // The file must belong to the system account (uid 0 or the owner of the
  // machine root): the machine's hive, status files, lock files that only
  // the system account takes.
  bool systemOwner = false;
  // Another account whose last folder and file are accepted: the user whose
  // own hive folder the system account reads or writes.
  uid_t alsoOwner = kNoAccount;
  // Also a file opened only for reading must have a single link (a hive: a
  // hard link would show another file under the hive's name).
  bool singleLink = false;
};

struct CheckedOpen {
  Descriptor descriptor;
  // errno of the failure: EACCES for a refusal, ENOENT when something is
  // missing, ENOTDIR when a file stands where a folder should, and so on;
  // 0 on success.
  int error = 0;
  // Why a check refused the open; empty when none did.
  std::string refusal;
  // The open made the file or the last folder.
  bool created = false;
  // The owner of what was opened.
  uid_t owner = kNoAccount;

  [[nodiscard]] bool Ok() const { return descriptor.Valid(); }
};

// Opens the folder at path (absolute, or relative to the working folder) as
// an O_PATH descriptor, walking as above.
CheckedOpen OpenFolder(const std::string& path, const OpenRules& rules = {});

// The same, making the missing folders on the way (mkdirat under the
// checked parent), each with exactly `mode` (set with fchmod, whatever the
// umask) and owned by the process; what uid 0 makes in a folder of the
// machine root's owner goes to that owner (the service account of an
// installed root takes the locks root made first). An existing folder of the process's own
// that is writable by group or others is narrowed to `mode`: no machine root
// keeps a folder that every user may write.
CheckedOpen MakeFolder(const std::string& path, mode_t mode, const OpenRules& rules = {});

// Opens `name` (one component, no '/') in a folder that OpenFolder or
// MakeFolder gave; folderPath is its path, for the messages. flags are those
// of open(2) (access mode, O_APPEND, O_CREAT, O_EXCL, O_TRUNC); the checks
// add the rest. A file that the open creates gets exactly `mode` (and an
// owner as MakeFolder gives it); an
// existing file of the process's own that is opened for writing loses any
// write permission of group and others.
CheckedOpen OpenIn(int folder, const std::string& folderPath, const std::string& name, int flags, mode_t mode,
                   const OpenRules& rules = {});

// OpenFolder of the path's folder, then OpenIn of its last component.
CheckedOpen OpenChecked(const std::string& path, int flags, mode_t mode, const OpenRules& rules = {});

// Opens (creating it when missing) a lock file that only its owner may
// open, read-write, mode 0600: flock takes no heed of how a file was opened,
// so any account that could open the file at all could hold its lock. A
// lock file of the process's own that others may open is replaced by a new
// one, 0600, since whoever opened it may still hold it.
CheckedOpen OpenLockFile(int folder, const std::string& folderPath, const std::string& name,
                         const OpenRules& rules = {});

// Whether only accounts that this process trusts can have the file open:
// it belongs to one and is open to no one else (0600). A lock on such a
// file is waited for as long as it takes; any other lock only for a bounded
// time (descriptor.h's LockFileWithin).
bool OnlyTrustedCanOpen(int descriptor);

// Why this process may not start the program at path (the first word of a
// command line from the registry), or empty when it may: with its links
// resolved, it must be a regular file of a trusted account that group and
// others may not write, in folders that no other ordinary user may change
// (walked as OpenFolder walks). A program that does not exist is no
// refusal: starting it fails of itself.
std::string ProgramRefusal(const std::string& path);

// The folder part ("." when there is none) and the last component of a path.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// Whether the process trusts files and folders of this account: uid 0, the
// owner of the machine root, the process's own user.
bool TrustsAccount(uid_t uid);

}  // namespace wl::platform::posix
