#include "host/registry_target.h"

#include "diagnostics/format.h"
#include "platform/text.h"
#include "registry/registry.h"

namespace wl {
namespace {

using platform::HKey;

HKey SystemRoot(RegistrarRoot root) {
  switch (root) {
    case RegistrarRoot::kClassesRoot:
      return platform::kHKeyClassesRoot;
    case RegistrarRoot::kCurrentUser:
      return platform::kHKeyCurrentUser;
    case RegistrarRoot::kLocalMachine:
      return platform::kHKeyLocalMachine;
    case RegistrarRoot::kUsers:
      return platform::kHKeyUsers;
    default:
      return nullptr;
  }
}

// An open key that closes itself.
class OpenKey {
 public:
  Win32Error Open(RegistrarRoot root, std::wstring_view path, std::uint32_t access) {
    HKey system = SystemRoot(root);
    if (system == nullptr) return kErrorInvalidHandle;
    return platform::RegistryOpenKey(system, path, access, key_.Receive());
  }
  [[nodiscard]] HKey Get() const { return key_.Get(); }

 private:
  platform::UniqueKey key_;
};

std::wstring Upper(std::wstring_view name) {
  std::wstring upper(name);
  for (wchar_t& c : upper) c = platform::RegistryUpperCase(c);
  return upper;
}

std::vector<std::wstring> Split(std::wstring_view path) {
  std::vector<std::wstring> parts;
  while (!path.empty()) {
    std::size_t slash = path.find(L'\\');
    parts.emplace_back(path.substr(0, slash));
    path.remove_prefix(slash == std::wstring_view::npos ? path.size() : slash + 1);
  }
  return parts;
}

}  // namespace

Win32Error SystemRegistryTarget::CreateKey(RegistrarRoot root, std::wstring_view path) {
  HKey system = SystemRoot(root);
  if (system == nullptr) return kErrorInvalidHandle;
  platform::UniqueKey key;
  return platform::RegistryCreateKey(system, path, platform::kKeyAllAccess, key.Receive(), nullptr);
}

Win32Error SystemRegistryTarget::QueryKey(RegistrarRoot root, std::wstring_view path, bool* exists, bool* hasSubKeys) {
  *exists = *hasSubKeys = false;
  OpenKey key;
  Win32Error result = key.Open(root, path, platform::kKeyRead);
  if (result == kErrorFileNotFound) return kErrorSuccess;
  if (result != kErrorSuccess) return result;
  *exists = true;
  std::wstring name;
  result = platform::RegistryEnumKey(key.Get(), 0, &name);
  *hasSubKeys = result == kErrorSuccess;
  return result == kErrorNoMoreItems ? kErrorSuccess : result;
}

Win32Error SystemRegistryTarget::SetValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name,
                                          std::uint32_t type, const std::vector<std::uint8_t>& data) {
  OpenKey key;
  if (Win32Error result = key.Open(root, path, platform::kKeyAllAccess)) return result;
  return platform::RegistrySetValue(key.Get(), name, type, data.data(), static_cast<std::uint32_t>(data.size()));
}

Win32Error SystemRegistryTarget::DeleteValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name) {
  OpenKey key;
  if (Win32Error result = key.Open(root, path, platform::kKeyAllAccess)) return result;
  return platform::RegistryDeleteValue(key.Get(), name);
}

Win32Error SystemRegistryTarget::DeleteKeyTree(RegistrarRoot root, std::wstring_view path) {
  HKey system = SystemRoot(root);
  if (system == nullptr) return kErrorInvalidHandle;
  return platform::RegistryDeleteKeyTree(system, path);
}

MemoryRegistryTarget::Key* MemoryRegistryTarget::Find(RegistrarRoot root, std::wstring_view path) {
  Key* key = &roots_[root];
  for (const std::wstring& part : Split(path)) {
    auto found = key->keys.find(Upper(part));
    if (found == key->keys.end()) return nullptr;
    key = &found->second;
  }
  return key;
}

bool MemoryRegistryTarget::Change() { return changes++ != failAt; }

Win32Error MemoryRegistryTarget::CreateKey(RegistrarRoot root, std::wstring_view path) {
  if (!Change()) return kErrorAccessDenied;
  Key* key = &roots_[root];
  for (const std::wstring& part : Split(path)) {
    Key& child = key->keys[Upper(part)];
    if (child.name.empty()) child.name = part;
    key = &child;
  }
  return kErrorSuccess;
}

Win32Error MemoryRegistryTarget::QueryKey(RegistrarRoot root, std::wstring_view path, bool* exists, bool* hasSubKeys) {
  Key* key = Find(root, path);
  *exists = key != nullptr;
  *hasSubKeys = key != nullptr && !key->keys.empty();
  return kErrorSuccess;
}

Win32Error MemoryRegistryTarget::SetValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name,
                                          std::uint32_t type, const std::vector<std::uint8_t>& data) {
  Key* key = Find(root, path);
  if (key == nullptr) return kErrorFileNotFound;
  if (!Change()) return kErrorAccessDenied;
  key->values[Upper(name)] = {type, data};
  key->valueNames.try_emplace(Upper(name), name);
  return kErrorSuccess;
}

Win32Error MemoryRegistryTarget::DeleteValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name) {
  Key* key = Find(root, path);
  if (key == nullptr || key->values.count(Upper(name)) == 0) return kErrorFileNotFound;
  if (!Change()) return kErrorAccessDenied;
  key->values.erase(Upper(name));
  key->valueNames.erase(Upper(name));
  return kErrorSuccess;
}

Win32Error MemoryRegistryTarget::DeleteKeyTree(RegistrarRoot root, std::wstring_view path) {
  std::vector<std::wstring> parts = Split(path);
  if (parts.empty()) return kErrorAccessDenied;
  std::wstring last = parts.back();
  parts.pop_back();
  Key* parent = &roots_[root];
  for (const std::wstring& part : parts) {
    auto found = parent->keys.find(Upper(part));
    if (found == parent->keys.end()) return kErrorFileNotFound;
    parent = &found->second;
  }
  if (parent->keys.count(Upper(last)) == 0) return kErrorFileNotFound;
  if (!Change()) return kErrorAccessDenied;
  parent->keys.erase(Upper(last));
  return kErrorSuccess;
}

void MemoryRegistryTarget::DumpKey(const Key& key, const std::wstring& path,
                                   std::map<std::wstring, std::wstring>* out) {
  (*out)[path] = L"";
  for (const auto& [upper, value] : key.values) {
    std::wstring bytes;
    for (std::uint8_t b : value.data) bytes += Format(L"{:02x}", b);
    (*out)[path + L":" + key.valueNames.at(upper)] = Format(L"{}:{}", value.type, bytes);
  }
  for (const auto& [upper, child] : key.keys) DumpKey(child, path + L"\\" + child.name, out);
}

std::map<std::wstring, std::wstring> MemoryRegistryTarget::Dump() const {
  std::map<std::wstring, std::wstring> out;
  for (const auto& [root, key] : roots_) {
    for (const auto& [upper, child] : key.keys) {
      DumpKey(child, std::wstring(RegistrarRootName(root)) + L"\\" + child.name, &out);
    }
  }
  return out;
}

}  // namespace wl
