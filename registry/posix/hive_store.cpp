#include "registry/posix/hive_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <optional>

#include "platform/machine_root.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/trust.h"
#include "platform/refusal_report.h"
#include "platform/text.h"

namespace wl::platform::posix {
namespace {

thread_local std::wstring lastParseError;

struct CachedHive {
  std::uint64_t generation = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  uid_t owner = posix::kNoAccount;
  std::unique_ptr<HiveKey> root;
};

std::map<std::string, CachedHive>& Cache() {
  static auto* cache = new std::map<std::string, CachedHive>;
  return *cache;
}

// A hive larger than this is refused (the system account reads the users'
// hives, which they write themselves); one with every registered class is
// a few KiB.
constexpr off_t kMaxHiveBytes = 32 << 20;
// How long a call waits for a hive's lock.
constexpr int kHiveLockMilliseconds = 10000;

// Why the calling thread's last call was refused, and the refused hives
// that its call met, reported once the registry's mutex is released.
thread_local std::wstring lastRefusal;
struct PendingReport {
  std::wstring path;
  std::wstring text;
  std::uint64_t version;
};
thread_local std::vector<PendingReport> pendingReports;

// Notes a refusal for RegistryLastRefusal and, for a hive that is read as
// absent, the report.
void Refuse(std::wstring text, const std::string& path = {}, std::uint64_t version = 0) {
  if (!path.empty()) pendingReports.push_back({WideFromUtf8(path), text, version});
  lastRefusal = std::move(text);
}

// What identifies the file at path now, so that a refusal is reported again
// when the file changes.
std::uint64_t Version(int folder, const std::string& name) {
  struct stat info {};
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return static_cast<std::uint64_t>(info.st_ino) * 1'000'003u ^ static_cast<std::uint64_t>(info.st_mtim.tv_nsec) ^
         static_cast<std::uint64_t>(info.st_uid) << 40;
}

// Reading a hive whose file (or folder) is refused: what is reported, and
// the hive is read as absent.
void RefuseHive(const HiveLocation& hive, const std::string& refusal, int folder) {
  Refuse(WideFromUtf8("Ignored the registry hive " + hive.file + ": " + refusal), hive.file,
         folder >= 0 ? Version(folder, hive.name) : 0);
}

}  // namespace

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::wstring> ListUserHives(const std::string& folder) {
  std::vector<std::wstring> names;
  posix::CheckedOpen checked = posix::OpenFolder(folder);
  if (!checked.Ok()) return names;
  int listing = openat(checked.descriptor.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return names;
  DIR* directory = fdopendir(listing);
  if (directory == nullptr) {
    close(listing);
    return names;
  }
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    struct stat info {};
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".reg") == 0) {
      names.push_back(WideFromUtf8(name.substr(0, name.size() - 4)));
    } else if (name != "." && name != ".." &&
               fstatat(dirfd(directory), (name + "/" + name + ".reg").c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      names.push_back(WideFromUtf8(name));
    }
  }
  closedir(directory);
  return names;
}

namespace {

std::string RegistryFolder() { return Utf8FromWide(MachineRoot()) + "/registry"; }

}  // namespace

HiveLocation MachineHive() {
  std::string folder = RegistryFolder();
  return {folder, "HKLM.reg", folder + "/HKLM.reg", L"HKEY_LOCAL_MACHINE", true};
}

namespace {

// The ordinary user whose own hive the SID names (S-1-22-1-<uid>, in any
// case), with the SID in its usual form; false for the system account and
// for any other SID.
bool OrdinaryUserOfSid(std::wstring_view name, uid_t* uid, std::wstring* sid) {
  std::wstring upper(name);
  for (wchar_t& c : upper) c = RegistryUpperCase(c);
  unsigned number = 0;
  if (!upper.starts_with(L"S-1-22-1-") || !posix::UidOfSid(upper, &number) || posix::IsSystemAccount(number)) {
    return false;
  }
  *uid = number;
  *sid = L"S-1-22-1-" + std::to_wstring(number);
  return true;
}

}  // namespace

HiveLocation UserHive(const std::string& usersFolder, std::wstring_view name) {
  bool own = RegistryNamesEqual(name, posix::ProcessUserSidString());
  uid_t uid = posix::kNoAccount;
  std::wstring sid;
  if (OrdinaryUserOfSid(name, &uid, &sid)) {
    std::string folder = usersFolder + "/" + Utf8FromWide(sid);
    std::string file = Utf8FromWide(sid) + ".reg";
    return {folder, file, folder + "/" + file, L"HKEY_USERS\\" + sid, own, uid};
  }
  std::wstring actual(name);
  std::string file = Utf8FromWide(name) + ".reg";
  struct stat info {};
  if (lstat((usersFolder + "/" + file).c_str(), &info) != 0) {
    // Names are case-insensitive; the file keeps the case it was made with.
    for (const auto& existing : ListUserHives(usersFolder)) {
      if (RegistryNamesEqual(existing, name)) {
        actual = existing;
        file = Utf8FromWide(existing) + ".reg";
        break;
      }
    }
  }
  return {usersFolder, file, usersFolder + "/" + file, L"HKEY_USERS\\" + actual, own};
}

std::string UsersFolder() { return RegistryFolder() + "/users"; }

RegistryCall::RegistryCall() : lock_(RegistryMutex()) { lastRefusal.clear(); }

RegistryCall::~RegistryCall() {
  lock_.unlock();
  std::vector<PendingReport> reports;
  reports.swap(pendingReports);
  // A sink that reads the registry must not take this call's refusal
  // from its caller.
  std::wstring refusal = lastRefusal;
  for (const PendingReport& report : reports) ReportRefusal(report.path, report.text, report.version);
  lastRefusal = std::move(refusal);
}

namespace {

[[nodiscard]] Win32Error ReadError(int error) {
  Win32Error code = posix::Win32FromErrno(error);
  return code == kErrorAccessDenied ? code : kErrorCantRead;
}

[[nodiscard]] Win32Error WriteError(int error) {
  if (error == ENOSPC || error == EDQUOT) return kErrorDiskFull;
  if (error == ETIMEDOUT) return 1460;  // ERROR_TIMEOUT
  Win32Error code = posix::Win32FromErrno(error);
  return code == kErrorAccessDenied ? code : kErrorCantWrite;
}

// Who may own a hive's file: the system account, and for a user's own hive
// that user.
posix::OpenRules HiveRules(const HiveLocation& hive) {
  posix::OpenRules rules;
  rules.systemOwner = true;
  rules.alsoOwner = hive.user;
  rules.singleLink = true;
  return rules;
}

posix::OpenRules FolderRules(const HiveLocation& hive) {
  posix::OpenRules rules;
  rules.alsoOwner = hive.user;
  return rules;
}

std::uint64_t ReadGeneration(int lockDescriptor) {
  std::uint8_t bytes[8] = {};
  if (pread(lockDescriptor, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return 0;
  std::uint64_t generation = 0;
  for (int i = 7; i >= 0; --i) generation = (generation << 8) | bytes[i];
  return generation;
}

void WriteGeneration(int lockDescriptor, std::uint64_t generation) {
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(generation >> (8 * i));
  // Losing the counter only costs readers a fresh parse; nothing to handle.
  [[maybe_unused]] auto written = pwrite(lockDescriptor, bytes, sizeof bytes, 0);
}

bool SameFile(const CachedHive& cached, std::uint64_t generation, const struct stat& info) {
  return cached.root && cached.generation == generation && cached.device == info.st_dev &&
         cached.inode == info.st_ino && cached.size == info.st_size && cached.modified.tv_sec == info.st_mtim.tv_sec &&
         cached.modified.tv_nsec == info.st_mtim.tv_nsec;
}

// Notes which file (and which write of it) the cached tree stands for.
void RememberFile(CachedHive& cached, std::uint64_t generation, const struct stat& info) {
  cached.generation = generation;
  cached.device = info.st_dev;
  cached.inode = info.st_ino;
  cached.size = info.st_size;
  cached.modified = info.st_mtim;
  cached.owner = info.st_uid;
}

// An empty hive, for a hive without a file or with a refused one (never
// taken for the file itself later).
HiveKey* EmptyHive(CachedHive& cached, std::uint64_t generation) {
  cached = CachedHive{};
  cached.generation = generation;
  cached.root = std::make_unique<HiveKey>();
  return cached.root.get();
}

// The hive as the file holds it now (an empty hive when there is no file;
// also when the file is refused, which *refused then tells). folder is the
// hive's checked folder, -1 when the folder does not exist. The lock on the
// hive must be held, unless there is no lock file to take (then the cache
// is not trusted). The tree stays owned by the cache.
[[nodiscard]] Win32Error LoadHive(const HiveLocation& hive, int folder, int lockDescriptor, HiveKey** root,
                                  bool* refused = nullptr) {
  // Every test root adds its hives; keep the cache to the hives in use.
  if (Cache().size() >= 32 && Cache().count(hive.file) == 0) Cache().clear();
  CachedHive& cached = Cache()[hive.file];
  std::uint64_t generation = lockDescriptor >= 0 ? ReadGeneration(lockDescriptor) : ~std::uint64_t{0};
  if (refused != nullptr) *refused = false;
  if (folder < 0) {
    *root = EmptyHive(cached, generation);
    return kErrorSuccess;
  }
  posix::CheckedOpen file = posix::OpenIn(folder, hive.folder, hive.name, O_RDONLY, 0, HiveRules(hive));
  struct stat info {};
  if (file.Ok() && fstat(file.descriptor.Get(), &info) != 0) return ReadError(errno);
  if (file.Ok() && info.st_size > kMaxHiveBytes) file.refusal = "refused: it is larger than 32 MiB";
  if (!file.refusal.empty()) {
    RefuseHive(hive, file.refusal, folder);
    if (refused != nullptr) *refused = true;
    *root = EmptyHive(cached, ~std::uint64_t{0});
    cached.generation = 0;
    return kErrorSuccess;
  }
  if (!file.Ok()) {
    if (file.error != ENOENT) return ReadError(file.error);
    *root = EmptyHive(cached, generation);
    return kErrorSuccess;
  }
  if (lockDescriptor >= 0 && SameFile(cached, generation, info)) {
    *root = cached.root.get();
    return kErrorSuccess;
  }
  std::string bytes;
  if (int error = posix::ReadAll(file.descriptor.Get(), &bytes); error != 0) return ReadError(error);
  (void)file.descriptor.Close();
  if (bytes.size() > static_cast<std::size_t>(kMaxHiveBytes)) return kErrorCantRead;
  RegistryFileError parseError;
  auto tree = std::make_unique<HiveKey>();
  if (!ParseHive(bytes, hive.prefix, tree.get(), &parseError)) {
    lastParseError =
        WideFromUtf8(hive.file) + L": line " + std::to_wstring(parseError.line) + L": " + parseError.reason;
    Cache().erase(hive.file);
    return kErrorBadDb;
  }
  RememberFile(cached, generation, info);
  cached.root = std::move(tree);
  *root = cached.root.get();
  return kErrorSuccess;
}

// Writes the tree to <hive>.new in the hive's folder, flushes it and renames
// it over the hive. The .new is made afresh (whatever lay under its name
// goes first, and a link there is never followed), 0644, owned by the user
// of a user's hive and by the system account otherwise.
[[nodiscard]] Win32Error SaveHive(const HiveLocation& hive, int folder, int lockDescriptor, const HiveKey& root) {
  std::string bytes = FormatHive(root, hive.prefix, "\n");
  std::string temporary = hive.name + ".new";
  unlinkat(folder, temporary.c_str(), 0);
  posix::CheckedOpen file = posix::OpenIn(folder, hive.folder, temporary, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!file.Ok()) {
    if (!file.refusal.empty())
      Refuse(WideFromUtf8("Cannot write " + hive.folder + "/" + temporary + ": " + file.refusal));
    return WriteError(file.error);
  }
  int descriptor = file.descriptor.Get();
  struct stat old {};
  if (hive.user != posix::kNoAccount) {
    [[maybe_unused]] int ignored = fchown(descriptor, hive.user, static_cast<gid_t>(-1));
  } else if (fstatat(folder, hive.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && posix::IsSystemAccount(old.st_uid)) {
    // A replaced hive keeps its owner (root, or the root's owner).
    [[maybe_unused]] int ignored = fchown(descriptor, old.st_uid, old.st_gid);
  }
  int error = posix::WriteAll(descriptor, bytes);
  if (error == 0) error = posix::SyncAll(descriptor);
  if (int closed = file.descriptor.Close(); error == 0) error = closed;
  if (error == 0 && renameat(folder, temporary.c_str(), folder, hive.name.c_str()) != 0) error = errno;
  if (error != 0) {
    unlinkat(folder, temporary.c_str(), 0);
    Cache().erase(hive.file);
    return WriteError(error);
  }
  std::uint64_t generation = ReadGeneration(lockDescriptor) + 1;
  WriteGeneration(lockDescriptor, generation);
  CachedHive& cached = Cache()[hive.file];
  struct stat info {};
  if (fstatat(folder, hive.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    Cache().erase(hive.file);
    return kErrorSuccess;
  }
  RememberFile(cached, generation, info);
  return kErrorSuccess;
}

// The lock of a hive, <hive>.lock in its folder, 0600. A writer takes it
// exclusively, making it when missing (a user's belongs to the user). A
// reader takes it shared only when the file is its own or the system
// account's (one it cannot open, or one of another account, which could
// hold it forever, is passed by: the reader then reads without it and does
// not trust its cache). A lock that another account could hold is waited
// for at most kHiveLockMilliseconds.
class HiveLock {
 public:
  HiveLock(int folder, const HiveLocation& hive, bool exclusive) {
    std::string name = hive.name + ".lock";
    posix::CheckedOpen lock;
    if (exclusive) {
      posix::OpenRules rules;
      rules.systemOwner = true;
      rules.alsoOwner = hive.user;
      lock = posix::OpenLockFile(folder, hive.folder, name, rules);
      if (lock.created && hive.user != posix::kNoAccount) {
        [[maybe_unused]] int ignored = fchown(lock.descriptor.Get(), hive.user, static_cast<gid_t>(-1));
      }
    } else {
      lock = posix::OpenIn(folder, hive.folder, name, O_RDONLY, 0);
    }
    if (!lock.Ok()) {
      error_ = lock.error;
      refusal_ = lock.refusal;
      return;
    }
    file_ = std::move(lock.descriptor);
    int operation = exclusive ? LOCK_EX : LOCK_SH;
    // The lock of a user's own hive, taken by the system account, is one
    // that the user could hold forever.
    error_ = posix::OnlyTrustedCanOpen(file_.Get())
                 ? posix::LockFile(file_.Get(), operation)
                 : posix::LockFileWithin(file_.Get(), operation, kHiveLockMilliseconds);
    if (error_ == ETIMEDOUT) {
      refusal_ = "its lock file " + hive.folder + "/" + name + " stayed locked for " +
                 std::to_string(kHiveLockMilliseconds / 1000) + " seconds";
    }
    if (error_ != 0) (void)file_.Close();
  }
  // Closing the file releases the lock.
  ~HiveLock() = default;
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;

  [[nodiscard]] int Descriptor() const { return file_.Get(); }
  [[nodiscard]] int Error() const { return error_; }
  [[nodiscard]] const std::string& Refusal() const { return refusal_; }

 private:
  posix::Descriptor file_;
  int error_ = 0;
  std::string refusal_;
};

// The checked folder of a hive for reading: invalid when it does not exist
// (the hive is then empty); a refused folder is reported and read as
// absent too.
[[nodiscard]] Win32Error OpenHiveFolder(const HiveLocation& hive, posix::CheckedOpen* folder) {
  *folder = posix::OpenFolder(hive.folder, FolderRules(hive));
  if (folder->Ok() || folder->error == ENOENT || folder->error == ENOTDIR) return kErrorSuccess;
  if (folder->refusal.empty()) return ReadError(folder->error);
  RefuseHive(hive, folder->refusal, -1);
  return kErrorSuccess;
}

}  // namespace

Win32Error ReadHive(const HiveLocation& hive, const std::function<Win32Error(HiveKey&)>& use, uid_t* owner) {
  posix::CheckedOpen folder;
  if (Win32Error error = OpenHiveFolder(hive, &folder)) return error;
  int folderDescriptor = folder.descriptor.Get();
  // Readers never make the lock file: without one no writer has been here.
  std::optional<HiveLock> lock;
  if (folderDescriptor >= 0) lock.emplace(folderDescriptor, hive, false);
  HiveKey* root = nullptr;
  Win32Error result = LoadHive(hive, folderDescriptor, lock ? lock->Descriptor() : -1, &root);
  if (result != kErrorSuccess) return result;
  if (owner != nullptr) *owner = Cache()[hive.file].owner;
  return use(*root);
}

namespace {

// The checked folder of a hive for writing, made when missing: the system
// account makes the machine's folders and each user's hive folder (which it
// gives to the user); a user writes in its own folder once it exists.
[[nodiscard]] Win32Error OpenHiveFolderForWriting(const HiveLocation& hive, posix::CheckedOpen* folder) {
  auto deny = [&](const std::string& text) {
    Refuse(WideFromUtf8(hive.file + ": " + text));
    return kErrorAccessDenied;
  };
  auto failed = [&]() {
    if (!folder->refusal.empty()) return deny(folder->refusal);
    return WriteError(folder->error);
  };
  bool system = posix::ProcessIsSystem();
  if (hive.user == posix::kNoAccount) {
    if (!system) return deny("only the system account (root, or the owner of the machine root) changes this hive");
    *folder = posix::MakeFolder(hive.folder, 0755);
    return folder->Ok() ? kErrorSuccess : failed();
  }
  if (system) {
    std::string users = posix::FolderOf(hive.folder);
    std::string name = posix::NameOf(hive.folder);
    posix::CheckedOpen parent = posix::MakeFolder(users, 0755);
    if (!parent.Ok()) {
      *folder = std::move(parent);
      return failed();
    }
    // The user's folder is the user's from the start, so that the user can
    // write the hive later.
    if (mkdirat(parent.descriptor.Get(), name.c_str(), 0755) == 0) {
      posix::Descriptor made(
          openat(parent.descriptor.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (made.Valid()) {
        fchmod(made.Get(), 0755);
        [[maybe_unused]] int ignored = fchown(made.Get(), hive.user, static_cast<gid_t>(-1));
      }
    }
  } else if (geteuid() != hive.user) {
    return deny("it is the hive of " + posix::DescribeUser(hive.user));
  }
  *folder = posix::OpenFolder(hive.folder, FolderRules(hive));
  if (!folder->Ok() && folder->error == ENOENT) {
    return deny("the registry hive of " + posix::DescribeUser(hive.user) +
                " does not exist, and only the system account may make it: run \"wlreg addhive " +
                Utf8FromWide(hive.prefix.substr(hive.prefix.find(L'\\') + 1)) + "\" as root");
  }
  return folder->Ok() ? kErrorSuccess : failed();
}

}  // namespace

Win32Error WriteHive(const HiveLocation& hive, const std::function<Win32Error(HiveKey&, bool*)>& change) {
  posix::CheckedOpen folder;
  if (Win32Error error = OpenHiveFolderForWriting(hive, &folder)) return error;
  int folderDescriptor = folder.descriptor.Get();
  HiveLock lock(folderDescriptor, hive, true);
  if (lock.Descriptor() < 0) {
    if (!lock.Refusal().empty()) Refuse(WideFromUtf8(hive.file + ": " + lock.Refusal()));
    return WriteError(lock.Error());
  }
  HiveKey* root = nullptr;
  bool refused = false;
  Win32Error result = LoadHive(hive, folderDescriptor, lock.Descriptor(), &root, &refused);
  if (result != kErrorSuccess) return result;
  if (refused) return kErrorAccessDenied;
  bool changed = false;
  result = change(*root, &changed);
  if (result != kErrorSuccess || !changed) {
    // A failed change may have touched the cached tree; read it anew.
    if (result != kErrorSuccess) Cache().erase(hive.file);
    return result;
  }
  return SaveHive(hive, folderDescriptor, lock.Descriptor(), *root);
}

bool HiveExists(const HiveLocation& hive) {
  posix::CheckedOpen folder = posix::OpenFolder(hive.folder, FolderRules(hive));
  if (!folder.Ok()) return false;
  return posix::OpenIn(folder.descriptor.Get(), hive.folder, hive.name, O_RDONLY, 0, HiveRules(hive)).Ok();
}

}  // namespace wl::platform::posix

namespace wl::platform {

std::wstring RegistryLastParseError() { return posix::lastParseError; }

std::wstring RegistryLastRefusal() { return posix::lastRefusal; }

}  // namespace wl::platform
