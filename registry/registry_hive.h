// One hive of the registry stand-in in memory: a tree of keys with typed
// values, read from and written to the sections of a hive file. Portable;
// registry/posix/hive_store.cpp keeps it in files and
// registry/posix/registry.cpp hands out handles to its keys.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/registry_file.h"

namespace wl::platform {

struct HiveValue {
  std::wstring name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// A key: names compare case-insensitively and keep the case they were
// created with. Sub-keys are kept in the registry's sort order (which is the
// order of enumeration); values in the order they were first set.
class HiveKey {
 public:
  explicit HiveKey(std::wstring name = {}) : name_(std::move(name)) {}
  // Frees the tree below without recursion, however deep it is.
  ~HiveKey();
  HiveKey(const HiveKey&) = delete;
  HiveKey& operator=(const HiveKey&) = delete;

  const std::wstring& Name() const { return name_; }
  const std::vector<std::unique_ptr<HiveKey>>& SubKeys() const { return subKeys_; }
  const std::vector<HiveValue>& Values() const { return values_; }

  HiveKey* FindSubKey(std::wstring_view name) const;
  // The sub-key, added when missing; *created tells which.
  HiveKey* AddSubKey(std::wstring_view name, bool* created);
  // False when there is no such sub-key.
  bool RemoveSubKey(std::wstring_view name);

  const HiveValue* FindValue(std::wstring_view name) const;
  // Replaces type and data of an existing value (keeping its name's case and
  // place) or appends a new one.
  void SetValue(std::wstring_view name, std::uint32_t type, std::vector<std::uint8_t> data);
  bool RemoveValue(std::wstring_view name);

 private:
  std::size_t LowerBound(std::wstring_view name) const;

  std::wstring name_;
  std::vector<std::unique_ptr<HiveKey>> subKeys_;
  std::vector<HiveValue> values_;
  // Upper-cased value name -> place in values_, so that a key with many
  // values is still read and changed quickly.
  std::unordered_map<std::wstring, std::size_t> valueIndex_;
};

// The key at path below root (each element one key name), or null.
HiveKey* FindHiveKey(HiveKey& root, const std::vector<std::wstring>& path);

// Builds the tree of a hive whose sections all lie under prefix (the hive's
// full name, "HKEY_LOCAL_MACHINE" or "HKEY_USERS\S-1-5-18"). Sections may
// repeat; a value set twice keeps the last data. False with the line and
// reason for a section outside the hive, with an unusable key or value name
// or deeper than kMaxKeyDepth.
bool HiveFromSections(const std::vector<RegistryFileSection>& sections, std::wstring_view prefix, HiveKey* root,
                      RegistryFileError* error);

// Reads the bytes of a hive file into the tree below root (ParseRegistryFile
// as a hive, then HiveFromSections): what the stand-in does with every hive
// file it loads. False with the line and reason of the first problem; root
// may then hold part of the file.
bool ParseHive(std::string_view bytes, std::wstring_view prefix, HiveKey* root, RegistryFileError* error);

// The UTF-8 text of the hive file, parents before children: a section for
// every key except the root, which has one only when it has values, between
// the lines kHiveStartMarker and kHiveEndMarker.
std::string FormatHive(const HiveKey& root, std::wstring_view prefix, std::string_view lineEnd);

}  // namespace wl::platform
