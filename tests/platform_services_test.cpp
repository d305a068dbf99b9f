// Accounts and SIDs, known folders, debug output and named mutexes of the
// platform layer, on both systems.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/account.h"
#include "platform/debug_output.h"
#include "platform/file_system.h"
#include "platform/known_folder.h"
#include "platform/named_mutex.h"
#include "platform/text.h"
#include "tests/test_support.h"

namespace {

using namespace wl;
using namespace wl::platform;
namespace fs = std::filesystem;

bool OnWindows() { return kPathSeparator == L'\\'; }

std::wstring SidOf(std::wstring_view account, Win32Error* result) {
  std::vector<std::uint8_t> sid;
  std::wstring text;
  *result = LookupAccountSid(account, &sid);
  if (*result == 0) *result = ConvertSidToString(sid, &text);
  return text;
}

TEST(Account, SystemAccountHasTheWellKnownSid) {
  for (std::wstring_view name : {L"SYSTEM", L"system", L"NT AUTHORITY\\SYSTEM"}) {
    Win32Error result = 1;
    EXPECT_EQ(SidOf(name, &result), L"S-1-5-18") << Utf8FromWide(name);
    EXPECT_EQ(result, 0u);
  }
  Win32Error result = 0;
  SidOf(L"no-such-account-here", &result);
  EXPECT_EQ(result, kErrorNoneMapped);
}

TEST(Account, CurrentUserHasASid) {
  std::wstring name;
  ASSERT_EQ(GetCurrentUserName(&name), 0u);
  ASSERT_FALSE(name.empty());
  Win32Error result = 1;
  std::wstring sid = SidOf(name, &result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(sid.substr(0, 4), L"S-1-") << Utf8FromWide(sid);
}

TEST(Account, LinuxUsersMapToUnixSids) {
  if (OnWindows()) GTEST_SKIP() << "Windows accounts have their own SIDs";
  std::wstring name;
  ASSERT_EQ(GetCurrentUserName(&name), 0u);
  Win32Error result = 1;
  if (name == L"SYSTEM") {
    // uid 0 is the system account, under either of its names.
    EXPECT_EQ(SidOf(L"root", &result), L"S-1-5-18");
  } else {
    EXPECT_EQ(SidOf(name, &result).substr(0, 9), L"S-1-22-1-");
  }
  EXPECT_EQ(SidOf(L"nobody", &result).substr(0, 9), L"S-1-22-1-");
  EXPECT_EQ(result, 0u);
}

TEST(Account, BinarySidsConvertToTheirStandardText) {
  struct Case {
    std::vector<std::uint8_t> sid;
    std::wstring text;
  } cases[] = {
      {{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, L"S-1-5-18"},
      {{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0}, L"S-1-5-32-544"},
      {{1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, L"S-1-22-1-4294967295"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, L"S-1-0"},
  };
  for (const auto& c : cases) {
    std::wstring text;
    EXPECT_EQ(ConvertSidToString(c.sid, &text), 0u);
    EXPECT_EQ(text, c.text);
  }
  std::wstring text;
  EXPECT_NE(ConvertSidToString({2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, &text), 0u) << "revision 2";
  EXPECT_NE(ConvertSidToString({1, 2, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, &text), 0u) << "one sub-authority short";
}

TEST(KnownFolder, FoldersLieUnderTheMachineRoot) {
  test::TempRoot root;
  std::wstring path;
  ASSERT_EQ(GetKnownFolderPath(KnownFolder::ProgramData, false, &path), kSOk);
  EXPECT_EQ(fs::path(path), root.Path() / "ProgramData");
  EXPECT_FALSE(fs::exists(path));
  ASSERT_EQ(GetKnownFolderPath(KnownFolder::ProgramData, true, &path), kSOk);
  EXPECT_TRUE(fs::is_directory(path));
  ASSERT_EQ(GetKnownFolderPath(KnownFolder::System, false, &path), kSOk);
  EXPECT_EQ(fs::path(path), root.Path() / "System32");
}

TEST(DebugOutput, TextReachesStandardErrorAsUtf8) {
  if (OnWindows()) GTEST_SKIP() << "OutputDebugStringW goes to a debugger, which a test cannot read back";
  test::TempFolder folder;
  auto file = folder.Path() / "stderr.txt";
  ASSERT_EQ(test::RunChild({L"debug-output", file.wstring(), L"TESSEL: d\u00e9j\u00e0 vu\n"}), 0);
  EXPECT_EQ(test::ReadFileText(file), "TESSEL: d\xC3\xA9j\xC3\xA0 vu\n");
}

TEST(NamedMutex, ExcludesOtherProcesses) {
  test::TempRoot root;
  test::TempFolder folder;
  auto counter = folder.Path() / "counter.txt";
  test::WriteFileBytes(counter, {'0'});
  constexpr int kRounds = 300;
  std::vector<std::wstring> arguments = {L"mutex-count", L"ScribeHostTestMutex", counter.wstring(),
                                         std::to_wstring(kRounds)};
  auto first = test::StartChild(arguments);
  auto second = test::StartChild(arguments);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0);
  EXPECT_EQ(test::ReadFileText(counter), std::to_string(2 * kRounds));
}

TEST(NamedMutex, OwnerMayLockAgainAndOtherObjectsShareIt) {
  test::TempRoot root;
  Win32Error error = 0;
  auto mutex = CreateNamedMutex(L"Global\\ScribeHostRecursive", &error);
  ASSERT_NE(mutex, nullptr) << error;
  auto same = CreateNamedMutex(L"Global\\ScribeHostRecursive", &error);
  ASSERT_NE(same, nullptr) << error;
  mutex->Lock();
  mutex->Lock();
  same->Lock();  // the same mutex, already owned by this thread
  same->Unlock();
  mutex->Unlock();
  mutex->Unlock();

  // Released: another process can take it now.
  test::TempFolder folder;
  auto counter = folder.Path() / "counter.txt";
  test::WriteFileBytes(counter, {'4'});
  EXPECT_EQ(test::RunChild({L"mutex-count", L"Global\\ScribeHostRecursive", counter.wstring(), L"1"}), 0);
  EXPECT_EQ(test::ReadFileText(counter), "5");

  EXPECT_EQ(CreateNamedMutex(L"No\\Such\\Namespace", &error), nullptr);
  EXPECT_EQ(error, kErrorPathNotFound);
}

}  // namespace
