#include "diagnostics/trace_flags.h"

#include <gtest/gtest.h>

#include "tests/library_test_support.h"

namespace wl {
namespace {

using platform::kHKeyLocalMachine;
using TraceFlagsTest = test::LibraryTest;

TEST_F(TraceFlagsTest, FlagsRefreshOnlyAfterElevenSeconds) {
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagAlways));
  test::SetTraceFlags(0x80010000u);
  // The first read of this clock's epoch is due at once, then every 11 s.
  EXPECT_EQ(GetTraceFlags(), 0x80010000u);
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagDigest));
  EXPECT_TRUE(IsTraceFlagSet(48));  // only the low five bits count: bit 16
  EXPECT_FALSE(IsTraceFlagSet(0));
  test::SetTraceFlags(0);
  clock_.AdvanceMilliseconds(10'999);
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagDebugDiagnostics));
  clock_.AdvanceMilliseconds(1);
  EXPECT_FALSE(IsTraceFlagSet(kTraceFlagDebugDiagnostics));
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagAlways));
}

// An ordinary user reads its own hive; the system account (uid 0 on Linux)
// reads the hive of the account named as LoggedOnUser, never its own.
TEST_F(TraceFlagsTest, UserSettingComesFromTheUsersHive) {
  std::wstring sid = L"junk";
  EXPECT_EQ(GetUserSidString(L"no-such-account", sid), kErrorNoneMapped);
  EXPECT_EQ(sid, L"");
  ASSERT_EQ(recorder_.Reports().size(), 1u);
  if (!test::RunningAsSystem()) {
    ASSERT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kCurrentInstallKey, L"TraceFlags", 5), 0u);
    ASSERT_EQ(test::SetString(kHKeyLocalMachine, kProductKey, L"LoggedOnUser", L"no-such-account"), 0u);
    EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 5u);
    EXPECT_EQ(recorder_.Reports().size(), 1u);
    return;
  }
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 4), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0u);
  ASSERT_EQ(test::SetString(kHKeyLocalMachine, kProductKey, L"LoggedOnUser", L"no-such-account"), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0u);
  test::SetTraceFlags(0x10000);
  ASSERT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kCurrentInstallKey, L"TraceFlags", 1), 0u);
  EXPECT_EQ(ReadUserSettingDword(L"TraceFlags"), 0x10000u);

  auto reports = recorder_.Reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_TRUE(reports[1].starts_with(L"1/5 OpenKey failed! ")) << reports[1];
  EXPECT_TRUE(reports[2].starts_with(L"1/5 ReadValue failed! ")) << reports[2];
  EXPECT_TRUE(reports[3].starts_with(L"1/2 LookupAccountName failed! Error 1332 (0x534)")) << reports[3];
}

TEST_F(TraceFlagsTest, TraceLevelDefaultsToInfoAndKeepsTheLowSixteenBits) {
  EXPECT_EQ(ReadTraceLevel(), 4u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 0x10005), 0u);
  EXPECT_EQ(ReadTraceLevel(), 5u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 2, 8), 0u);
  EXPECT_EQ(ReadTraceLevel(), 4u);
  EXPECT_TRUE(recorder_.Reports().empty());
}

}  // namespace
}  // namespace wl
