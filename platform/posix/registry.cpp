// The registry stand-in: hive files under <root>/registry/ in the Registry
// Editor export format (platform/registry_file.h), HKLM.reg for
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
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>

#include "platform/machine_root.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/directories.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/errors.h"
#include "platform/registry_hive.h"
#include "platform/text.h"

namespace wl::platform {

const HKey kHKeyClassesRoot = reinterpret_cast<HKey>(std::uintptr_t{0x80000000});
const HKey kHKeyCurrentUser = reinterpret_cast<HKey>(std::uintptr_t{0x80000001});
const HKey kHKeyLocalMachine = reinterpret_cast<HKey>(std::uintptr_t{0x80000002});
const HKey kHKeyUsers = reinterpret_cast<HKey>(std::uintptr_t{0x80000003});

namespace {

// Where a hive lives and the full name its sections start with.
struct HiveLocation {
  std::string file;
  std::wstring prefix;
  bool alwaysExists = false;  // HKLM and the process's own user hive
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

// The hive file names in users/, without ".reg".
std::vector<std::wstring> ListUserHives(const std::string& folder) {
  std::vector<std::wstring> names;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return names;
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".reg") == 0) {
      names.push_back(WideFromUtf8(name.substr(0, name.size() - 4)));
    }
  }
  closedir(directory);
  return names;
}

std::string RegistryFolder() { return Utf8FromWide(MachineRoot()) + "/registry"; }

HiveLocation MachineHive() { return {RegistryFolder() + "/HKLM.reg", L"HKEY_LOCAL_MACHINE", true}; }

HiveLocation UserHive(const std::string& usersFolder, std::wstring_view name) {
  std::wstring actual(name);
  std::string file = usersFolder + "/" + Utf8FromWide(name) + ".reg";
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) {
    // Names are case-insensitive; the file keeps the case it was made with.
    for (const auto& existing : ListUserHives(usersFolder)) {
      if (RegistryNamesEqual(existing, name)) {
        actual = existing;
        file = usersFolder + "/" + Utf8FromWide(existing) + ".reg";
        break;
      }
    }
  }
  bool own = RegistryNamesEqual(name, posix::ProcessUserSidString());
  return {file, L"HKEY_USERS\\" + actual, own};
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
  std::unique_ptr<HiveKey> root;
};

std::map<std::string, CachedHive>& Cache() {
  static auto* cache = new std::map<std::string, CachedHive>;
  return *cache;
}

[[nodiscard]] Win32Error ReadError(int error) {
  Win32Error code = posix::Win32FromErrno(error);
  return code == kErrorAccessDenied ? code : kErrorCantRead;
}

[[nodiscard]] Win32Error WriteError(int error) {
  if (error == ENOSPC || error == EDQUOT) return kErrorDiskFull;
  Win32Error code = posix::Win32FromErrno(error);
  return code == kErrorAccessDenied ? code : kErrorCantWrite;
}

// A user's hive and its lock file belong to that user, also when the
// system account (root) made them, so that the user can write them later.
void GiveToHiveOwner(int descriptor, const HiveLocation& hive) {
  constexpr std::wstring_view kUsers = L"HKEY_USERS\\";
  unsigned uid = 0;
  if (geteuid() != 0 || !hive.prefix.starts_with(kUsers) ||
      !posix::UidOfSid(std::wstring_view(hive.prefix).substr(kUsers.size()), &uid) || uid == 0) {
    return;
  }
  [[maybe_unused]] int ignored = fchown(descriptor, static_cast<uid_t>(uid), static_cast<gid_t>(-1));
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
}

// The hive as the file holds it now (an empty hive when there is no file).
// The lock on the hive must be held, unless there is no lock file to take
// (then the cache is not trusted). The tree stays owned by the cache.
[[nodiscard]] Win32Error LoadHive(const HiveLocation& hive, int lockDescriptor, HiveKey** root) {
  // Every test root adds its hives; keep the cache to the hives in use.
  if (Cache().size() >= 32 && Cache().count(hive.file) == 0) Cache().clear();
  CachedHive& cached = Cache()[hive.file];
  std::uint64_t generation = lockDescriptor >= 0 ? ReadGeneration(lockDescriptor) : ~std::uint64_t{0};
  posix::Descriptor file = posix::OpenDescriptor(hive.file, O_RDONLY);
  if (!file.Valid()) {
    if (errno != ENOENT) return ReadError(errno);
    cached = CachedHive{};
    cached.generation = generation;
    cached.root = std::make_unique<HiveKey>();
    *root = cached.root.get();
    return kErrorSuccess;
  }
  struct stat info {};
  if (fstat(file.Get(), &info) != 0) return ReadError(errno);
  if (lockDescriptor >= 0 && SameFile(cached, generation, info)) {
    *root = cached.root.get();
    return kErrorSuccess;
  }
  std::string bytes;
  if (int error = posix::ReadAll(file.Get(), &bytes); error != 0) return ReadError(error);
  (void)file.Close();
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

// Writes the tree to <hive>.new, flushes it and renames it over the hive.
[[nodiscard]] Win32Error SaveHive(const HiveLocation& hive, int lockDescriptor, const HiveKey& root) {
  std::string bytes = FormatHive(root, hive.prefix, "\n");
  std::string temporary = hive.file + ".new";
  posix::Descriptor file = posix::OpenDescriptor(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!file.Valid()) return WriteError(errno);
  int descriptor = file.Get();
  // A replaced hive keeps its owner and permissions; a user's hive is the
  // user's in any case.
  struct stat old {};
  if (stat(hive.file.c_str(), &old) == 0) {
    [[maybe_unused]] int ignored = fchown(descriptor, old.st_uid, old.st_gid);
    fchmod(descriptor, old.st_mode & 07777);
  }
  GiveToHiveOwner(descriptor, hive);
  int error = posix::WriteAll(descriptor, bytes);
  if (error == 0) error = posix::SyncAll(descriptor);
  if (int closed = file.Close(); error == 0) error = closed;
  if (error == 0 && rename(temporary.c_str(), hive.file.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    Cache().erase(hive.file);
    return WriteError(error);
  }
  std::uint64_t generation = ReadGeneration(lockDescriptor) + 1;
  WriteGeneration(lockDescriptor, generation);
  CachedHive& cached = Cache()[hive.file];
  struct stat info {};
  if (stat(hive.file.c_str(), &info) != 0) {
    Cache().erase(hive.file);
    return kErrorSuccess;
  }
  RememberFile(cached, generation, info);
  return kErrorSuccess;
}

class HiveLock {
 public:
  HiveLock(const HiveLocation& hive, bool exclusive, bool create) {
    std::string path = hive.file + ".lock";
    file_ = posix::OpenDescriptor(path, O_RDWR | (create ? O_CREAT : 0), 0666);
    if (file_.Valid() && create) GiveToHiveOwner(file_.Get(), hive);
    // A reader without write permission still takes its shared lock.
    if (!file_.Valid() && errno == EACCES && !exclusive) file_ = posix::OpenDescriptor(path, O_RDONLY);
    if (!file_.Valid()) {
      error_ = errno;
      return;
    }
    error_ = posix::LockFile(file_.Get(), exclusive ? LOCK_EX : LOCK_SH);
    if (error_ != 0) (void)file_.Close();
  }
  // Closing the file releases the lock.
  ~HiveLock() = default;
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;

  int Descriptor() const { return file_.Get(); }
  int Error() const { return error_; }

 private:
  posix::Descriptor file_;
  int error_ = 0;
};

// Runs use(root) on the current tree of the hive under a shared lock.
template <typename Use>
[[nodiscard]] Win32Error ReadHive(const HiveLocation& hive, Use&& use) {
  // Readers never create the lock file: without one no writer has been
  // here, and the hive (if any) is read without a lock and without trusting
  // the cache.
  HiveLock lock(hive, false, false);
  HiveKey* root = nullptr;
  Win32Error result = LoadHive(hive, lock.Descriptor(), &root);
  if (result != kErrorSuccess) return result;
  return use(*root);
}

// Runs change(root, &changed) on the current tree of the hive under the
// exclusive lock, and saves the tree when the change succeeded and changed
// something.
template <typename Change>
[[nodiscard]] Win32Error WriteHive(const HiveLocation& hive, Change&& change) {
  // Every user keeps its own hive in users/, which all of them share.
  auto slash = hive.file.rfind('/');
  std::string folder = hive.file.substr(0, slash);
  bool userHive = folder == UsersFolder();
  int made = userHive ? posix::MakeSharedDirectories(folder) : posix::MakeDirectories(folder);
  if (made != 0) return WriteError(made);
  HiveLock lock(hive, true, true);
  if (lock.Descriptor() < 0) return WriteError(lock.Error());
  HiveKey* root = nullptr;
  Win32Error result = LoadHive(hive, lock.Descriptor(), &root);
  if (result != kErrorSuccess) return result;
  bool changed = false;
  result = change(*root, &changed);
  if (result != kErrorSuccess || !changed) {
    // A failed change may have touched the cached tree; read it anew.
    if (result != kErrorSuccess) Cache().erase(hive.file);
    return result;
  }
  return SaveHive(hive, lock.Descriptor(), *root);
}

bool FileExists(const std::string& file) {
  struct stat info {};
  return stat(file.c_str(), &info) == 0;
}

// ---- Keys -----------------------------------------------------------------

// Calls use(key) with the key of a Kind::Hive object: 1018 when it is gone.
template <typename Use>
[[nodiscard]] Win32Error WithHiveKey(const RegistryKeyObject& object, Use&& use) {
  return ReadHive(object.hive, [&](HiveKey& root) -> Win32Error {
    HiveKey* key = FindHiveKey(root, object.path);
    if (key == nullptr) {
      if (!object.path.empty() || !(object.hive.alwaysExists || FileExists(object.hive.file))) return kErrorKeyDeleted;
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
        *exists = object.hive.alwaysExists || FileExists(object.hive.file);
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
    if (rootOnly && !(hive->alwaysExists || FileExists(hive->file))) return kErrorKeyDeleted;
    return change(*key, changed);
  });
}

}  // namespace

Win32Error RegistryOpenKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result) {
  if (root == nullptr) return kErrorBadArguments;
  if (result == nullptr) return kErrorInvalidParameter;
  std::lock_guard lock(RegistryMutex());
  RegistryKeyObject object;
  if (Win32Error error = Resolve(root, &object)) return error;
  std::vector<std::wstring> names;
  if (Win32Error error = SplitPath(subKey, &names)) return error;
  if (Win32Error error = CheckNotDeleted(object)) return error;
  object.path = Concat(object.path, names);
  if (Win32Error error = EnterUserHive(&object)) return error;
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
  std::lock_guard lock(RegistryMutex());
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
      if (path.empty()) isNew = !FileExists(hive->file);
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
  std::lock_guard lock(RegistryMutex());
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
    if (data != nullptr && needed > 0) std::copy(found->data.begin(), found->data.end(), static_cast<std::uint8_t*>(data));
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
  std::lock_guard lock(RegistryMutex());
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
  std::lock_guard lock(RegistryMutex());
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if ((object.access & kKeySetValue) == 0) return kErrorAccessDenied;
  return ChangeKey(object, [&](HiveKey& target, bool* changed) {
    *changed = target.RemoveValue(valueName);
    return *changed ? kErrorSuccess : kErrorFileNotFound;
  });
}

Win32Error RegistryDeleteKeyTree(HKey root, std::wstring_view subKey) {
  std::lock_guard lock(RegistryMutex());
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
  std::lock_guard lock(RegistryMutex());
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
  std::lock_guard lock(RegistryMutex());
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
  std::lock_guard lock(RegistryMutex());
  if (LiveHandles().erase(key) == 0) return kErrorInvalidHandle;
  delete key;
  return kErrorSuccess;
}

Win32Error RegistryImport(const std::vector<RegistryFileSection>& sections, RegistryFileError* error) {
  if (!CheckRegistryFileSections(sections, error)) return kErrorInvalidParameter;
  std::lock_guard lock(RegistryMutex());
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
    auto target = std::find_if(targets.begin(), targets.end(),
                               [&](const Target& t) { return t.hive.file == hive.file; });
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

}  // namespace wl::platform
