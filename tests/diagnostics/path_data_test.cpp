#include "diagnostics/path_data.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/file_system.h"
#include "platform/known_folder.h"
#include "tests/support/diagnostics_test_support.h"

namespace wl {
namespace {

namespace fs = std::filesystem;
using PathDataTest = test::DiagnosticsTest;

// Only on Linux is the program-data folder the test's own: under Wine it is
// the prefix's, where tests of other suites keep their files meanwhile.
bool OwnProgramData() { return !test::OnWindows(); }

TEST_F(PathDataTest, DataFolderIsCreatedOnceWithItsDataSubfolder) {
  auto found = platform::GetKnownFolderPath(platform::KnownFolder::ProgramData, true);
  ASSERT_TRUE(found) << found.ErrorCode();
  const std::wstring& programData = *found;
  fs::path vendor = fs::path(programData) / "Kestrix";
  if (OwnProgramData()) fs::remove_all(vendor);
  // The instance first: a thread that asks while another is still creating
  // it gets none (and an empty answer), as every singleton's users expect.
  ASSERT_NE(GetExecutablePath(), L"");
  std::wstring second;
  std::thread other([&] { second = GetDataFolder(); });
  std::wstring first = GetDataFolder();
  other.join();
  EXPECT_EQ(first, platform::JoinPath(platform::JoinPath(programData, L"Kestrix"), L"Wayline"));
  EXPECT_EQ(second, first);
  EXPECT_TRUE(fs::is_directory(fs::path(first) / "Data"));
}

TEST_F(PathDataTest, DataFolderIsFoundOncePerProcess) {
  if (!OwnProgramData()) GTEST_SKIP() << "only the Linux program-data folder follows the test root";
  std::wstring first = GetDataFolder();
  ASSERT_NE(first, L"");
  // A later request neither looks nor creates.
  fs::path vendor = fs::path(first).parent_path();
  fs::remove_all(vendor);
  EXPECT_EQ(GetDataFolder(), first);
  EXPECT_FALSE(fs::exists(vendor));
}

TEST_F(PathDataTest, ThisProgramIsInstalledWhereItsExecutableIs) {
  std::wstring executable = GetExecutablePath();
  EXPECT_EQ(GetModulePath(), executable);
  EXPECT_NE(GetSystemFolder(), L"");
  EXPECT_EQ(GetInstallFolder() + L"scribe_tests_diagnostics" + platform::kExecutableSuffix, executable);
}

TEST_F(PathDataTest, InstallFolderRule) {
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kCurrentInstallKey, L"Path", L"D:/Apps/Tool"), 0u);
  const struct {
    const wchar_t* executable;
    const wchar_t* systemFolder;
    const wchar_t* installFolder;
  } cases[] = {
      {L"D:/Apps/Tool/Tool.exe", L"C:/Windows/System32", L"D:/Apps/Tool/"},
      {L"C:/Windows/System32/Tool.exe", L"C:/Windows/System32", L"D:/Apps/Tool"},
      // Below the System folder, letters compared without case.
      {L"c:/windows/SYSTEM32/sub/Tool.exe", L"C:/Windows/System32", L"D:/Apps/Tool"},
      // Everything but A to Z compares exactly.
      {L"C:/Windows_System32/Tool.exe", L"C:/Windows/System32", L"C:/Windows_System32/"},
      {L"C:/\u00C4pps/Tool.exe", L"C:/\u00E4pps", L"C:/\u00C4pps/"},
      // An unknown System folder counts as found.
      {L"D:/Apps/Other/Tool.exe", L"", L"D:/Apps/Tool"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InstallFolderForExecutable(c.executable, c.systemFolder), c.installFolder) << c.executable;
  }
  test::RemoveProductKeys();
  EXPECT_EQ(InstallFolderForExecutable(L"C:/Windows/System32/Tool.exe", L"C:/Windows/System32"), L"");
}

}  // namespace
}  // namespace wl
