// The fixture of the registry contract and the registry tool's tests: a
// temporary machine root and a fresh key below HKCU\Software\ScribeHostTests,
// deleted afterwards, with helpers that read values back through the API.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl::test {

using platform::HKey;

using namespace wl::platform;

struct TypedValue {
  std::wstring name;
  std::uint32_t type;
  Bytes data;
};

// One value of every kind the registry keeps, including data that the hive
// format can only keep as hex (odd sizes, control characters, no
// terminator, an unknown type).
inline std::vector<TypedValue> EveryType() {
  Bytes multi = Utf16Bytes(L"one"), two = Utf16Bytes(L"two words");
  multi.insert(multi.end(), two.begin(), two.end());
  multi.insert(multi.end(), {0, 0});
  return {
      {L"None", kRegNone, {}},
      {L"NoneBytes", kRegNone, {1, 2, 3}},
      {L"Text", kRegSz, Utf16Bytes(L"plain \"quoted\" back\\slash")},
      {L"Accents", kRegSz, Utf16Bytes(L"d\u00e9j\u00e0 \u65e5\u672c \U0001F600")},
      {L"Empty", kRegSz, {}},
      {L"EmptyText", kRegSz, Utf16Bytes(L"")},
      {L"NoTerminator", kRegSz, Utf16Bytes(L"abc", false)},
      {L"OddSize", kRegSz, {0x41, 0x00, 0x42}},
      {L"LineBreak", kRegSz, Utf16Bytes(L"first\r\nsecond")},
      {L"Expand", kRegExpandSz, Utf16Bytes(L"%SystemRoot%\\x")},
      {L"Binary", kRegBinary, {0x00, 0xFF, 0x10, 0x80}},
      {L"LongBinary", kRegBinary, Bytes(300, 0xA5)},
      {L"Dword", kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {L"ShortDword", kRegDword, {0x01, 0x02}},
      {L"BigEndian", kRegDwordBigEndian, {0x12, 0x34, 0x56, 0x78}},
      {L"Link", kRegLink, Utf16Bytes(L"\\Registry\\Machine", false)},
      {L"Multi", kRegMultiSz, multi},
      {L"Qword", kRegQword, {1, 2, 3, 4, 5, 6, 7, 0x88}},
      {L"Unknown", 0x1234, {9, 8, 7}},
      {L"", kRegSz, Utf16Bytes(L"the default value")},
      {L"Name \"with\" = and \\ and \u00fc", kRegDword, {1, 0, 0, 0}},
  };
}

// Every test works below HKCU\Software\ScribeHostTests\<random>, in a
// temporary machine root; the key is deleted afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baseName_ = L"Software\\ScribeHostTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(std::random_device()() % 1000000);
    bool created = false;
    ASSERT_EQ(RegistryCreateKey(kHKeyCurrentUser, baseName_, kKeyAllAccess, &base_, &created), 0u);
    ASSERT_TRUE(created);
  }

  void TearDown() override {
    for (HKey key : handles_) (void)RegistryCloseKey(key);
    (void)RegistryCloseKey(base_);
    (void)RegistryDeleteKeyTree(kHKeyCurrentUser, baseName_);
  }

  HKey Create(std::wstring_view subKey) {
    HKey key = nullptr;
    EXPECT_EQ(RegistryCreateKey(base_, subKey, kKeyAllAccess, &key, nullptr), 0u) << Utf8FromWide(subKey);
    return handles_.emplace_back(key);
  }

  HKey Open(std::wstring_view subKey, std::uint32_t access = kKeyRead) {
    HKey key = nullptr;
    EXPECT_EQ(RegistryOpenKey(base_, subKey, access, &key), 0u) << Utf8FromWide(subKey);
    return handles_.emplace_back(key);
  }

  Win32Error OpenCode(std::wstring_view subKey) {
    HKey key = nullptr;
    Win32Error result = RegistryOpenKey(base_, subKey, kKeyRead, &key);
    if (result == 0) handles_.push_back(key);
    return result;
  }

  // Type and bytes of a value read back through the API (size first, then
  // the data into a buffer of exactly that size).
  static Win32Error Read(HKey key, std::wstring_view name, std::uint32_t* type, Bytes* data) {
    std::uint32_t size = 0;
    if (Win32Error result = RegistryQueryValue(key, name, type, nullptr, &size)) return result;
    data->assign(size, 0xCC);
    std::uint32_t exact = size;
    Win32Error result = RegistryQueryValue(key, name, type, data->data(), &exact);
    EXPECT_EQ(exact, size);
    return result;
  }

  static std::map<std::wstring, TypedValue> AllValues(HKey key) {
    std::map<std::wstring, TypedValue> values;
    for (std::uint32_t index = 0;; ++index) {
      TypedValue value;
      Win32Error result = RegistryEnumValue(key, index, &value.name, &value.type, &value.data);
      if (result != 0) {
        EXPECT_EQ(result, kErrorNoMoreItems);
        return values;
      }
      values[value.name] = value;
    }
  }

  [[nodiscard]] static Win32Error SetEveryType(HKey key) {
    for (const auto& value : EveryType()) {
      if (Win32Error result = RegistrySetValue(key, value.name, value.type, value.data.data(),
                                               static_cast<std::uint32_t>(value.data.size()))) {
        return result;
      }
    }
    return kErrorSuccess;
  }

  // Every value as queried and as enumerated, and no other.
  static void ExpectEveryType(HKey key) {
    auto all = AllValues(key);
    EXPECT_EQ(all.size(), EveryType().size());
    for (const auto& expected : EveryType()) {
      SCOPED_TRACE(Utf8FromWide(expected.name));
      std::uint32_t type = 0;
      Bytes data;
      EXPECT_EQ(Read(key, expected.name, &type, &data), 0u);
      EXPECT_EQ(type, expected.type);
      EXPECT_EQ(data, expected.data);
      EXPECT_EQ(all[expected.name].type, expected.type);
      EXPECT_EQ(all[expected.name].data, expected.data);
    }
  }

  test::TempRoot root_;
  std::wstring baseName_;
  HKey base_ = nullptr;
  std::vector<HKey> handles_;
};

}  // namespace wl::test
