// The key API of the registry stand-in: handles (registry/posix/key_object.h)
// over the hive store (registry/posix/hive_store.h). Every call resolves its
// handle on the hives as they are now.
#include "registry/registry.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "platform/posix/account_posix.h"
#include "platform/text.h"
#include "registry/posix/hive_store.h"
#include "registry/posix/key_object.h"
#include "registry/posix/registry_origin.h"
#include "registry/registry_hive.h"

namespace wl::platform {

const HKey kHKeyClassesRoot = reinterpret_cast<HKey>(std::uintptr_t{0x80000000});
const HKey kHKeyCurrentUser = reinterpret_cast<HKey>(std::uintptr_t{0x80000001});
const HKey kHKeyLocalMachine = reinterpret_cast<HKey>(std::uintptr_t{0x80000002});
const HKey kHKeyUsers = reinterpret_cast<HKey>(std::uintptr_t{0x80000003});

namespace {

using posix::HiveExists;
using posix::HiveLocation;
using posix::ListUserHives;
using posix::MachineHive;
using posix::ReadHive;
using posix::RegistryCall;
using posix::RegistryMutex;
using posix::UserHive;
using posix::UsersFolder;
using posix::WriteHive;
using Kind = RegistryKeyObject::Kind;

constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kMaximumAllowed = 0x02000000;

// The registry's state is never destroyed: singletons of the library read
// the registry while they are destroyed at process exit, after function-local
// statics created later than the singleton tracker are gone.
std::set<HKey>& LiveHandles() {
  static auto* handles = new std::set<HKey>;
  return *handles;
}

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
  RegistryCall call;
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
  RegistryCall call;
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
  RegistryCall call;
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
  RegistryCall call;
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
  RegistryCall call;
  RegistryKeyObject object;
  if (Win32Error error = Resolve(key, &object)) return error;
  if ((object.access & kKeySetValue) == 0) return kErrorAccessDenied;
  return ChangeKey(object, [&](HiveKey& target, bool* changed) {
    *changed = target.RemoveValue(valueName);
    return *changed ? kErrorSuccess : kErrorFileNotFound;
  });
}

Win32Error RegistryDeleteKeyTree(HKey root, std::wstring_view subKey) {
  RegistryCall call;
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
  RegistryCall call;
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
  RegistryCall call;
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
  RegistryCall call;
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

namespace posix {

Win32Error QueryStringWithOrigin(HKey root, std::wstring_view subKey, std::wstring_view name, std::wstring* text,
                                 ValueOrigin* origin) {
  RegistryCall call;
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
