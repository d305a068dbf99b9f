// The registry stand-in: hive files under <root>/registry/ in the Registry
// Editor export format (registry/registry_file.h), HKLM.reg for
// HKEY_LOCAL_MACHINE and users/<SID>.reg for each HKEY_USERS\<SID>.
//
// Every call works on the files as they are now, so several processes share
// the registry safely:
// - a reader takes a shared flock on <hive>.lock and parses the hive, unless
//   the copy it parsed last is still current (same write generation, kept
//   in the lock file, and the same file identity);
// - a writer takes the exclusive flock, reads the current hive, changes it,
//   writes <hive>.new, flushes it to disk and renames it over the hive, so a
//   reader sees the old or the new file and a crash leaves the old one;
// - a hive that does not parse is never written: calls fail with 1009 and
//   RegistryLastParseError names the file and line.
// Threads of this process are serialised by one mutex in front of all that.
#include "registry/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/machine_root.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/posix/trust.h"
#include "platform/refusal_report.h"
#include "platform/text.h"
#include "registry/posix/registry_origin.h"
#include "registry/registry_hive.h"

namespace wl::platform {

const HKey kHKeyClassesRoot = reinterpret_cast<HKey>(std::uintptr_t{0x80000000});
const HKey kHKeyCurrentUser = reinterpret_cast<HKey>(std::uintptr_t{0x80000001});
const HKey kHKeyLocalMachine = reinterpret_cast<HKey>(std::uintptr_t{0x80000002});
const HKey kHKeyUsers = reinterpret_cast<HKey>(std::uintptr_t{0x80000003});

namespace {

// Where a hive lives and the full name its sections start with.
struct HiveLocation {
  std::string folder;  // holds the hive, its lock file and the .new of a save
  std::string name;    // the hive file's name in it
  std::string file;    // folder/name
  std::wstring prefix;
  bool alwaysExists = false;  // HKLM and the process's own user hive
  // The ordinary user whose own hive this is: it lies in a folder of that
  // user's (made for the user by the system account), and a file of that
  // user's is accepted as the hive. kNoAccount for the system account's
  // hives (HKLM, S-1-5-18, any SID of no ordinary user), which only a file
  // of the system account may be.
  uid_t user = posix::kNoAccount;
};

}  // namespace

// What a handle stands for. Predefined roots are resolved anew on every call
// (the machine root may change between calls); an open handle keeps the
// files it was opened on.
struct RegistryKeyObject {
  enum class Kind { Hive, Classes, Users };
  Kind kind = Kind::Hive;
  HiveLocation hive;         // Kind::Hive
  HiveLocation userHive;     // Kind::Classes: HKCU\Software\Classes ...
  HiveLocation machineHive;  // ... over HKLM\Software\Classes
  std::string usersFolder;   // Kind::Users
  std::vector<std::wstring> path;
  std::uint32_t access = 0;
  bool predefined = false;
};

namespace {

using Kind = RegistryKeyObject::Kind;

constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kMaximumAllowed = 0x02000000;

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// The registry's state is never destroyed: singletons of the library read
// the registry while they are destroyed at process exit, after function-local
// statics created later than the singleton tracker are gone.
std::set<HKey>& LiveHandles() {
  static auto* handles = new std::set<HKey>;
  return *handles;
}

thread_local std::wstring lastParseError;

const std::vector<std::wstring>& ClassesPath() {
  static const auto* path = new std::vector<std::wstring>{L"Software", L"Classes"};
  return *path;
}

std::vector<std::wstring> Concat(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) {
  std::vector<std::wstring> result = a;
  result.insert(result.end(), b.begin(), b.end());
  return result;
}

std::uint32_t MapAccess(std::uint32_t access) {
  if (access & (kGenericAll | kMaximumAllowed)) access |= kKeyAllAccess;
  if (access & kGenericRead) access |= kKeyRead;
  if (access & kGenericWrite) access |= kKeyWrite;
  return access;
}

bool IsUsableHiveName(std::wstring_view name) {
  return IsStorableKeyName(name) && name.find(L'/') == std::wstring_view::npos && name != L"." && name != L"..";
}

// The names of the hives in users/: the system account's hive files
// (<SID>.reg) and the users' hive folders (<SID>/<SID>.reg).
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

std::string RegistryFolder() { return Utf8FromWide(MachineRoot()) + "/registry"; }

HiveLocation MachineHive() {
  std::string folder = RegistryFolder();
  return {folder, "HKLM.reg", folder + "/HKLM.reg", L"HKEY_LOCAL_MACHINE", true};
}

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

[[nodiscard]] Win32Error Resolve(HKey handle, RegistryKeyObject* key) {
  if (handle == nullptr) return kErrorInvalidHandle;
  RegistryKeyObject result;
  result.predefined = true;
  result.access = kKeyAllAccess;
  if (handle == kHKeyLocalMachine) {
    result.hive = MachineHive();
  } else if (handle == kHKeyCurrentUser) {
    result.hive = UserHive(UsersFolder(), posix::ProcessUserSidString());
  } else if (handle == kHKeyUsers) {
    result.kind = Kind::Users;
    result.usersFolder = UsersFolder();
  } else if (handle == kHKeyClassesRoot) {
    result.kind = Kind::Classes;
    result.userHive = UserHive(UsersFolder(), posix::ProcessUserSidString());
    result.machineHive = MachineHive();
  } else if (LiveHandles().count(handle) != 0) {
    result = *handle;
  } else {
    return kErrorInvalidHandle;
  }
  *key = std::move(result);
  return kErrorSuccess;
}

// Splits a sub-key path into names: a leading backslash is 161 (as Windows
// has it), empty names between backslashes are skipped.
[[nodiscard]] Win32Error SplitPath(std::wstring_view subKey, std::vector<std::wstring>* names) {
  if (!subKey.empty() && subKey.front() == L'\\') return kErrorBadPathname;
  while (!subKey.empty()) {
    auto end = subKey.find(L'\\');
    auto name = subKey.substr(0, end);
    if (!name.empty()) {
      if (!IsStorableKeyName(name)) return kErrorBadPathname;
      names->emplace_back(name);
    }
    subKey.remove_prefix(end == std::wstring_view::npos ? subKey.size() : end + 1);
  }
  return kErrorSuccess;
}

// Moves a key of HKEY_USERS with a path onto the hive its first name picks.
[[nodiscard]] Win32Error EnterUserHive(RegistryKeyObject* key) {
  if (key->kind != Kind::Users || key->path.empty()) return kErrorSuccess;
  if (!IsUsableHiveName(key->path.front())) return kErrorBadPathname;
  key->kind = Kind::Hive;
  key->hive = UserHive(key->usersFolder, key->path.front());
  key->path.erase(key->path.begin());
  return kErrorSuccess;
}

// ---- Hive files -----------------------------------------------------------

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

// Every public call: the registry's mutex for the call; the reports of
// refused hives go out after the mutex is released, since a report may read
// the registry itself.
class Call {
 public:
  Call() : lock_(RegistryMutex()) { lastRefusal.clear(); }
  ~Call() {
    lock_.unlock();
    std::vector<PendingReport> reports;
    reports.swap(pendingReports);
    // A sink that reads the registry must not take this call's refusal
    // from its caller.
    std::wstring refusal = lastRefusal;
    for (const PendingReport& report : reports) ReportRefusal(report.path, report.text, report.version);
    lastRefusal = std::move(refusal);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

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

// Runs use(root) on the current tree of the hive under a shared lock. With
// owner, tells who owns the hive's file (kNoAccount without one).
template <typename Use>
[[nodiscard]] Win32Error ReadHive(const HiveLocation& hive, Use&& use, uid_t* owner = nullptr) {
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

// Runs change(root, &changed) on the current tree of the hive under the
// exclusive lock, and saves the tree when the change succeeded and changed
// something. A refused hive file is not changed (5).
template <typename Change>
[[nodiscard]] Win32Error WriteHive(const HiveLocation& hive, Change&& change) {
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

// Whether the hive's file exists and is accepted.
bool HiveExists(const HiveLocation& hive) {
  posix::CheckedOpen folder = posix::OpenFolder(hive.folder, FolderRules(hive));
  if (!folder.Ok()) return false;
  return posix::OpenIn(folder.descriptor.Get(), hive.folder, hive.name, O_RDONLY, 0, HiveRules(hive)).Ok();
}

// ---- Keys -----------------------------------------------------------------

// Calls use(key) with the key of a Kind::Hive object: 1018 when it is gone.
template <typename Use>
[[nodiscard]] Win32Error WithHiveKey(const RegistryKeyObject& object, Use&& use) {
  return ReadHive(object.hive, [&](HiveKey& root) -> Win32Error {
    HiveKey* key = FindHiveKey(root, object.path);
    if (key == nullptr) {
      if (!object.path.empty() || !(object.hive.alwaysExists || HiveExists(object.hive))) return kErrorKeyDeleted;
      key = &root;
    }
    return use(*key);
  });
}

// Calls visit(key) for the classes key of a HKEY_CLASSES_ROOT handle in the
// user's hive, then in the machine's, wherever it exists. *found tells
// whether either has it.
template <typename Visit>
[[nodiscard]] Win32Error VisitClassesKeys(const RegistryKeyObject& object, bool* found, Visit&& visit) {
  auto path = Concat(ClassesPath(), object.path);
  *found = false;
  for (const HiveLocation* hive : {&object.userHive, &object.machineHive}) {
    Win32Error result = ReadHive(*hive, [&](HiveKey& root) {
      if (HiveKey* key = FindHiveKey(root, path)) {
        *found = true;
        visit(*key);
      }
      return kErrorSuccess;
    });
    if (result != kErrorSuccess) return result;
  }
  return kErrorSuccess;
}

// Whether the key exists (for Kind::Classes: in either hive).
[[nodiscard]] Win32Error KeyExists(const RegistryKeyObject& object, bool* exists) {
  *exists = false;
  switch (object.kind) {
    case Kind::Users:
      *exists = true;
      return kErrorSuccess;
    case Kind::Hive:
      if (object.path.empty()) {
        *exists = object.hive.alwaysExists || HiveExists(object.hive);
        return kErrorSuccess;
      }
      return ReadHive(object.hive, [&](HiveKey& root) {
        *exists = FindHiveKey(root, object.path) != nullptr;
        return kErrorSuccess;
      });
    case Kind::Classes: {
      if (object.path.empty()) {
        *exists = true;
        return kErrorSuccess;
      }
      return VisitClassesKeys(object, exists, [](HiveKey&) {});
    }
  }
  return kErrorSuccess;
}

// 1018 when an open handle's key has been deleted.
[[nodiscard]] Win32Error CheckNotDeleted(const RegistryKeyObject& object) {
  if (object.predefined) return kErrorSuccess;
  bool exists = false;
  Win32Error result = KeyExists(object, &exists);
  if (result != kErrorSuccess) return result;
  return exists ? kErrorSuccess : kErrorKeyDeleted;
}

HKey NewHandle(RegistryKeyObject object, std::uint32_t access) {
  object.access = MapAccess(access);
  object.predefined = false;
  auto* handle = new RegistryKeyObject(std::move(object));
  LiveHandles().insert(handle);
  return handle;
}

// The values of a key as the caller sees them: for HKEY_CLASSES_ROOT the
// user's values, then the machine's that the user does not override.
[[nodiscard]] Win32Error CollectValues(const RegistryKeyObject& object, std::vector<HiveValue>* values) {
  switch (object.kind) {
    case Kind::Users:
      return kErrorSuccess;
    case Kind::Hive:
      return WithHiveKey(object, [&](HiveKey& key) {
        *values = key.Values();
        return kErrorSuccess;
      });
    case Kind::Classes: {
      bool found = false;
      Win32Error result = VisitClassesKeys(object, &found, [&](HiveKey& key) {
        for (const auto& value : key.Values()) {
          bool shadowed = std::any_of(values->begin(), values->end(),
                                      [&](const HiveValue& v) { return RegistryNamesEqual(v.name, value.name); });
          if (!shadowed) values->push_back(value);
        }
      });
      if (result != kErrorSuccess) return result;
      return found || object.path.empty() ? kErrorSuccess : kErrorKeyDeleted;
    }
  }
  return kErrorSuccess;
}

[[nodiscard]] Win32Error CollectSubKeys(const RegistryKeyObject& object, std::vector<std::wstring>* names) {
  switch (object.kind) {
    case Kind::Users: {
      *names = ListUserHives(object.usersFolder);
      std::wstring own = posix::ProcessUserSidString();
      if (std::none_of(names->begin(), names->end(), [&](const auto& n) { return RegistryNamesEqual(n, own); })) {
        names->push_back(own);
      }
      break;
    }
    case Kind::Hive: {
      Win32Error result = WithHiveKey(object, [&](HiveKey& key) {
        for (const auto& sub : key.SubKeys()) names->push_back(sub->Name());
        return kErrorSuccess;
      });
      if (result != kErrorSuccess) return result;
      break;
    }
    case Kind::Classes: {
      bool found = false;
      Win32Error result = VisitClassesKeys(object, &found, [&](HiveKey& key) {
        for (const auto& sub : key.SubKeys()) {
          bool seen = std::any_of(names->begin(), names->end(),
                                  [&](const std::wstring& n) { return RegistryNamesEqual(n, sub->Name()); });
          if (!seen) names->push_back(sub->Name());
        }
      });
      if (result != kErrorSuccess) return result;
      if (!found && !object.path.empty()) return kErrorKeyDeleted;
      break;
    }
  }
  std::sort(names->begin(), names->end(),
            [](const std::wstring& a, const std::wstring& b) { return RegistryCompareNames(a, b) < 0; });
  return kErrorSuccess;
}

// The hive that a change of a HKEY_CLASSES_ROOT key goes to: the user's
// when the key is the user's alone, otherwise the machine's.
[[nodiscard]] Win32Error ClassesWriteTarget(const RegistryKeyObject& object, const HiveLocation** hive) {
  auto path = Concat(ClassesPath(), object.path);
  bool inUser = false, inMachine = false;
  Win32Error result = ReadHive(object.userHive, [&](HiveKey& root) {
    inUser = FindHiveKey(root, path) != nullptr;
    return kErrorSuccess;
  });
  if (result == kErrorSuccess) {
    result = ReadHive(object.machineHive, [&](HiveKey& root) {
      inMachine = FindHiveKey(root, path) != nullptr;
      return kErrorSuccess;
    });
  }
  if (result != kErrorSuccess) return result;
  if (!inUser && !inMachine && !object.path.empty()) return kErrorKeyDeleted;
  *hive = inUser && !inMachine ? &object.userHive : &object.machineHive;
  return kErrorSuccess;
}

// Runs change(key, &changed) on the key of the object in the hive that
// takes its writes.
template <typename Change>
[[nodiscard]] Win32Error ChangeKey(const RegistryKeyObject& object, Change&& change) {
  const HiveLocation* hive = &object.hive;
  std::vector<std::wstring> path = object.path;
  if (object.kind == Kind::Users) return kErrorAccessDenied;
  if (object.kind == Kind::Classes) {
    Win32Error result = ClassesWriteTarget(object, &hive);
    if (result != kErrorSuccess) return result;
    path = Concat(ClassesPath(), object.path);
  }
  bool rootOnly = path.empty();
  return WriteHive(*hive, [&](HiveKey& root, bool* changed) -> Win32Error {
    HiveKey* key = FindHiveKey(root, path);
    if (key == nullptr) {
      // Only the Classes key itself may be missing under a Classes root.
      if (object.kind == Kind::Classes && object.path.empty()) {
        bool created = false;
        key = &root;
        for (const auto& name : path) key = key->AddSubKey(name, &created);
        *changed = true;
      } else {
        return kErrorKeyDeleted;
      }
    }
    if (rootOnly && !(hive->alwaysExists || HiveExists(*hive))) return kErrorKeyDeleted;
    return change(*key, changed);
  });
}

// The key that subKey names below root, on the hive it lies in.
[[nodiscard]] Win32Error ResolveSubKey(HKey root, std::wstring_view subKey, RegistryKeyObject* object) {
  if (Win32Error error = Resolve(root, object)) return error;
  std::vector<std::wstring> names;
  if (Win32Error error = SplitPath(subKey, &names)) return error;
  if (Win32Error error = CheckNotDeleted(*object)) return error;
  object->path = Concat(object->path, names);
  return EnterUserHive(object);
}

}  // namespace

Win32Error RegistryOpenKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result) {
  if (root == nullptr) return kErrorBadArguments;
  if (result == nullptr) return kErrorInvalidParameter;
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = ResolveSubKey(root, subKey, &object)) return error;
  // No key lies deeper than the registry allows.
  if (object.path.size() > kMaxKeyDepth) return kErrorFileNotFound;
  bool exists = false;
  if (Win32Error error = KeyExists(object, &exists)) return error;
  if (!exists) return kErrorFileNotFound;
  *result = NewHandle(std::move(object), access);
  return kErrorSuccess;
}

Win32Error RegistryCreateKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result, bool* created) {
  if (result == nullptr) return kErrorInvalidParameter;
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(root, &object)) return error;
  std::vector<std::wstring> names;
  if (Win32Error error = SplitPath(subKey, &names)) return error;
  if (Win32Error error = CheckNotDeleted(object)) return error;
  RegistryKeyObject base = object;
  object.path = Concat(object.path, names);
  if (Win32Error error = EnterUserHive(&object)) return error;
  if (object.path.size() > kMaxKeyDepth) return kErrorInvalidParameter;
  bool exists = false;
  if (Win32Error error = KeyExists(object, &exists)) return error;
  bool isNew = false;
  if (!exists) {
    const HiveLocation* hive = &object.hive;
    std::vector<std::wstring> path = object.path;
    if (object.kind == Kind::Classes) {
      // A new class key goes where its parent is the user's alone, else to
      // the machine.
      const HiveLocation* target = nullptr;
      if (Win32Error error = ClassesWriteTarget(base, &target)) return error;
      hive = target;
      path = Concat(ClassesPath(), object.path);
    }
    Win32Error error = WriteHive(*hive, [&](HiveKey& root, bool* changed) -> Win32Error {
      HiveKey* key = &root;
      for (const auto& name : path) key = key->AddSubKey(name, &isNew);
      // Even an empty new user hive is written, so that it exists.
      *changed = true;
      if (path.empty()) isNew = !HiveExists(*hive);
      return kErrorSuccess;
    });
    if (error != kErrorSuccess) return error;
  }
  if (created != nullptr) *created = isNew;
  *result = NewHandle(std::move(object), access);
  return kErrorSuccess;
}

Win32Error RegistryQueryValue(HKey key, std::wstring_view valueName, std::uint32_t* type, void* data,
                              std::uint32_t* size) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  if ((object.access & kKeyQueryValue) == 0) return kErrorAccessDenied;
  auto answer = [&](const HiveValue* found) -> Win32Error {
    if (found == nullptr) return kErrorFileNotFound;
    if (type != nullptr) *type = found->type;
    auto needed = static_cast<std::uint32_t>(found->data.size());
    if (data != nullptr && *size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (data != nullptr && needed > 0)
      std::copy(found->data.begin(), found->data.end(), static_cast<std::uint8_t*>(data));
    if (size != nullptr) *size = needed;
    return kErrorSuccess;
  };
  // A key of a hive answers from its own values, without copying them.
  if (object.kind == Kind::Hive) {
    return WithHiveKey(object, [&](HiveKey& found) { return answer(found.FindValue(valueName)); });
  }
  std::vector<HiveValue> values;
  if (Win32Error error = CollectValues(object, &values)) return error;
  auto found = std::find_if(values.begin(), values.end(),
                            [&](const HiveValue& v) { return RegistryNamesEqual(v.name, valueName); });
  return answer(found == values.end() ? nullptr : &*found);
}

Win32Error RegistrySetValue(HKey key, std::wstring_view valueName, std::uint32_t type, const void* data,
                            std::uint32_t size) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if ((object.access & kKeySetValue) == 0) return kErrorAccessDenied;
  if (data == nullptr && size != 0) return kErrorNoAccess;
  if (!IsStorableValueName(valueName)) return kErrorInvalidParameter;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::vector<std::uint8_t> copy(bytes, bytes + size);
  return ChangeKey(object, [&](HiveKey& target, bool* changed) {
    target.SetValue(valueName, type, std::move(copy));
    *changed = true;
    return kErrorSuccess;
  });
}

Win32Error RegistryDeleteValue(HKey key, std::wstring_view valueName) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if ((object.access & kKeySetValue) == 0) return kErrorAccessDenied;
  return ChangeKey(object, [&](HiveKey& target, bool* changed) {
    *changed = target.RemoveValue(valueName);
    return *changed ? kErrorSuccess : kErrorFileNotFound;
  });
}

Win32Error RegistryDeleteKeyTree(HKey root, std::wstring_view subKey) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(root, &object)) return error;
  std::vector<std::wstring> names;
  if (Win32Error error = SplitPath(subKey, &names)) return error;
  if (names.empty() && object.predefined) return kErrorAccessDenied;
  if (Win32Error error = CheckNotDeleted(object)) return error;
  object.path = Concat(object.path, names);
  // A whole user hive, or HKEY_USERS itself, is not a key one can delete.
  if (object.kind == Kind::Users && object.path.size() <= 1) return kErrorAccessDenied;
  if (Win32Error error = EnterUserHive(&object)) return error;
  if (object.path.empty()) return kErrorAccessDenied;
  std::vector<std::wstring> parentPath(object.path.begin(), object.path.end() - 1);
  const std::wstring& name = object.path.back();
  auto removeFrom = [&](const HiveLocation& hive, const std::vector<std::wstring>& prefix, bool* removed) {
    return WriteHive(hive, [&](HiveKey& rootKey, bool* changed) {
      HiveKey* parent = FindHiveKey(rootKey, Concat(prefix, parentPath));
      *changed = parent != nullptr && parent->RemoveSubKey(name);
      *removed = *removed || *changed;
      return kErrorSuccess;
    });
  };
  bool removed = false;
  if (object.kind == Kind::Classes) {
    // Deleting a class removes it from the merged view: from both hives.
    if (Win32Error error = removeFrom(object.userHive, ClassesPath(), &removed)) return error;
    if (Win32Error error = removeFrom(object.machineHive, ClassesPath(), &removed)) return error;
  } else {
    if (Win32Error error = removeFrom(object.hive, {}, &removed)) return error;
  }
  return removed ? kErrorSuccess : kErrorFileNotFound;
}

Win32Error RegistryEnumKey(HKey key, std::uint32_t index, std::wstring* name) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if ((object.access & kKeyEnumerateSubKeys) == 0) return kErrorAccessDenied;
  // A key of a hive hands out the one name asked for, so that enumerating
  // costs the same at every step.
  if (object.kind == Kind::Hive) {
    return WithHiveKey(object, [&](HiveKey& found) -> Win32Error {
      if (index >= found.SubKeys().size()) return kErrorNoMoreItems;
      if (name != nullptr) *name = found.SubKeys()[index]->Name();
      return kErrorSuccess;
    });
  }
  std::vector<std::wstring> names;
  if (Win32Error error = CollectSubKeys(object, &names)) return error;
  if (index >= names.size()) return kErrorNoMoreItems;
  if (name != nullptr) *name = names[index];
  return kErrorSuccess;
}

Win32Error RegistryEnumValue(HKey key, std::uint32_t index, std::wstring* name, std::uint32_t* type,
                             std::vector<std::uint8_t>* data) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if ((object.access & kKeyQueryValue) == 0) return kErrorAccessDenied;
  auto answer = [&](const HiveValue& value) {
    if (name != nullptr) *name = value.name;
    if (type != nullptr) *type = value.type;
    if (data != nullptr) *data = value.data;
    return kErrorSuccess;
  };
  if (object.kind == Kind::Hive) {
    return WithHiveKey(object, [&](HiveKey& found) -> Win32Error {
      if (index >= found.Values().size()) return kErrorNoMoreItems;
      return answer(found.Values()[index]);
    });
  }
  std::vector<HiveValue> values;
  if (Win32Error error = CollectValues(object, &values)) return error;
  if (index >= values.size()) return kErrorNoMoreItems;
  return answer(values[index]);
}

Win32Error RegistryCloseKey(HKey key) {
  if (key == kHKeyClassesRoot || key == kHKeyCurrentUser || key == kHKeyLocalMachine || key == kHKeyUsers) {
    return kErrorSuccess;
  }
  // Reads no hive: the last refusal stays for the caller to ask about.
  std::lock_guard lock(RegistryMutex());
  if (LiveHandles().erase(key) == 0) return kErrorInvalidHandle;
  delete key;
  return kErrorSuccess;
}

Win32Error RegistryImport(const std::vector<RegistryFileSection>& sections, RegistryFileError* error) {
  if (!CheckRegistryFileSections(sections, error)) return kErrorInvalidParameter;
  Call call;
  // The changes of each hive, in the order of the file.
  struct Change {
    const RegistryFileSection* section;
    std::vector<std::wstring> path;
  };
  struct Target {
    HiveLocation hive;
    std::vector<Change> changes;
  };
  std::vector<Target> targets;
  for (const auto& section : sections) {
    std::wstring_view path = section.path;
    std::size_t slash = path.find(L'\\');
    RegistryKeyObject object;
    std::vector<std::wstring> names;
    Win32Error result = Resolve(RegistryRootByName(path.substr(0, slash)), &object);
    if (result == kErrorSuccess) result = SplitPath(path.substr(slash + 1), &names);
    object.path = names;
    if (result == kErrorSuccess) result = EnterUserHive(&object);
    if (result != kErrorSuccess) {
      *error = {section.line, L"the key \"" + section.path + L"\" cannot be used"};
      return result;
    }
    HiveLocation hive = object.hive;
    if (object.kind == Kind::Classes) {
      hive = object.machineHive;
      object.path = Concat(ClassesPath(), object.path);
    }
    auto target =
        std::find_if(targets.begin(), targets.end(), [&](const Target& t) { return t.hive.file == hive.file; });
    if (target == targets.end()) target = targets.insert(targets.end(), Target{hive, {}});
    target->changes.push_back({&section, std::move(object.path)});
  }
  for (const Target& target : targets) {
    Win32Error result = WriteHive(target.hive, [&](HiveKey& root, bool* changed) -> Win32Error {
      for (const Change& change : target.changes) {
        *changed = true;
        if (change.section->remove) {
          if (change.path.empty()) continue;
          std::vector<std::wstring> parentPath(change.path.begin(), change.path.end() - 1);
          if (HiveKey* parent = FindHiveKey(root, parentPath)) parent->RemoveSubKey(change.path.back());
          continue;
        }
        HiveKey* key = &root;
        bool created = false;
        for (const auto& name : change.path) key = key->AddSubKey(name, &created);
        for (const auto& value : change.section->values) {
          if (value.remove) {
            key->RemoveValue(value.name);
          } else {
            key->SetValue(value.name, value.type, value.data);
          }
        }
      }
      return kErrorSuccess;
    });
    if (result != kErrorSuccess) {
      *error = {target.changes.front().section->line,
                L"the hive " + WideFromUtf8(target.hive.file) + L" could not be changed"};
      return result;
    }
  }
  return kErrorSuccess;
}

std::wstring RegistryLastParseError() { return lastParseError; }

std::wstring RegistryLastRefusal() { return lastRefusal; }

namespace posix {

Win32Error QueryStringWithOrigin(HKey root, std::wstring_view subKey, std::wstring_view name, std::wstring* text,
                                 ValueOrigin* origin) {
  Call call;
  RegistryKeyObject object;
  if (Win32Error error = ResolveSubKey(root, subKey, &object)) return error;
  if (object.kind == Kind::Users) return kErrorFileNotFound;
  std::vector<std::pair<const HiveLocation*, std::vector<std::wstring>>> places;
  if (object.kind == Kind::Classes) {
    // A value of the user's classes hides the machine's of the same name.
    places.push_back({&object.userHive, Concat(ClassesPath(), object.path)});
    places.push_back({&object.machineHive, Concat(ClassesPath(), object.path)});
  } else {
    places.push_back({&object.hive, object.path});
  }
  for (const auto& [hive, path] : places) {
    const HiveValue* found = nullptr;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    uid_t owner = kNoAccount;
    Win32Error result = ReadHive(
        *hive,
        [&](HiveKey& rootKey) {
          HiveKey* key = FindHiveKey(rootKey, path);
          found = key == nullptr ? nullptr : key->FindValue(name);
          if (found != nullptr) {
            type = found->type;
            data = found->data;
          }
          return kErrorSuccess;
        },
        &owner);
    if (result != kErrorSuccess) return result;
    if (found == nullptr) continue;
    if (type != kRegSz && type != kRegExpandSz) return kErrorInvalidData;
    std::u16string units = Utf16FromLeBytes(data);
    while (!units.empty() && units.back() == u'\0') units.pop_back();
    *text = WideFromUtf16(units);
    *origin = {hive->file, owner};
    return kErrorSuccess;
  }
  return kErrorFileNotFound;
}

bool TrustsOrigin(const ValueOrigin& origin) { return origin.owner != kNoAccount && TrustsAccount(origin.owner); }

}  // namespace posix

}  // namespace wl::platform
