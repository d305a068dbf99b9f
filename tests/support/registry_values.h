// Helpers of the tests from the registry layer up: values written and read
// through the registry's API, and the product's keys removed.
#pragma once

#include <cstdint>
#include <string_view>

#include "registry/registry.h"
#include "tests/support/test_support.h"

namespace wl::test {

// Creates the key when missing and sets one value in it.
inline Win32Error SetValue(platform::HKey root, std::wstring_view subKey, std::wstring_view name, std::uint32_t type,
                           const Bytes& data) {
  platform::HKey key = nullptr;
  Win32Error result = platform::RegistryCreateKey(root, subKey, platform::kKeyAllAccess, &key, nullptr);
  if (result != 0) return result;
  result = platform::RegistrySetValue(key, name, type, data.data(), static_cast<std::uint32_t>(data.size()));
  (void)platform::RegistryCloseKey(key);
  return result;
}

// REG_DWORD, or REG_QWORD with bytes = 8, little-endian.
inline Win32Error SetNumber(platform::HKey root, std::wstring_view subKey, std::wstring_view name, std::uint64_t value,
                            int bytes = 4) {
  Bytes data;
  for (int i = 0; i < bytes; ++i) data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return SetValue(root, subKey, name, bytes == 4 ? platform::kRegDword : platform::kRegQword, data);
}

inline Win32Error SetString(platform::HKey root, std::wstring_view subKey, std::wstring_view name,
                            std::wstring_view value, std::uint32_t type = platform::kRegSz) {
  return SetValue(root, subKey, name, type, Utf16Bytes(value));
}

// Reads a REG_DWORD; the code of the first call that fails.
inline Win32Error GetDword(platform::HKey root, std::wstring_view subKey, std::wstring_view name,
                           std::uint32_t* value) {
  platform::HKey key = nullptr;
  if (Win32Error result = platform::RegistryOpenKey(root, subKey, platform::kKeyRead, &key)) return result;
  std::uint32_t size = 4;
  Win32Error result = platform::RegistryQueryValue(key, name, nullptr, value, &size);
  (void)platform::RegistryCloseKey(key);
  return result;
}

// Under Wine the product's keys live in the prefix's registry, not in the
// temporary root, so tests remove them.
inline void RemoveProductKeys() {
  (void)platform::RegistryDeleteKeyTree(platform::kHKeyLocalMachine, L"Software\\Kestrix");
  (void)platform::RegistryDeleteKeyTree(platform::kHKeyCurrentUser, L"Software\\Kestrix");
}

}  // namespace wl::test
