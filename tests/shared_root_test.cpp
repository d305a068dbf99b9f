// One machine root used by several accounts, as /var/lib/wayline is: the
// system account's files never keep another user from the fallback file's
// mutex, its own daily file or its own hive.
#include <gtest/gtest.h>

#include <filesystem>

#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "diagnostics/path_data.h"
#include "platform/process.h"
#include "tests/library_test_support.h"

namespace wl {
namespace {

TEST(SharedRoot, AnotherUserWorksBesideTheSystemAccountsFiles) {
  if (test::OnWindows()) GTEST_SKIP() << "the machine root stands in for Windows' own places on Linux only";
  if (!test::RunningAsSystem()) GTEST_SKIP() << "only the system account (root) can start a process as another user";
  test::TempRoot root;
  LifetimeTracker::Instance().DestroyAll();
  // The system account comes first, as the service does: the data folder,
  // its daily file, the mutex's lock file, and the hive of the logged-on
  // user, whose trace flags it writes.
  SetFileOutput(true);
  FileLog(L"system account's line\n");
  LifetimeTracker::Instance().DestroyAll();
  std::wstring sid = test::SidOf(L"nobody");
  ASSERT_EQ(test::SetNumber(platform::kHKeyUsers, sid + L"\\" + std::wstring(kCurrentInstallKey), L"TraceFlags", 1), 0u);

  // A copy of the child program in a folder that every account can reach
  // (the build folder may lie in root's home).
  test::TempFolder programs;
  std::filesystem::path program = programs.Path() / "scribe_test_child";
  std::filesystem::copy_file(test::ProgramPath(L"scribe_test_child"), program);
  Win32Error error = 0;
  auto child = platform::StartProcessAsUser(program.wstring(), {L"second-user"}, L"nobody", &error);
  ASSERT_TRUE(child) << error;
  EXPECT_EQ(child->Wait(), 0) << "10+: the mutex, 20+: the user's hive";

  std::filesystem::path dataFolder = GetDataFolder();
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dataFolder)) {
    if (!entry.path().filename().string().starts_with("scribe_test_child_")) continue;
    ++files;
    std::string text = test::ReadFileText(entry.path());
    EXPECT_NE(text.find("\r\nsecond user's line\r\n"), std::string::npos) << text;
  }
  EXPECT_EQ(files, 1) << "the second user's daily file";
  std::uint32_t flags = 0;
  EXPECT_EQ(test::GetDword(platform::kHKeyUsers, sid + L"\\" + std::wstring(kCurrentInstallKey), L"TraceFlags", &flags),
            0u);
  EXPECT_EQ(flags, 2u);
  LifetimeTracker::Instance().DestroyAll();
}

}  // namespace
}  // namespace wl
