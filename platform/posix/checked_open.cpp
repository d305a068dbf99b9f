#include "platform/posix/checked_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/machine_root.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform::posix {
namespace {

// As the kernel allows when it resolves a path itself.
constexpr int kMaxLinks = 40;

CheckedOpen Failure(int error) {
  CheckedOpen result;
  result.error = error;
  return result;
}

CheckedOpen Refusal(std::string reason) {
  CheckedOpen result;
  result.error = EACCES;
  result.refusal = "refused: " + std::move(reason);
  return result;
}

std::string Joined(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

bool WritableByOthers(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// The accounts trusted by this process, found once per open; the root's
// owner only when an owner is neither root nor the process's own.
class Trust {
 public:
  uid_t Self() const { return self_; }
  bool System(uid_t uid) const { return uid == 0 || uid == RootOwner(); }
  bool Trusts(uid_t uid) const { return uid == self_ || System(uid); }

 private:
  uid_t RootOwner() const {
    if (!rootOwner_) rootOwner_ = MachineRootOwner();
    return *rootOwner_;
  }

  uid_t self_ = geteuid();
  mutable std::optional<uid_t> rootOwner_;
};

// The refusal of a folder on the way, or empty when it may be walked
// through. alsoOwner applies to the last folder only.
std::string FolderRefusal(const Trust& trust, const std::string& path, const struct stat& info, uid_t alsoOwner) {
  if (!trust.Trusts(info.st_uid) && info.st_uid != alsoOwner) {
    return "the folder " + path + " on the way belongs to " + DescribeUser(info.st_uid);
  }
  // A sticky folder lets others add entries but not replace ours; whatever
  // they add is refused by its owner.
  if (WritableByOthers(info) && (info.st_mode & S_ISVTX) == 0) {
    return "the folder " + path + " on the way is writable by other users";
  }
  return {};
}

// Splits a path into its components; "" and "." are dropped.
void AppendComponents(const std::string& path, std::deque<std::string>* parts, bool front) {
  std::deque<std::string> found;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") found.push_back(std::move(part));
    start = end + 1;
  }
  if (front) {
    parts->insert(parts->begin(), found.begin(), found.end());
  } else {
    parts->insert(parts->end(), found.begin(), found.end());
  }
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return Joined(buffer, path);
}

// A file that O_CREAT makes gets `mode` less the umask until the caller
// sets it exactly: never more open than asked, also for the moment between.
Descriptor OpenAt(int folder, const char* name, int flags, mode_t mode = 0) {
  int descriptor = -1;
  do {
    descriptor = openat(folder, name, flags | O_CLOEXEC, mode);
  } while (descriptor < 0 && errno == EINTR);
  return Descriptor(descriptor);
}

// What uid 0 makes in a folder of the machine root's owner (a service
// account that owns the root) becomes the owner's, as if it had made it:
// the account must be able to take the locks and rewrite the files that
// root's processes made first.
void GiveToFolderOwner(int folder, int made) {
  if (geteuid() != 0) return;
  struct stat parent {};
  if (fstat(folder, &parent) != 0 || parent.st_uid == 0 || parent.st_uid != MachineRootOwner()) return;
  (void)fchown(made, parent.st_uid, parent.st_gid);
}

// Makes `name` in the folder with exactly `mode`, returns it opened for
// reading (so that its mode can be set), or an invalid descriptor with errno.
Descriptor MakeOne(int folder, const std::string& name, mode_t mode) {
  if (mkdirat(folder, name.c_str(), mode) != 0) return Descriptor();
  Descriptor made = OpenAt(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (!made.Valid()) return made;
  struct stat info {};
  // Someone may have replaced the new folder at once; only our own is set.
  if (fstat(made.Get(), &info) != 0 || info.st_uid != geteuid()) {
    errno = EACCES;
    return Descriptor();
  }
  fchmod(made.Get(), mode);
  GiveToFolderOwner(folder, made.Get());
  return made;
}

CheckedOpen Walk(const Trust& trust, const std::string& path, const OpenRules& rules, bool create, mode_t mode) {
  std::deque<std::string> parts;
  AppendComponents(Absolute(path), &parts, false);
  // Folders below the machine root that may be narrowed (see MakeFolder).
  std::string root = create ? Joined(Absolute(Utf8FromWide(MachineRoot())), "") : std::string();
  std::string where = "/";
  Descriptor current = OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY);
  if (!current.Valid()) return Failure(errno);
  struct stat info {};
  if (fstat(current.Get(), &info) != 0) return Failure(errno);
  if (std::string refusal = FolderRefusal(trust, where, info, kNoAccount); !refusal.empty()) return Refusal(refusal);
  struct stat currentInfo = info;
  bool created = false;
  int links = 0;
  while (!parts.empty()) {
    std::string name = std::move(parts.front());
    parts.pop_front();
    bool last = parts.empty();
    std::string next = name == ".." ? FolderOf(where) : Joined(where, name);
    Descriptor entry = OpenAt(current.Get(), name.c_str(), O_PATH | O_NOFOLLOW);
    bool made = false;
    if (!entry.Valid() && errno == ENOENT && create && name != "..") {
      entry = MakeOne(current.Get(), name, mode);
      if (!entry.Valid() && errno == EEXIST) {
        // Made by someone else meanwhile: look at what is there now.
        parts.push_front(name);
        continue;
      }
      made = entry.Valid();
    }
    if (!entry.Valid()) return Failure(errno);
    if (fstat(entry.Get(), &info) != 0) return Failure(errno);
    if (S_ISLNK(info.st_mode)) {
      // Only a trusted account can have made a link in a folder that no one
      // else writes; in a sticky folder the link's owner says who made it.
      if (WritableByOthers(currentInfo) && !trust.Trusts(info.st_uid)) {
        return Refusal("the folder " + next + " on the way is a symbolic link made by " + DescribeUser(info.st_uid));
      }
      if (++links > kMaxLinks) return Refusal("there are more than 40 symbolic links on the way to " + path);
      char target[PATH_MAX];
      ssize_t length = readlinkat(entry.Get(), "", target, sizeof target - 1);
      if (length < 0) return Failure(errno);
      target[length] = '\0';
      AppendComponents(target, &parts, true);
      if (target[0] == '/') {
        current = OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY);
        if (!current.Valid() || fstat(current.Get(), &currentInfo) != 0) return Failure(errno);
        where.assign(1, '/');
      }
      continue;
    }
    if (!S_ISDIR(info.st_mode)) return Failure(ENOTDIR);
    if (!made && create && info.st_uid == geteuid() && WritableByOthers(info) && next.starts_with(root)) {
      // A folder of ours that an older version made for every user.
      Descriptor readable = OpenAt(current.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (readable.Valid() && fchmod(readable.Get(), mode) == 0) {
        info.st_mode = static_cast<mode_t>((info.st_mode & ~07777) | mode);
      }
    }
    if (std::string refusal = FolderRefusal(trust, next, info, last ? rules.alsoOwner : kNoAccount); !refusal.empty()) {
      return Refusal(refusal);
    }
    current = std::move(entry);
    currentInfo = info;
    where = next;
    created = made;
  }
  CheckedOpen result;
  result.descriptor = std::move(current);
  result.created = created;
  result.owner = currentInfo.st_uid;
  return result;
}

// Why a file of this owner is refused, or empty when the rules accept it.
std::string OwnerRefusal(const Trust& trust, uid_t owner, const OpenRules& rules) {
  if (owner == rules.alsoOwner) return {};
  if (rules.systemOwner) {
    if (trust.System(owner)) return {};
    return "it belongs to " + DescribeUser(owner) + ", not to the system account";
  }
  if (trust.Trusts(owner)) return {};
  return "it belongs to " + DescribeUser(owner);
}

// Folders walked already, kept open: a folder that a process uses for every
// call (a hive's, the data folder) is walked again only when its path no
// longer leads to the folder held, the folder's owner or mode changed, or it
// is asked for another account, so that it costs a stat and a dup instead
// of a walk. Whatever the path leads
// through, the folder used is the one that was checked.
struct HeldFolder {
  std::string key;
  Descriptor folder;
  dev_t device = 0;
  ino_t inode = 0;
  uid_t owner = kNoAccount;
  mode_t mode = 0;
};
constexpr std::size_t kHeldFolders = 16;
std::mutex heldLock;
std::deque<HeldFolder>& Held() {
  static auto* held = new std::deque<HeldFolder>;
  return *held;
}

std::string HeldKey(const Trust& trust, const std::string& path, const OpenRules& rules, bool create) {
  // A folder is made (or narrowed, see MakeFolder) by a walk of its own.
  return std::to_string(trust.Self()) + ":" + std::to_string(rules.alsoOwner) + (create ? ":made:" : ":") + path;
}

CheckedOpen FromHeld(const std::string& key, const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return Failure(ENOENT);
  std::lock_guard lock(heldLock);
  for (const HeldFolder& held : Held()) {
    if (held.key != key || held.device != info.st_dev || held.inode != info.st_ino) continue;
    // A folder given to another account, or opened to others, meanwhile is
    // walked (and judged) again.
    if (info.st_uid != held.owner || info.st_mode != held.mode) break;
    CheckedOpen result;
    result.descriptor = Descriptor(fcntl(held.folder.Get(), F_DUPFD_CLOEXEC, 0));
    result.owner = held.owner;
    if (!result.Ok()) result.error = errno;
    return result;
  }
  return Failure(ENOENT);
}

void Hold(const std::string& key, const CheckedOpen& walked) {
  struct stat info {};
  if (!walked.Ok() || fstat(walked.descriptor.Get(), &info) != 0) return;
  Descriptor copy(fcntl(walked.descriptor.Get(), F_DUPFD_CLOEXEC, 0));
  if (!copy.Valid()) return;
  std::lock_guard lock(heldLock);
  auto& held = Held();
  std::erase_if(held, [&](const HeldFolder& entry) { return entry.key == key; });
  if (held.size() >= kHeldFolders) held.pop_front();
  held.push_back({key, std::move(copy), info.st_dev, info.st_ino, info.st_uid, info.st_mode});
}

// A walk, or the folder held from an earlier one.
CheckedOpen OpenOrMake(const std::string& path, const OpenRules& rules, bool create, mode_t mode) {
  Trust trust;
  std::string absolute = Absolute(path);
  std::string key = HeldKey(trust, absolute, rules, create);
  if (CheckedOpen held = FromHeld(key, absolute); held.Ok()) return held;
  CheckedOpen walked = Walk(trust, absolute, rules, create, mode);
  Hold(key, walked);
  return walked;
}

}  // namespace

bool TrustsAccount(uid_t uid) { return Trust().Trusts(uid); }

std::string FolderOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t cut = trimmed.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : trimmed.substr(0, cut);
}

std::string NameOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t cut = trimmed.find_last_of('/');
  return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

CheckedOpen OpenFolder(const std::string& path, const OpenRules& rules) { return OpenOrMake(path, rules, false, 0); }

CheckedOpen MakeFolder(const std::string& path, mode_t mode, const OpenRules& rules) {
  return OpenOrMake(path, rules, true, mode);
}

CheckedOpen OpenIn(int folder, const std::string& folderPath, const std::string& name, int flags, mode_t mode,
                   const OpenRules& rules) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return Failure(EINVAL);
  int access = flags & O_ACCMODE;
  bool writing = access != O_RDONLY || (flags & O_TRUNC) != 0;
  // Truncation waits until the file has passed the checks.
  int base = (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  Descriptor file;
  bool created = false;
  if ((flags & O_CREAT) == 0) {
    file = OpenAt(folder, name.c_str(), base);
  } else if ((flags & O_EXCL) != 0) {
    file = OpenAt(folder, name.c_str(), base | O_CREAT | O_EXCL, mode);
    created = file.Valid();
  } else {
    // Opened when it exists, made new otherwise; another process may make
    // or remove it between the two.
    for (int attempt = 0; attempt < 8 && !file.Valid(); ++attempt) {
      file = OpenAt(folder, name.c_str(), base);
      if (file.Valid() || errno != ENOENT) break;
      file = OpenAt(folder, name.c_str(), base | O_CREAT | O_EXCL, mode);
      created = file.Valid();
      if (!file.Valid() && errno != EEXIST) break;
    }
  }
  std::string path = Joined(folderPath, name);
  if (!file.Valid()) {
    int error = errno;
    if (error == ELOOP) return Refusal("it is a symbolic link");
    if (error == EISDIR) return Refusal("it is a folder, not a regular file");
    // A FIFO without a reader, or a device without a driver.
    if (error == ENXIO || error == ENODEV) return Refusal("it is not a regular file");
    return Failure(error);
  }
  struct stat info {};
  if (fstat(file.Get(), &info) != 0) return Failure(errno);
  if (!S_ISREG(info.st_mode)) return Refusal(std::string("it is ") + KindOf(info.st_mode) + ", not a regular file");
  if (!created) {
    if (std::string refusal = OwnerRefusal(Trust(), info.st_uid, rules); !refusal.empty()) return Refusal(refusal);
    if ((writing || rules.singleLink) && info.st_nlink != 1) {
      return Refusal("it has " + std::to_string(info.st_nlink) + " hard links");
    }
  }
  if (created) {
    fchmod(file.Get(), mode);
    GiveToFolderOwner(folder, file.Get());
  } else if (writing && info.st_uid == geteuid() && WritableByOthers(info)) {
    fchmod(file.Get(), info.st_mode & 07755);
  }
  if ((flags & O_TRUNC) != 0 && !created && ftruncate(file.Get(), 0) != 0) return Failure(errno);
  // A regular file reads the same either way; writes are made to wait for
  // the disk as usual.
  if (writing) {
    int status = fcntl(file.Get(), F_GETFL);
    if (status < 0 || fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) != 0) return Failure(errno);
  }
  CheckedOpen result;
  result.descriptor = std::move(file);
  result.created = created;
  result.owner = info.st_uid;
  return result;
}

CheckedOpen OpenLockFile(int folder, const std::string& folderPath, const std::string& name, const OpenRules& rules) {
  constexpr mode_t kLockMode = 0600;
  CheckedOpen lock = OpenIn(folder, folderPath, name, O_RDWR | O_CREAT, kLockMode, rules);
  struct stat info {};
  if (lock.Ok() && !lock.created && lock.owner == geteuid() && fstat(lock.descriptor.Get(), &info) == 0 &&
      (info.st_mode & 077) != 0) {
    // Made open to others by an earlier version: whoever opened it then may
    // still hold it open, so a new file takes its place.
    (void)lock.descriptor.Close();
    unlinkat(folder, name.c_str(), 0);
    lock = OpenIn(folder, folderPath, name, O_RDWR | O_CREAT, kLockMode, rules);
  }
  return lock;
}

bool OnlyTrustedCanOpen(int descriptor) {
  struct stat info {};
  return fstat(descriptor, &info) == 0 && Trust().Trusts(info.st_uid) && (info.st_mode & 077) == 0;
}

std::string ProgramRefusal(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return {};
  std::string real = resolved;
  std::string where = real == path ? path : path + " (" + real + ")";
  CheckedOpen folder = OpenFolder(FolderOf(real));
  if (!folder.Ok()) return folder.refusal.empty() ? std::string() : where + ": " + folder.refusal;
  struct stat info {};
  if (fstatat(folder.descriptor.Get(), NameOf(real).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (!S_ISREG(info.st_mode)) return where + ": refused: it is " + KindOf(info.st_mode) + ", not a regular file";
  if (!TrustsAccount(info.st_uid)) return where + ": refused: it belongs to " + DescribeUser(info.st_uid);
  if (WritableByOthers(info)) return where + ": refused: it is writable by other users";
  return {};
}

CheckedOpen OpenChecked(const std::string& path, int flags, mode_t mode, const OpenRules& rules) {
  std::string folderPath = FolderOf(path);
  CheckedOpen folder = OpenFolder(folderPath, rules);
  if (!folder.Ok()) return folder;
  return OpenIn(folder.descriptor.Get(), folderPath, NameOf(path), flags, mode, rules);
}

}  // namespace wl::platform::posix
