// Accounts and SIDs, known folders, debug output and named mutexes of the
// platform layer, on both systems.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/account.h"
#include "platform/debug_output.h"
#include "platform/known_folder.h"
#include "platform/named_mutex.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace {

using namespace wl;
using namespace wl::platform;
using test::SidOf;
namespace fs = std::filesystem;

TEST(Account, NamesMapToTheirSidsAndUnknownOnesFail) {
  Win32Error result = 1;
  for (std::wstring_view name : {L"SYSTEM", L"system", L"NT AUTHORITY\\SYSTEM"}) {
    EXPECT_EQ(SidOf(name, &result), L"S-1-5-18") << Utf8FromWide(name);
    EXPECT_EQ(result, 0u);
  }
  SidOf(L"no-such-account-here", &result);
  EXPECT_EQ(result, kErrorNoneMapped);

  std::wstring name = platform::GetCurrentUserName().ValueOr({});
  ASSERT_FALSE(name.empty());
  std::wstring sid = SidOf(name, &result);
  EXPECT_EQ(result, 0u) << Utf8FromWide(name);
  EXPECT_EQ(sid.substr(0, 4), L"S-1-") << Utf8FromWide(sid);
}

TEST(Account, LinuxUsersMapToUnixSids) {
  if (test::OnWindows()) GTEST_SKIP() << "Windows accounts have their own SIDs";
  std::wstring name = platform::GetCurrentUserName().ValueOr({});
  ASSERT_FALSE(name.empty());
  // uid 0 is the system account under either of its names; others are Unix SIDs.
  EXPECT_EQ(SidOf(name).substr(0, 9), name == L"SYSTEM" ? L"S-1-5-18" : L"S-1-22-1-");
  EXPECT_EQ(SidOf(L"root"), L"S-1-5-18");
  EXPECT_EQ(SidOf(L"nobody").substr(0, 9), L"S-1-22-1-");
}

// The service's account owns /var/lib/wayline, and a user who made a root
// administers it: the owner is the system account there, as root is.
TEST(Account, TheOwnerOfTheMachineRootIsTheSystemAccount) {
  if (test::OnWindows()) GTEST_SKIP() << "Windows has a system account of its own";
  test::TempRoot root;
  std::wstring name = platform::GetCurrentUserName().ValueOr({});
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name, L"SYSTEM") << "the maker of the root";
  std::wstring nobody = SidOf(L"nobody");
  ASSERT_EQ(nobody.substr(0, 9), L"S-1-22-1-");
  test::SharedProgram child(L"scribe_test_child");
  std::wstring report = (child.Folder() / "report").wstring();
  auto childSees = [&] {
    std::optional<int> code = test::RunAs(L"nobody", child.Path(), {L"user-name", report});
    return code == 0 ? test::ReadFileText(report) : "exit " + std::to_string(code.value_or(-1));
  };
  if (!test::RunAs(L"nobody", child.Path(), {L"exit-with", L"0"}))
    GTEST_SKIP() << "only root can start a process as another user";
  EXPECT_EQ(childSees(), "nobody " + Utf8FromWide(nobody));

  ASSERT_TRUE(test::GiveTo(root.Path(), L"nobody"));
  EXPECT_EQ(SidOf(L"nobody"), L"S-1-5-18");
  EXPECT_EQ(SidOf(L"root"), L"S-1-5-18");
  EXPECT_EQ(childSees(), "SYSTEM S-1-5-18");
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
      {{2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, L""},  // revision 2
      {{1, 2, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, L""},  // one sub-authority short
  };
  for (const auto& c : cases) {
    auto text = ConvertSidToString(c.sid);
    EXPECT_EQ(text.ValueOr({}), c.text) << text.ErrorCode();
  }
}

TEST(KnownFolder, FoldersLieUnderTheMachineRoot) {
  test::TempRoot root;
  auto path = GetKnownFolderPath(KnownFolder::ProgramData, false);
  ASSERT_TRUE(path) << path.ErrorCode();
  EXPECT_EQ(fs::path(*path), root.Path() / "ProgramData");
  EXPECT_FALSE(fs::exists(*path));
  path = GetKnownFolderPath(KnownFolder::ProgramData, true);
  ASSERT_TRUE(path) << path.ErrorCode();
  EXPECT_TRUE(fs::is_directory(*path));
  path = GetKnownFolderPath(KnownFolder::System, false);
  ASSERT_TRUE(path) << path.ErrorCode();
  EXPECT_EQ(fs::path(*path), root.Path() / "System32");
}

TEST(DebugOutput, TextReachesStandardErrorAsUtf8) {
  if (test::OnWindows()) GTEST_SKIP() << "OutputDebugStringW goes to a debugger, which a test cannot read back";
  test::TempFolder folder;
  auto file = folder.Path() / "stderr.txt";
  ASSERT_EQ(test::RunChild({L"debug-output", file.wstring(), L"TESSEL: d\u00e9j\u00e0 vu\n"}), 0);
  EXPECT_EQ(test::ReadFileText(file), "TESSEL: d\xC3\xA9j\xC3\xA0 vu\n");
}

// Two processes count under the mutex; then the owner locks it recursively
// (also through a second object) and, once released, a child takes it.
TEST(NamedMutex, ExcludesOtherProcessesAndOwnerMayLockAgain) {
  test::TempRoot root;
  test::TempFolder folder;
  auto counter = folder.Path() / "counter.txt";
  test::WriteFileBytes(counter, {'0'});
  constexpr int kRounds = 300;
  std::vector<std::wstring> arguments = {L"mutex-count", L"Global\\ScribeHostTestMutex", counter.wstring(),
                                         std::to_wstring(kRounds)};
  auto first = test::StartChild(arguments);
  auto second = test::StartChild(arguments);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0);
  EXPECT_EQ(test::ReadFileText(counter), std::to_string(2 * kRounds));

  Win32Error error = 0;
  auto mutex = CreateNamedMutex(L"Global\\ScribeHostTestMutex", &error);
  auto same = CreateNamedMutex(L"Global\\ScribeHostTestMutex", &error);
  ASSERT_TRUE(mutex && same) << error;
  mutex->Lock();
  mutex->Lock();
  same->Lock();
  same->Unlock();
  mutex->Unlock();
  mutex->Unlock();
  arguments.back() = L"1";
  EXPECT_EQ(test::RunChild(arguments), 0);
  EXPECT_EQ(test::ReadFileText(counter), std::to_string(2 * kRounds + 1));

  EXPECT_EQ(CreateNamedMutex(L"No\\Such\\Namespace", &error), nullptr);
  EXPECT_EQ(error, kErrorPathNotFound);
}

}  // namespace
