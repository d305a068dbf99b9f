#include "diagnostics/trace_flags.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "diagnostics/refreshed_value.h"

#include "tests/support/diagnostics_test_support.h"

namespace wl {
namespace {

using platform::kHKeyLocalMachine;
using TraceFlagsTest = test::DiagnosticsTest;

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
      (void)test::WaitUntil([&] { return secondReturned.load(); }, std::chrono::seconds(2));
      return std::optional<std::uint32_t>(0x10000);
    }),
              0x10000u);
  });
  while (reads == 0) std::this_thread::yield();
  EXPECT_EQ(value.Get([&] {
    ++reads;
    return std::optional<std::uint32_t>(0x10000);
  }),
            0x10000u);
  secondReturned = true;
  first.join();
  EXPECT_EQ(reads, 2);
  // Once a read has ended, callers take the cached value until it is stale.
  EXPECT_EQ(value.Get([] { return std::optional<std::uint32_t>(1); }), 0x10000u);
}

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

TEST_F(TraceFlagsTest, TraceLevelDefaultsToInfoAndKeepsTheLowSixteenBits) {
  EXPECT_EQ(ReadTraceLevel(), 4u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 0x10005), 0u);
  EXPECT_EQ(ReadTraceLevel(), 5u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kProductKey, L"TraceLevel", 2, 8), 0u);
  EXPECT_EQ(ReadTraceLevel(), 4u);
}

}  // namespace
}  // namespace wl
