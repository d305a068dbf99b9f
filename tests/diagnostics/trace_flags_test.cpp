#include "diagnostics/trace_flags.h"

#include <gtest/gtest.h>

#include "tests/support/diagnostics_test_support.h"

namespace wl {
namespace {

using platform::kHKeyLocalMachine;
using TraceFlagsTest = test::DiagnosticsTest;

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
