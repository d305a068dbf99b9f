#include "diagnostics/trace_flags.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "diagnostics/refreshed_value.h"

#include "tests/server_fixture.h"

namespace wl {
namespace {

using platform::kHKeyLocalMachine;
using TraceFlagsTest = test::LibraryTest;
// The reports of the account look-ups land in the service's Wayline.log.
using TraceFlagsReportTest = test::ReportTest;

TEST_F(TraceFlagsTest, FlagsRefreshOnlyAfterElevenSeconds) {
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagAlways));
  ASSERT_EQ(test::SetTraceFlags(0x80010000u), 0u);
  // The first read of this clock's epoch is due at once, then every 11 s.
  EXPECT_EQ(GetTraceFlags(), 0x80010000u);
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagDigest));
  EXPECT_TRUE(IsTraceFlagSet(48));  // only the low five bits count: bit 16
  EXPECT_FALSE(IsTraceFlagSet(0));
  ASSERT_EQ(test::SetTraceFlags(0), 0u);
  clock_.AdvanceMilliseconds(10'999);
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagDebugDiagnostics));
  clock_.AdvanceMilliseconds(1);
  EXPECT_FALSE(IsTraceFlagSet(kTraceFlagDebugDiagnostics));
  EXPECT_TRUE(IsTraceFlagSet(kTraceFlagAlways));
}

// A thread that asks while the first read of the process is still running
// reads too, instead of taking the initial 0: at a service's start the
// transport's first debug report came while the main thread read the flags.
TEST(RefreshedValueTest, NoCallerTakesTheInitialValueWhileTheFirstReadRuns) {
  RefreshedValue value(kSettingStaleAfterSeconds);
  std::atomic<bool> secondReturned = false;
  std::atomic<int> reads = 0;
  std::thread first([&] {
    EXPECT_EQ(value.Get([&] {
      ++reads;
      for (int i = 0; i < 2000 && !secondReturned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return std::optional<std::uint32_t>(0x10000);
    }), 0x10000u);
  });
  while (reads == 0) std::this_thread::yield();
  EXPECT_EQ(value.Get([&] {
    ++reads;
    return std::optional<std::uint32_t>(0x10000);
  }), 0x10000u);
  secondReturned = true;
  first.join();
  EXPECT_EQ(reads, 2);
  // Once a read has ended, callers take the cached value until it is stale.
  EXPECT_EQ(value.Get([] { return std::optional<std::uint32_t>(1); }), 0x10000u);
}

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

TEST_F(TraceFlagsTest, TraceLevelDefaultsToInfoAndKeepsTheLowSixteenBits) {
  EXPECT_EQ(ReadTraceLevel(), 4u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 0x10005), 0u);
  EXPECT_EQ(ReadTraceLevel(), 5u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 2, 8), 0u);
  EXPECT_EQ(ReadTraceLevel(), 4u);
}

}  // namespace
}  // namespace wl
