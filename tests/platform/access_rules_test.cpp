// Explicit access rules for the machine-wide state on Windows. Wine keeps
// only part of them: a key's own list without its flags (it neither protects
// nor inherits), and on files nothing but what the Unix mode can say; the
// checks that Wine cannot pass run on Windows only. Linux has no such rules:
// the owner and mode of each file carry them.
#include "platform/access_rules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

using platform::MachineObject;

constexpr std::string_view kFolderRules = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr std::string_view kKeyRules = "O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

std::string Rules(MachineObject kind, const std::wstring& path) {
  auto rules = platform::ReadAccessRules(kind, path);
  return rules ? platform::Utf8FromWide(*rules) : "error " + std::to_string(rules.ErrorCode());
}

// The rules as Wine keeps them on a key: without the list's flags.
std::string WithoutFlags(std::string_view rules) {
  std::string text(rules);
  if (auto list = text.find("D:"); list != std::string::npos) {
    text.erase(list + 2, text.find('(', list) - list - 2);
  }
  return text;
}

TEST(AccessRules, AFolderAndWhatIsMadeInItAreOnlyReadByUsers) {
  test::TempFolder folder;
  std::wstring path = folder.Path().wstring();
  ASSERT_EQ(platform::ProtectMachineObject(MachineObject::kFolder, path), 0u);
  if (platform::ReadAccessRules(MachineObject::kFolder, path).ErrorCode() == 50) {
    GTEST_SKIP() << "Linux keeps these rules in owners and modes";
  }
  if (platform::WineVersion()) GTEST_SKIP() << "Wine shows a file's Unix mode, not its access list";
  // Nothing comes from above (P), and Users may read, list and run but
  // neither add nor change anything, also below.
  EXPECT_EQ(Rules(MachineObject::kFolder, path), kFolderRules);
  std::filesystem::create_directory(folder.Path() / "below");
  std::ofstream(folder.Path() / "below" / "Tally.log") << "line\n";
  EXPECT_EQ(Rules(MachineObject::kFolder, (folder.Path() / "below" / "Tally.log").wstring()),
            "O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)");
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
    EXPECT_EQ(Rules(MachineObject::kKey, std::wstring(kKey)), WithoutFlags(kKeyRules));
  } else {
    EXPECT_EQ(Rules(MachineObject::kKey, std::wstring(kKey)), kKeyRules);
    EXPECT_EQ(Rules(MachineObject::kKey, std::wstring(kKey) + L"\\Below"),
              "O:BAD:AI(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)");
  }
  EXPECT_EQ(platform::RegistryDeleteKeyTree(platform::kHKeyLocalMachine, kKey), 0u);
}

}  // namespace
}  // namespace wl
