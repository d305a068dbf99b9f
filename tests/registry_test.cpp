// The registry contract: the same cases run against the real registry
// (Windows build, under a temporary HKCU key) and against the hive files of
// the Linux stand-in (in a temporary machine root).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/test_support.h"

namespace {

using namespace wl;
using namespace wl::platform;
using test::Bytes;
using test::Utf16Bytes;

struct TypedValue {
  std::wstring name;
  std::uint32_t type;
  Bytes data;
};

// One value of every kind the registry keeps, including data that the hive
// format can only keep as hex (odd sizes, control characters, no
// terminator, an unknown type).
std::vector<TypedValue> EveryType() {
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

int RunTool(const std::vector<std::wstring>& arguments) { return test::RunChild(arguments, L"wlreg"); }

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
    for (HKey key : handles_) RegistryCloseKey(key);
    RegistryCloseKey(base_);
    RegistryDeleteKeyTree(kHKeyCurrentUser, baseName_);
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

  static void SetEveryType(HKey key) {
    for (const auto& value : EveryType()) {
      ASSERT_EQ(RegistrySetValue(key, value.name, value.type, value.data.data(),
                                 static_cast<std::uint32_t>(value.data.size())),
                0u);
    }
  }

  // Every value as queried and as enumerated, and no other.
  static void ExpectEveryType(HKey key) {
    auto all = AllValues(key);
    EXPECT_EQ(all.size(), EveryType().size());
    for (const auto& expected : EveryType()) {
      SCOPED_TRACE(Utf8FromWide(expected.name));
      std::uint32_t type = 0;
      Bytes data;
      ASSERT_EQ(Read(key, expected.name, &type, &data), 0u);
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

TEST_F(RegistryTest, KeyNamesCompareWithoutCaseKeepTheirCaseAndEnumerateInOrder) {
  bool created = false;
  HKey key = nullptr;
  ASSERT_EQ(RegistryCreateKey(base_, L"List\\b", kKeyAllAccess, &key, &created), 0u);
  EXPECT_TRUE(created);
  RegistryCloseKey(key);
  ASSERT_EQ(RegistryCreateKey(base_, L"LIST\\B", kKeyAllAccess, &key, &created), 0u);
  EXPECT_FALSE(created);
  RegistryCloseKey(key);
  ASSERT_EQ(RegistryOpenKey(kHKeyCurrentUser, baseName_ + L"\\list\\B\\", kKeyRead, &key), 0u);
  RegistryCloseKey(key);
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
  SetEveryType(Create(L"Types"));
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

// ---- The registry tool ------------------------------------------------------

TEST_F(RegistryTest, ToolAddStoresEveryTypeItKnowsAndDeletes) {
  std::wstring key = L"HKCU\\" + baseName_ + L"\\Tool";
  struct Case {
    std::wstring name, type, data;
    std::uint32_t expectedType;
    Bytes expected;
  } cases[] = {
      {L"Sz", L"REG_SZ", L"caf\u00e9 au lait", kRegSz, Utf16Bytes(L"caf\u00e9 au lait")},
      {L"Expand", L"REG_EXPAND_SZ", L"%TEMP%\\x", kRegExpandSz, Utf16Bytes(L"%TEMP%\\x")},
      {L"Dword", L"REG_DWORD", L"0x10", kRegDword, {0x10, 0, 0, 0}},
      {L"DwordDecimal", L"reg_dword", L"4294967295", kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}},
      {L"BigEndian", L"REG_DWORD_BIG_ENDIAN", L"1", kRegDwordBigEndian, {0, 0, 0, 1}},
      {L"Qword", L"REG_QWORD", L"0x0102030405060708", kRegQword, {8, 7, 6, 5, 4, 3, 2, 1}},
      {L"Binary", L"REG_BINARY", L"00ff10", kRegBinary, {0x00, 0xFF, 0x10}},
      {L"None", L"REG_NONE", L"", kRegNone, {}},
      {L"Multi", L"REG_MULTI_SZ", L"a\\0bc", kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(RunTool({L"add", key, L"/v", c.name, L"/t", c.type, L"/d", c.data, L"/f"}), 0) << Utf8FromWide(c.name);
  }
  ASSERT_EQ(RunTool({L"add", key, L"/ve", L"/d", L"default"}), 0);

  HKey tool = Open(L"Tool");
  std::uint32_t type = 0;
  Bytes data;
  for (const auto& c : cases) {
    ASSERT_EQ(Read(tool, c.name, &type, &data), 0u) << Utf8FromWide(c.name);
    EXPECT_EQ(type, c.expectedType) << Utf8FromWide(c.name);
    EXPECT_EQ(data, c.expected) << Utf8FromWide(c.name);
  }
  ASSERT_EQ(Read(tool, L"", &type, &data), 0u);
  EXPECT_EQ(data, Utf16Bytes(L"default"));

  EXPECT_EQ(RunTool({L"delete", key, L"/v", L"Sz", L"/f"}), 0);
  EXPECT_EQ(RegistryQueryValue(tool, L"Sz", nullptr, nullptr, nullptr), kErrorFileNotFound);
  EXPECT_EQ(RunTool({L"delete", key, L"/va", L"/f"}), 0);
  EXPECT_TRUE(AllValues(tool).empty());
  EXPECT_EQ(RunTool({L"delete", key, L"/f"}), 0);
  EXPECT_EQ(RegistryQueryValue(tool, L"Dword", nullptr, nullptr, nullptr), kErrorKeyDeleted);
}

TEST_F(RegistryTest, ToolExportAndImportKeepEveryTypeAndTheTree) {
  SetEveryType(Create(L"Exported\\Nested\\Deeper"));
  Create(L"Exported\\Empty");
  test::TempFolder folder;
  std::wstring file = (folder.Path() / "export.reg").wstring();
  std::wstring exported = L"HKEY_CURRENT_USER\\" + baseName_ + L"\\Exported";
  ASSERT_EQ(RunTool({L"export", exported, file}), 0);
  auto bytes = test::ReadFileBytes(file);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);

  ASSERT_EQ(RunTool({L"delete", exported, L"/f"}), 0);
  ASSERT_EQ(OpenCode(L"Exported"), kErrorFileNotFound);
  ASSERT_EQ(RunTool({L"import", file}), 0);
  ExpectEveryType(Open(L"Exported\\Nested\\Deeper"));
  Open(L"Exported\\Empty");

  // Exporting again gives the same file, byte for byte.
  std::wstring again = (folder.Path() / "again.reg").wstring();
  ASSERT_EQ(RunTool({L"export", exported, again}), 0);
  EXPECT_EQ(test::ReadFileBytes(again), bytes);
}

TEST_F(RegistryTest, ToolImportAppliesRemovalsAndRefusesBrokenFiles) {
  Create(L"Import\\Old");
  test::TempFolder folder;
  auto path = folder.Path() / "changes.reg";
  std::string prefix = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_);
  std::string text = prefix + "\\Import\\New]\r\n\"n\"=dword:00000002\r\n\r\n[-HKEY_CURRENT_USER\\" +
                     Utf8FromWide(baseName_) + "\\Import\\Old]\r\n";
  test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
  ASSERT_EQ(RunTool({L"import", path.wstring()}), 0);
  EXPECT_EQ(OpenCode(L"Import\\Old"), kErrorFileNotFound);
  std::uint32_t number = 0;
  EXPECT_EQ(test::GetDword(base_, L"Import\\New", L"n", &number), 0u);
  EXPECT_EQ(number, 2u);

  // A broken line anywhere means nothing is imported.
  text = prefix + "\\Import\\Partial]\r\n\"ok\"=dword:1\r\n\"bad\"=dword:zz\r\n";
  test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
  EXPECT_EQ(RunTool({L"import", path.wstring()}), 1);
  EXPECT_EQ(OpenCode(L"Import\\Partial"), kErrorFileNotFound);
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
  RegistryDeleteKeyTree(kHKeyCurrentUser, L"Software\\k");
}

TEST_F(RegistryTest, ManyValuesAndKeysEnumerateInOrder) {
  // Enough that enumeration must cost the same for each step: copying the
  // whole key at each step would take hours here.
  constexpr int kValues = 40000, kKeys = 20000;
  test::TempFolder folder;
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) +
                     "\\Wide]\r\n";
  for (int i = 0; i < kValues; ++i) text += "\"v" + std::to_string(100000 + i) + "\"=dword:00000001\r\n";
  for (int i = 0; i < kKeys; ++i) {
    text += "\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Wide\\k" + std::to_string(100000 + i) + "]\r\n";
  }
  auto path = folder.Path() / "wide.reg";
  test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
  ASSERT_EQ(RunTool({L"import", path.wstring()}), 0);
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

TEST_F(RegistryTest, ToolImportWithALateMistakeChangesNothing) {
  Create(L"Import\\Kept");
  test::TempFolder folder;
  // What the registry holds, as the tool exports it and (Linux) as the
  // hive files hold it.
  auto snapshot = [&] {
    std::wstring file = (folder.Path() / "snapshot.reg").wstring();
    EXPECT_EQ(RunTool({L"export", L"HKCU\\" + baseName_, file, L"/y"}), 0);
    Bytes bytes = test::ReadFileBytes(file);
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.Path() / "registry", error)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".lock") continue;
      Bytes more = test::ReadFileBytes(entry.path());
      bytes.insert(bytes.end(), more.begin(), more.end());
    }
    return bytes;
  };
  Bytes before = snapshot();
  std::string key = "[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Import";
  std::string good = "Windows Registry Editor Version 5.00\r\n\r\n" + key + "\\First]\r\n\"a\"=dword:00000001\r\n\r\n" +
                     key + "\\Kept]\r\n\"b\"=\"text\"\r\n\r\n[-" + key.substr(1) + "\\Kept]\r\n\r\n";
  std::string deep = key + "\\Deep";
  for (int i = 0; i < 520; ++i) deep += "\\d";
  const std::vector<std::pair<std::string, std::string>> late = {
      {"an empty key name", key + "\\\\Empty]\r\n"},
      {"a control character in a value name", key + "\\Second]\r\n\"bad\x01name\"=dword:00000001\r\n"},
      {"a value name that is too long", key + "\\Second]\r\n\"" + std::string(16384, 'n') + "\"=dword:1\r\n"},
      {"a key too deep", deep + "]\r\n"},
      {"another root", "[HKEY_NOWHERE\\Software]\r\n"},
  };
  auto path = folder.Path() / "late.reg";
  for (const auto& [mistake, section] : late) {
    std::string text = good + section;
    test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
    EXPECT_EQ(RunTool({L"import", path.wstring()}), 1) << mistake;
    EXPECT_TRUE(snapshot() == before) << mistake;
  }
  // The same file without the mistake imports.
  test::WriteFileBytes(path, Bytes(good.begin(), good.end()));
  EXPECT_EQ(RunTool({L"import", path.wstring()}), 0);
  EXPECT_EQ(OpenCode(L"Import\\Kept"), kErrorFileNotFound);
  EXPECT_EQ(OpenCode(L"Import\\First"), 0u);
}

TEST_F(RegistryTest, ToolTakesSwitchesOnlyWhereTheyStandAlone) {
  std::wstring key = L"HKCU\\" + baseName_ + L"\\Switches";
  // "/?" as the data of /d is data; /reg:32 and /reg:64 choose a view
  // that this product does not distinguish.
  EXPECT_EQ(RunTool({L"add", key, L"/v", L"Question", L"/d", L"/?", L"/f", L"/reg:64"}), 0);
  EXPECT_EQ(RunTool({L"query", key, L"/reg:32"}), 0);
  HKey opened = Open(L"Switches");
  std::uint32_t type = 0;
  Bytes data;
  ASSERT_EQ(Read(opened, L"Question", &type, &data), 0u);
  EXPECT_EQ(data, Utf16Bytes(L"/?"));
  // A doubled backslash is no key name.
  EXPECT_EQ(RunTool({L"add", L"HKCU\\" + baseName_ + L"\\\\Doubled", L"/f"}), 1);
  EXPECT_EQ(OpenCode(L"Doubled"), kErrorFileNotFound);
}

TEST_F(RegistryTest, ToolImportsRegedit4FilesInTheAnsiCodePage) {
  test::TempFolder folder;
  auto path = folder.Path() / "old.reg";
  // REGEDIT4: no byte-order mark, text and REG_EXPAND_SZ data in the ANSI
  // code page ("\xE9" is e with an acute accent in 1252).
  std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) +
                     "\\Old]\r\n\"Name\"=\"caf\xE9\"\r\n\"Path\"=hex(2):25,41,25,00\r\n\"n\"=dword:00000007\r\n";
  test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
  ASSERT_EQ(RunTool({L"import", path.wstring()}), 0);
  HKey key = Open(L"Old");
  std::uint32_t type = 0;
  Bytes data;
  ASSERT_EQ(Read(key, L"Name", &type, &data), 0u);
  EXPECT_EQ(data, Utf16Bytes(WideFromAnsi("caf\xE9")));
  ASSERT_EQ(Read(key, L"Path", &type, &data), 0u);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(data, Utf16Bytes(L"%A%"));
}

TEST_F(RegistryTest, ToolRejectsBadArgumentsWithExitCode1) {
  std::wstring key = L"HKCU\\" + baseName_;
  const std::vector<std::vector<std::wstring>> bad = {
      {},
      {L"frobnicate", key},
      {L"query"},
      {L"query", L"HKXX\\Software"},
      {L"query", key + L"\\Missing"},
      {L"query", key, L"/v", L"Missing"},
      {L"query", key, L"/zz"},
      {L"add", key, L"/v"},
      {L"add", key, L"/v", L"n", L"/t", L"REG_DWORD", L"/d", L"12x"},
      {L"add", key, L"/v", L"n", L"/t", L"REG_DWORD", L"/d", L"4294967296"},
      {L"add", key, L"/v", L"n", L"/t", L"REG_BINARY", L"/d", L"abc"},
      {L"add", key, L"/v", L"n", L"/t", L"REG_FANCY"},
      {L"add", key, L"/v", L"a", L"/ve"},
      {L"delete", key, L"/v", L"Missing", L"/f"},
      {L"export", key},
      {L"import", L"no-such-file.reg"},
  };
  for (const auto& arguments : bad) {
    std::string line;
    for (const auto& a : arguments) line += Utf8FromWide(a) + " ";
    EXPECT_EQ(RunTool(arguments), 1) << line;
  }
}

TEST_F(RegistryTest, ToolQueryPrintsLikeRegExeAndAsksBeforeDeleting) {
  HKey key = Create(L"Shown\\Sub");
  // The default value first: Windows lists values in the order they were
  // made, Wine sorts them; both then agree.
  Bytes text = Utf16Bytes(L"hi there");
  RegistrySetValue(key, L"", kRegSz, text.data(), static_cast<std::uint32_t>(text.size()));
  std::uint32_t number = 42;
  RegistrySetValue(key, L"Answer", kRegDword, &number, 4);
  test::TempFolder folder;
  auto input = folder.Path() / "in.txt", output = folder.Path() / "out.txt";
  std::wstring shownKey = L"HKCU\\" + baseName_ + L"\\Shown";
  auto run = [&](std::string answer, std::vector<std::wstring> arguments) {
    test::WriteFileBytes(input, Bytes(answer.begin(), answer.end()));
    arguments.insert(arguments.begin(), {L"redirect", input.wstring(), output.wstring(), test::ProgramPath(L"wlreg")});
    int code = test::RunChild(arguments);
    std::string printed = test::ReadFileText(output);
    printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
    return std::make_pair(code, printed);
  };
  std::string shown = "HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Shown";
  auto [code, printed] = run("", {L"query", shownKey, L"/s"});
  if (code == 0 && printed.empty() && test::OnWindows()) {
    GTEST_SKIP() << "this Windows process start does not hand its standard handles to the child";
  }
  EXPECT_EQ(code, 0);
  EXPECT_EQ(printed, "\n" + shown + "\\Sub\n    (Default)    REG_SZ    hi there\n    Answer    REG_DWORD    0x2a\n\n" +
                         "End of search: 3 match(es) found.\n");
  std::tie(code, printed) = run("", {L"query", shownKey});
  EXPECT_EQ(printed, "\n" + shown + "\\Sub\n\n");

  std::tie(code, printed) = run("no\n", {L"delete", shownKey});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(printed,
            "Permanently delete the registry key " + shown + " (Yes/No)? The operation was cancelled by the user.\n");
  EXPECT_EQ(OpenCode(L"Shown"), 0u);
  std::tie(code, printed) = run("y\n", {L"delete", shownKey});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(OpenCode(L"Shown"), kErrorFileNotFound);
}

}  // namespace
