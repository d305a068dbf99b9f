// Explicit access rules for the machine-wide folders on Windows. Wine keeps
// on files nothing but what the Unix mode can say, so these checks run on
// Windows only. Linux has no such rules: the owner and mode of each file
// carry them. The rules of keys are the registry's tests'.
#include "platform/access_rules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

using platform::MachineObject;

constexpr std::string_view kFolderRules = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

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
  EXPECT_EQ(test::AccessRules(MachineObject::kFolder, path), kFolderRules);
  std::filesystem::create_directory(folder.Path() / "below");
  std::ofstream(folder.Path() / "below" / "Tally.log") << "line\n";
  EXPECT_EQ(test::AccessRules(MachineObject::kFolder, (folder.Path() / "below" / "Tally.log").wstring()),
            "O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)");
}

}  // namespace
}  // namespace wl
