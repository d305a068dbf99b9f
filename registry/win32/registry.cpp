// The registry on the Windows API. The wrappers add only what keeps both
// builds alike: 160 for a null root on open, no deletion of a whole
// predefined root, and string data stored exactly as given.
#include "registry/registry.h"

#include <windows.h>

#include <vector>

namespace wl::platform {

const HKey kHKeyClassesRoot = reinterpret_cast<HKey>(HKEY_CLASSES_ROOT);
const HKey kHKeyCurrentUser = reinterpret_cast<HKey>(HKEY_CURRENT_USER);
const HKey kHKeyLocalMachine = reinterpret_cast<HKey>(HKEY_LOCAL_MACHINE);
const HKey kHKeyUsers = reinterpret_cast<HKey>(HKEY_USERS);

namespace {

HKEY Native(HKey key) { return reinterpret_cast<HKEY>(key); }

bool IsPredefined(HKey key) {
  return key == kHKeyClassesRoot || key == kHKeyCurrentUser || key == kHKeyLocalMachine || key == kHKeyUsers;
}

[[nodiscard]] Win32Error Code(LSTATUS status) { return static_cast<Win32Error>(status); }

}  // namespace

Win32Error RegistryOpenKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result) {
  if (root == nullptr) return kErrorBadArguments;
  if (result == nullptr) return kErrorInvalidParameter;
  std::wstring name(subKey);
  HKEY key = nullptr;
  LSTATUS status = ::RegOpenKeyExW(Native(root), name.c_str(), 0, access, &key);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<HKey>(key);
  return Code(status);
}

Win32Error RegistryCreateKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result, bool* created) {
  if (result == nullptr) return kErrorInvalidParameter;
  std::wstring name(subKey);
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS status = ::RegCreateKeyExW(Native(root), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                     &key, &disposition);
  if (status == ERROR_SUCCESS) {
    *result = reinterpret_cast<HKey>(key);
    if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
  }
  return Code(status);
}

Win32Error RegistryQueryValue(HKey key, std::wstring_view valueName, std::uint32_t* type, void* data,
                              std::uint32_t* size) {
  std::wstring name(valueName);
  DWORD nativeType = 0;
  DWORD nativeSize = size != nullptr ? *size : 0;
  LSTATUS status = ::RegQueryValueExW(Native(key), name.c_str(), nullptr, type != nullptr ? &nativeType : nullptr,
                                      static_cast<BYTE*>(data), size != nullptr ? &nativeSize : nullptr);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    if (type != nullptr) *type = nativeType;
    if (size != nullptr) *size = nativeSize;
  }
  return Code(status);
}

Win32Error RegistrySetValue(HKey key, std::wstring_view valueName, std::uint32_t type, const void* data,
                            std::uint32_t size) {
  std::wstring name(valueName);
  const auto* bytes = static_cast<const BYTE*>(data);
  std::vector<BYTE> padded;
  if (bytes != nullptr && size > 0 && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
    // Windows counts in a terminating null that the caller left out when
    // one follows the data in memory. Store exactly the bytes given: let a
    // non-null unit follow them.
    padded.assign(bytes, bytes + size);
    padded.insert(padded.end(), {0xFF, 0xFF});
    bytes = padded.data();
  }
  return Code(::RegSetValueExW(Native(key), name.c_str(), 0, type, bytes, size));
}

Win32Error RegistryDeleteValue(HKey key, std::wstring_view valueName) {
  std::wstring name(valueName);
  return Code(::RegDeleteValueW(Native(key), name.c_str()));
}

Win32Error RegistryDeleteKeyTree(HKey root, std::wstring_view subKey) {
  // RegDeleteTreeW with an empty sub-key empties the key itself, which for
  // a predefined root would be all of it.
  if (subKey.empty() && IsPredefined(root)) return kErrorAccessDenied;
  std::wstring name(subKey);
  LSTATUS status = ::RegDeleteTreeW(Native(root), name.empty() ? nullptr : name.c_str());
  if (status != ERROR_SUCCESS) return Code(status);
  // Some versions of RegDeleteTreeW leave the key itself; delete it.
  status = ::RegDeleteKeyW(Native(root), name.c_str());
  return status == ERROR_FILE_NOT_FOUND ? kErrorSuccess : Code(status);
}

Win32Error RegistryEnumKey(HKey key, std::uint32_t index, std::wstring* name) {
  wchar_t buffer[256];
  DWORD length = 256;
  LSTATUS status = ::RegEnumKeyExW(Native(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS && name != nullptr) name->assign(buffer, length);
  return Code(status);
}

Win32Error RegistryEnumValue(HKey key, std::uint32_t index, std::wstring* name, std::uint32_t* type,
                             std::vector<std::uint8_t>* data) {
  DWORD maxName = 0, maxData = 0;
  LSTATUS status = ::RegQueryInfoKeyW(Native(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      &maxName, &maxData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return Code(status);
  // Another process may make a value larger between the two calls; grow
  // and try again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::vector<wchar_t> nameBuffer(maxName + 1);
    std::vector<std::uint8_t> dataBuffer(maxData);
    DWORD nameLength = static_cast<DWORD>(nameBuffer.size());
    DWORD dataLength = maxData;
    DWORD nativeType = 0;
    status = ::RegEnumValueW(Native(key), index, nameBuffer.data(), &nameLength, nullptr, &nativeType,
                             dataBuffer.data(), &dataLength);
    if (status == ERROR_MORE_DATA) {
      maxName = maxName * 2 + 256;
      maxData = dataLength > maxData ? dataLength : maxData * 2 + 256;
      continue;
    }
    if (status != ERROR_SUCCESS) return Code(status);
    if (name != nullptr) name->assign(nameBuffer.data(), nameLength);
    if (type != nullptr) *type = nativeType;
    if (data != nullptr) data->assign(dataBuffer.begin(), dataBuffer.begin() + dataLength);
    return kErrorSuccess;
  }
  return Code(status);
}

Win32Error RegistryCloseKey(HKey key) {
  if (IsPredefined(key)) return kErrorSuccess;
  return Code(::RegCloseKey(Native(key)));
}

std::wstring RegistryLastParseError() { return {}; }

std::wstring RegistryLastRefusal() { return {}; }

Win32Error RegistryImport(const std::vector<RegistryFileSection>& sections, RegistryFileError* error) {
  if (!CheckRegistryFileSections(sections, error)) return kErrorInvalidParameter;
  for (const auto& section : sections) {
    std::wstring_view path = section.path;
    std::size_t slash = path.find(L'\\');
    HKey root = RegistryRootByName(path.substr(0, slash));
    std::wstring_view subKey = path.substr(slash + 1);
    auto fail = [&](Win32Error code) {
      *error = {section.line, L"the key \"" + section.path + L"\" could not be changed"};
      return code;
    };
    if (section.remove) {
      Win32Error result = RegistryDeleteKeyTree(root, subKey);
      if (result != kErrorSuccess && result != kErrorFileNotFound) return fail(result);
      continue;
    }
    UniqueKey key;
    if (Win32Error result = RegistryCreateKey(root, subKey, kKeyAllAccess, key.Receive(), nullptr)) {
      return fail(result);
    }
    for (const auto& value : section.values) {
      Win32Error result = value.remove ? RegistryDeleteValue(key.Get(), value.name)
                                       : RegistrySetValue(key.Get(), value.name, value.type, value.data.data(),
                                                          static_cast<std::uint32_t>(value.data.size()));
      if (value.remove && result == kErrorFileNotFound) result = kErrorSuccess;
      if (result != kErrorSuccess) return fail(result);
    }
  }
  return kErrorSuccess;
}

}  // namespace wl::platform
