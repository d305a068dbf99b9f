// The two registries the registrar can change: the machine's (through the
// platform layer) and one held in memory (for tests and fuzzing, where no
// real registry may change).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/registrar.h"

namespace wl {

// The registry of the machine and the calling user. Roots that the
// platform layer does not keep (HKPD, HKDD, HKCC) fail with 6.
class SystemRegistryTarget final : public RegistrarTarget {
 public:
  Win32Error CreateKey(RegistrarRoot root, std::wstring_view path) override;
  Win32Error QueryKey(RegistrarRoot root, std::wstring_view path, bool* exists, bool* hasSubKeys) override;
  Win32Error SetValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name, std::uint32_t type,
                      const std::vector<std::uint8_t>& data) override;
  Win32Error DeleteValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name) override;
  Win32Error DeleteKeyTree(RegistrarRoot root, std::wstring_view path) override;
};

// A registry in memory: one tree per root, names compared without case.
// failAt makes the change of that number (counted from 0 over creations,
// value sets and deletions) fail with 5, so that a test can break a run in
// the middle; the changes after it succeed again.
class MemoryRegistryTarget final : public RegistrarTarget {
 public:
  struct Value {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    bool operator==(const Value&) const = default;
  };

  Win32Error CreateKey(RegistrarRoot root, std::wstring_view path) override;
  Win32Error QueryKey(RegistrarRoot root, std::wstring_view path, bool* exists, bool* hasSubKeys) override;
  Win32Error SetValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name, std::uint32_t type,
                      const std::vector<std::uint8_t>& data) override;
  Win32Error DeleteValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name) override;
  Win32Error DeleteKeyTree(RegistrarRoot root, std::wstring_view path) override;

  // Every key as "HKCR\A\B" (in the case first written) and every value as
  // "HKCR\A\B:name" with "= <type>:<hex bytes>"; keys without values appear
  // with an empty text. Sorted without case.
  [[nodiscard]] std::map<std::wstring, std::wstring> Dump() const;

  long failAt = -1;
  long changes = 0;

 private:
  struct Key {
    std::wstring name;
    std::map<std::wstring, Key> keys;      // by upper-cased name
    std::map<std::wstring, Value> values;  // by upper-cased name
    std::map<std::wstring, std::wstring> valueNames;
  };
  Key* Find(RegistrarRoot root, std::wstring_view path);
  bool Change();
  static void DumpKey(const Key& key, const std::wstring& path, std::map<std::wstring, std::wstring>* out);

  std::map<RegistrarRoot, Key> roots_;
};

}  // namespace wl
