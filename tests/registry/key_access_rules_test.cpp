// Explicit access rules for the machine's keys on Windows. Wine keeps only
// part of them: a key's own list without its flags (it neither protects nor
// inherits). Linux has no such rules: the owner and mode of the hive file
// carry them.
#include <gtest/gtest.h>

#include "platform/access_rules.h"
#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

using platform::MachineObject;

constexpr std::string_view kKeyRules = "O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

// The rules as Wine keeps them on a key: without the list's flags.
std::string WithoutFlags(std::string_view rules) {
  std::string text(rules);
  if (auto list = text.find("D:"); list != std::string::npos) {
    text.erase(list + 2, text.find('(', list) - list - 2);
  }
  return text;
}

TEST(AccessRules, AKeyAndItsSubKeysAreOnlyReadByUsers) {
  test::TempRoot root;
  test::MachineStateLock lock;
  constexpr std::wstring_view kKey = L"Software\\Kestrix\\AccessRulesTest";
  platform::HKey key = nullptr;
  ASSERT_EQ(platform::RegistryCreateKey(platform::kHKeyLocalMachine, kKey, platform::kKeyRead, &key, nullptr), 0u);
  (void)platform::RegistryCloseKey(key);
  Win32Error result = platform::ProtectMachineObject(MachineObject::kKey, kKey);
  ASSERT_EQ(platform::RegistryCreateKey(platform::kHKeyLocalMachine, std::wstring(kKey) + L"\\Below",
                                        platform::kKeyRead, &key, nullptr),
            0u);
  (void)platform::RegistryCloseKey(key);
  if (platform::ReadAccessRules(MachineObject::kKey, kKey).ErrorCode() == 50) {
    GTEST_SKIP() << "Linux keeps these rules in the hive file's owner and mode";
  }
  EXPECT_EQ(result, 0u);
  if (platform::WineVersion()) {
    EXPECT_EQ(test::AccessRules(MachineObject::kKey, std::wstring(kKey)), WithoutFlags(kKeyRules));
  } else {
    EXPECT_EQ(test::AccessRules(MachineObject::kKey, std::wstring(kKey)), kKeyRules);
    EXPECT_EQ(test::AccessRules(MachineObject::kKey, std::wstring(kKey) + L"\\Below"),
              "O:BAD:AI(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)");
  }
  EXPECT_EQ(platform::RegistryDeleteKeyTree(platform::kHKeyLocalMachine, kKey), 0u);
}

}  // namespace
}  // namespace wl
