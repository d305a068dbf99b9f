// The product version of an executable, read by the portable reader of
// version resources and by the system's.
#include "diagnostics/file_version.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/pe_version.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace wl::platform {
namespace {

using test::Bytes;

// The product's own Windows executable: the test child in the Windows
// build, the probe that the Linux build makes with mingw-w64.
TEST(FileVersion, ReadsOurWindowsExecutable) {
  std::wstring path =
      test::OnWindows() ? test::ProgramPath(L"scribe_test_child") : test::ProgramPath(L"wayline_version_probe.exe");
  ASSERT_TRUE(std::filesystem::exists(path))
      << "missing " << Utf8FromWide(path) << " (the Linux build makes it when mingw-w64 is installed)";
  std::wstring version = L"unchanged";
  ASSERT_TRUE(ReadFileVersionString(path, L"ProductVersion", version));
  EXPECT_EQ(version, L"9.2.0.0");
  // The portable reader agrees with the system's (the same code on Linux).
  std::u16string portable;
  ASSERT_TRUE(FindPeVersionString(test::ReadFileBytes(path), u"ProductVersion", &portable));
  EXPECT_EQ(WideFromUtf16(portable), version);
  std::wstring other = L"unchanged";
  EXPECT_FALSE(ReadFileVersionString(path, L"NoSuchKey", other));
  EXPECT_FALSE(ReadFileVersionString(path + L".missing", L"ProductVersion", other));
  EXPECT_FALSE(ReadFileVersionString(L"", L"ProductVersion", other));
  EXPECT_FALSE(ReadFileVersionString(path, L"", other));
  EXPECT_EQ(other, L"unchanged");
  // Any other file has no version: the test program on Linux, a text file.
  test::TempFolder folder;
  test::WriteFileBytes(folder.Path() / "text.exe", Bytes(4096, 'M'));
  EXPECT_FALSE(ReadFileVersionString((folder.Path() / "text.exe").wstring(), L"ProductVersion", other));
  if (!test::OnWindows()) {
    EXPECT_FALSE(ReadFileVersionString(test::ProgramPath(L"scribe_tests_diagnostics"), L"ProductVersion", other));
  }
}

}  // namespace
}  // namespace wl::platform
