// The registry contract: the same cases run against the real registry
// (Windows build, under a temporary HKCU key) and against the hive files of
// the Linux stand-in (in a temporary machine root).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "registry/registry_file.h"
#include "tests/support/registry_test_support.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace {

using namespace wl;
using namespace wl::platform;
using test::Bytes;
using test::RegistryTest;
using test::Utf16Bytes;

TEST_F(RegistryTest, KeyNamesCompareWithoutCaseKeepTheirCaseAndEnumerateInOrder) {
  bool created = false;
  HKey key = nullptr;
  ASSERT_EQ(RegistryCreateKey(base_, L"List\\b", kKeyAllAccess, &key, &created), 0u);
  EXPECT_TRUE(created);
  EXPECT_EQ(RegistryCloseKey(key), 0u);
  ASSERT_EQ(RegistryCreateKey(base_, L"LIST\\B", kKeyAllAccess, &key, &created), 0u);
  EXPECT_FALSE(created);
  EXPECT_EQ(RegistryCloseKey(key), 0u);
  ASSERT_EQ(RegistryOpenKey(kHKeyCurrentUser, baseName_ + L"\\list\\B\\", kKeyRead, &key), 0u);
  EXPECT_EQ(RegistryCloseKey(key), 0u);
  Create(L"List\\A");
  Create(L"list\\c");

  HKey list = Open(L"List");
  std::vector<std::wstring> names;
  std::wstring name;
  std::uint32_t index = 0;
  for (; RegistryEnumKey(list, index, &name) == 0; ++index) names.push_back(name);
  EXPECT_EQ(RegistryEnumKey(list, index, &name), kErrorNoMoreItems);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"A", L"b", L"c"}));
  ASSERT_EQ(RegistryEnumKey(base_, 0, &name), 0u);
  EXPECT_EQ(name, L"List");

  EXPECT_EQ(OpenCode(L"Missing"), kErrorFileNotFound);
  EXPECT_EQ(RegistryOpenKey(nullptr, L"List", kKeyRead, &key), kErrorBadArguments);
  EXPECT_EQ(OpenCode(L"\\List"), kErrorBadPathname);
  EXPECT_EQ(RegistryCloseKey(kHKeyLocalMachine), 0u);
}

TEST_F(RegistryTest, QueryReportsSizesAndCodes) {
  HKey key = Create(L"Query");
  Bytes hello = Utf16Bytes(L"hello");
  ASSERT_EQ(RegistrySetValue(key, L"Greeting", kRegSz, hello.data(), static_cast<std::uint32_t>(hello.size())), 0u);

  std::uint32_t type = 0, size = 0;
  EXPECT_EQ(RegistryQueryValue(key, L"GREETING", &type, nullptr, &size), 0u);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 12u);
  std::uint8_t small[4] = {};
  size = sizeof small;
  EXPECT_EQ(RegistryQueryValue(key, L"Greeting", &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(RegistryQueryValue(key, L"Missing", &type, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(RegistryQueryValue(key, L"Greeting", &type, small, nullptr), kErrorInvalidParameter);
  EXPECT_EQ(RegistrySetValue(key, L"Null", kRegDword, nullptr, 4), kErrorNoAccess);

  std::uint32_t number = 7;
  ASSERT_EQ(RegistrySetValue(key, L"greeting", kRegDword, &number, sizeof number), 0u);
  std::wstring name;
  ASSERT_EQ(RegistryEnumValue(key, 0, &name, &type, nullptr), 0u);
  EXPECT_EQ(name, L"Greeting") << "a value set again keeps the case of its name";
  EXPECT_EQ(type, kRegDword);
}

TEST_F(RegistryTest, EveryTypeRoundTripsThroughTheApi) {
  ASSERT_EQ(SetEveryType(Create(L"Types")), 0u);
  ExpectEveryType(Open(L"Types"));
}

TEST_F(RegistryTest, AccessMaskOfTheHandleIsEnforced) {
  Create(L"Guarded");
  std::uint32_t number = 1, size = 4;
  std::wstring name;
  HKey reader = Open(L"Guarded");
  EXPECT_EQ(RegistrySetValue(reader, L"x", kRegDword, &number, 4), kErrorAccessDenied);
  EXPECT_EQ(RegistryDeleteValue(reader, L"x"), kErrorAccessDenied);
  HKey writer = Open(L"Guarded", kKeySetValue);
  ASSERT_EQ(RegistrySetValue(writer, L"x", kRegDword, &number, 4), 0u);
  EXPECT_EQ(RegistryQueryValue(writer, L"x", nullptr, &number, &size), kErrorAccessDenied);
  EXPECT_EQ(RegistryEnumKey(writer, 0, &name), kErrorAccessDenied);
  EXPECT_EQ(RegistryEnumValue(writer, 0, &name, nullptr, nullptr), kErrorAccessDenied);
  EXPECT_EQ(RegistryQueryValue(reader, L"x", nullptr, &number, &size), 0u);
}

TEST_F(RegistryTest, DeleteValueAndKeyTreeAndHandlesOfDeletedKeys) {
  HKey key = Create(L"Tree\\Child");
  HKey child = Create(L"Tree\\Child\\Grandchild");
  std::uint32_t number = 1, size = 4;
  ASSERT_EQ(RegistrySetValue(key, L"v", kRegDword, &number, 4), 0u);
  EXPECT_EQ(RegistryDeleteValue(key, L"V"), 0u);
  EXPECT_EQ(RegistryQueryValue(key, L"v", nullptr, nullptr, nullptr), kErrorFileNotFound);
  EXPECT_EQ(RegistryDeleteValue(key, L"v"), kErrorFileNotFound);

  EXPECT_EQ(RegistryDeleteKeyTree(base_, L"tree"), 0u);
  EXPECT_EQ(OpenCode(L"Tree"), kErrorFileNotFound);
  EXPECT_EQ(RegistryDeleteKeyTree(base_, L"Tree"), kErrorFileNotFound);
  // Never empty a whole root by accident.
  EXPECT_EQ(RegistryDeleteKeyTree(kHKeyCurrentUser, L""), kErrorAccessDenied);

  std::wstring name;
  HKey sub = nullptr;
  EXPECT_EQ(RegistryQueryValue(key, L"x", nullptr, &number, &size), kErrorKeyDeleted);
  EXPECT_EQ(RegistrySetValue(key, L"x", kRegDword, &number, 4), kErrorKeyDeleted);
  EXPECT_EQ(RegistryEnumKey(key, 0, &name), kErrorKeyDeleted);
  EXPECT_EQ(RegistryEnumValue(key, 0, &name, nullptr, nullptr), kErrorKeyDeleted);
  EXPECT_EQ(RegistryCreateKey(key, L"New", kKeyAllAccess, &sub, nullptr), kErrorKeyDeleted);
  EXPECT_EQ(RegistryQueryValue(child, L"x", nullptr, &number, &size), kErrorKeyDeleted);
}

TEST_F(RegistryTest, ChangesOfOtherProcessesAreSeenAtOnce) {
  HKey key = Create(L"Shared");
  // Same size every time, so only a real re-read can tell the values apart.
  for (std::uint32_t round = 1; round <= 3; ++round) {
    ASSERT_EQ(test::RunChild({L"registry-set-dword", baseName_ + L"\\Shared", L"Value", std::to_wstring(round)}), 0);
    std::uint32_t value = 0, size = 4;
    ASSERT_EQ(RegistryQueryValue(key, L"Value", nullptr, &value, &size), 0u);
    EXPECT_EQ(value, round);
  }
}

TEST_F(RegistryTest, TwoProcessesWritingTheSameKeyLoseNothing) {
  constexpr int kCount = 1000;
  std::wstring subKey = baseName_ + L"\\Busy";
  auto first = test::StartChild({L"registry-write-many", subKey, L"first", std::to_wstring(kCount)});
  auto second = test::StartChild({L"registry-write-many", subKey, L"second", std::to_wstring(kCount)});
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0);

  auto values = AllValues(Open(L"Busy"));
  EXPECT_EQ(values.size(), 2u * kCount);
  for (std::wstring prefix : {L"first", L"second"}) {
    for (std::uint32_t i = 0; i < kCount; ++i) {
      auto found = values.find(prefix + std::to_wstring(i));
      ASSERT_NE(found, values.end()) << Utf8FromWide(prefix) << i;
      Bytes expected(4);
      std::memcpy(expected.data(), &i, 4);
      EXPECT_EQ(found->second.data, expected);
    }
  }
}

TEST_F(RegistryTest, KeyDepthAndValueNamesHaveTheRegistrysLimits) {
  // A value name may have 16383 characters, no more.
  HKey key = Create(L"Limits");
  std::uint32_t number = 1;
  EXPECT_EQ(RegistrySetValue(key, std::wstring(16383, L'v'), kRegDword, &number, 4), 0u);
  EXPECT_EQ(RegistrySetValue(key, std::wstring(16384, L'v'), kRegDword, &number, 4), kErrorInvalidParameter);
  EXPECT_EQ(AllValues(key).size(), 1u);

  // A tree is at most 512 levels deep. Wine sets no such limit.
  if (WineVersion()) GTEST_SKIP() << "Wine does not limit the depth of keys";
  std::wstring path = L"Software";
  while (std::count(path.begin(), path.end(), L'\\') < 511) path += L"\\k";
  HKey deepest = nullptr;
  ASSERT_EQ(RegistryCreateKey(kHKeyCurrentUser, path, kKeyAllAccess, &deepest, nullptr), 0u);
  handles_.push_back(deepest);
  HKey tooDeep = nullptr;
  EXPECT_EQ(RegistryCreateKey(deepest, L"k", kKeyAllAccess, &tooDeep, nullptr), kErrorInvalidParameter);
  EXPECT_EQ(RegistryCreateKey(kHKeyCurrentUser, path + L"\\k\\k", kKeyAllAccess, &tooDeep, nullptr),
            kErrorInvalidParameter);
  EXPECT_EQ(RegistryOpenKey(deepest, L"k", kKeyRead, &tooDeep), kErrorFileNotFound);
  EXPECT_EQ(RegistryDeleteKeyTree(kHKeyCurrentUser, L"Software\\k"), 0u);
}

TEST_F(RegistryTest, ManyValuesAndKeysEnumerateInOrder) {
  // Enough that enumeration must cost the same for each step: copying the
  // whole key at each step would take hours here.
  constexpr int kValues = 40000, kKeys = 20000;
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Wide]\r\n";
  for (int i = 0; i < kValues; ++i) text += "\"v" + std::to_string(100000 + i) + "\"=dword:00000001\r\n";
  for (int i = 0; i < kKeys; ++i) {
    text += "\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Wide\\k" + std::to_string(100000 + i) + "]\r\n";
  }
  std::vector<RegistryFileSection> sections;
  RegistryFileError problem;
  ASSERT_TRUE(ParseRegistryFile(text, RegistryFileUse::Import, &sections, &problem));
  ASSERT_EQ(RegistryImport(sections, &problem), 0u);
  HKey key = Open(L"Wide");
  int values = 0, keys = 0;
  for (std::uint32_t index = 0;; ++index) {
    std::wstring name;
    std::uint32_t type = 0;
    Bytes data;
    if (RegistryEnumValue(key, index, &name, &type, &data) != 0) break;
    if (name != L"v" + std::to_wstring(100000 + values)) break;
    ++values;
  }
  for (std::uint32_t index = 0;; ++index) {
    std::wstring name;
    if (RegistryEnumKey(key, index, &name) != 0 || name != L"k" + std::to_wstring(100000 + keys)) break;
    ++keys;
  }
  EXPECT_EQ(values, kValues);
  EXPECT_EQ(keys, kKeys);
}

}  // namespace
