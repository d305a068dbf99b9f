// The reports of the diagnostics layer (account, folder and crash handler)
// leave a process through its Logger, which installs itself as their sink,
// and land in the service's Wayline.log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diagnostics/path_data.h"
#include "diagnostics/trace_flags.h"
#include "tests/support/server_fixture.h"

namespace wl {
namespace {

using platform::kHKeyLocalMachine;
using TraceFlagsReportTest = test::ReportTest;
using PathDataReportTest = test::ReportTest;
using CrashReportTest = test::ServerTest;

TEST_F(TraceFlagsReportTest, AnUnknownAccountHasNoSid) {
  std::wstring sid = L"junk";
  EXPECT_EQ(GetUserSidString(L"no-such-account", sid), kErrorNoneMapped);
  EXPECT_EQ(sid, L"");
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].starts_with("E LookupAccountName failed! Error 1332 (0x534)")) << reports[0];
}

// Which of the next two runs depends on the account: CI runs as root (the
// system account), a developer as an ordinary user.
TEST_F(TraceFlagsReportTest, AnOrdinaryUserReadsItsOwnHive) {
  if (test::RunningAsSystem()) GTEST_SKIP() << "runs as the system account, which reads the logged-on user's hive";
  ASSERT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kCurrentInstallKey, L"TraceFlags", 5), 0u);
  ASSERT_EQ(test::SetString(kHKeyLocalMachine, kProductKey, L"LoggedOnUser", L"no-such-account"), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 5u);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(TraceFlagsReportTest, TheSystemAccountReadsTheLoggedOnUsersHive) {
  if (!test::RunningAsSystem()) GTEST_SKIP() << "runs as an ordinary user, which reads its own hive";
  // The server has read its settings; without the product key there is no
  // logged-on user to find.
  test::RemoveProductKeys();
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 4), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0u);
  ASSERT_EQ(test::SetString(kHKeyLocalMachine, kProductKey, L"LoggedOnUser", L"no-such-account"), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0u);
  ASSERT_EQ(test::SetTraceFlags(0x10000), 0u);
  ASSERT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kCurrentInstallKey, L"TraceFlags", 1), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0x10000u);

  auto reports = Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_TRUE(reports[0].starts_with("D OpenKey failed! ")) << reports[0];
  EXPECT_TRUE(reports[1].starts_with("D ReadValue failed! ")) << reports[1];
  EXPECT_TRUE(reports[2].starts_with("E LookupAccountName failed! Error 1332 (0x534)")) << reports[2];
}

TEST_F(PathDataReportTest, UnobtainableProgramDataIsReportedAndTriedAgain) {
  // Only on Linux is the program-data folder the test's own.
  if (test::OnWindows()) GTEST_SKIP() << "only the Linux program-data folder follows the test root";
  // A PathData that has not looked for the folder yet, and a linked Logger.
  LifetimeTracker::Instance().DestroyAll();
  (void)Reports();
  std::ofstream(root_.Path() / "file") << "a root below a file cannot be created";
  ASSERT_TRUE(platform::SetEnvVar(L"WAYLINE_ROOT", (root_.Path() / "file" / "root").wstring()));
  EXPECT_EQ(GetDataFolder(), L"");
  platform::SetEnvVar(L"WAYLINE_ROOT", root_.Path().wstring());
  EXPECT_NE(GetDataFolder(), L"");
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].starts_with("E Failed to get Program Data folder Error ")) << reports[0];
}

TEST_F(CrashReportTest, InvalidParameterReportsReachTheService) {
  StartServer();
  for (const wchar_t* kind : {L"invalid-parameter-texts", L"invalid-parameter-null"}) {
    auto child = test::StartChild({L"crash", kind, L"on", L"linked"});
    ASSERT_TRUE(child != nullptr);
    EXPECT_NE(child->Wait(), 99);
  }
  EXPECT_TRUE(WaitForLines("Wayline.log", "crash child linked\r\n", 2));
  EXPECT_TRUE(WaitForLines("Wayline.log", "Expression: descriptor >= 0\r\n", 1));
  std::string log = ReadLog("Wayline.log");
  EXPECT_EQ(CountOf(log, "crash child linked\r\n"), 2u) << log;
  EXPECT_EQ(CountOf(log, "+C "), 2u) << log;
  std::size_t function = log.find("Invalid parameter detected in function _close. File: close.cpp Line: 42\r\n");
  std::size_t expression = log.find("Expression: descriptor >= 0\r\n");
  ASSERT_NE(function, std::string::npos) << log;
  EXPECT_NE(expression, std::string::npos) << log;
  EXPECT_LT(function, expression);
  EXPECT_EQ(log.substr(log.rfind('\n', function) + 1, 15), "Wayline     +C ");
}

}  // namespace
}  // namespace wl
