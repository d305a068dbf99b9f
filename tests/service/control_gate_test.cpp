#include "service/control_gate.h"

#include <gtest/gtest.h>

#include "platform/system.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

class ControlGateTest : public test::ServiceFixture {
 protected:
  // A gate whose callers are those the test names.
  ControlGate gate_{[this] { return caller_; }};
  platform::ComCaller caller_;
};

TEST_F(ControlGateTest, RestrictControlLeavesControlToSystemAndReportsEachCallerOncePerMinute) {
  const platform::ComCaller system{true, L"S-1-5-18", 10}, alice{false, L"S-1-22-1-1000", 11},
      bob{false, L"S-1-22-1-1001", 12};
  caller_ = alice;
  EXPECT_TRUE(gate_.Allows(L"ResetLogs"));
  ASSERT_EQ(SetProductDword(L"RestrictControl", 1), 0u);
  // Read again once the period has passed.
  EXPECT_TRUE(gate_.Allows(L"ResetLogs"));
  PassRefreshInterval();
  struct Row {
    platform::ComCaller caller;
    std::int64_t secondsLater;
    bool allowed;
  };
  const Row rows[] = {
      {system, 0, true},  {alice, 0, false}, {alice, 30, false},
      {alice, 29, false}, {bob, 0, false},   {alice, 1, false},  // a minute after alice's first report
  };
  for (const Row& row : rows) {
    clock_.AdvanceSeconds(row.secondsLater);
    caller_ = row.caller;
    EXPECT_EQ(gate_.Allows(L"SetLogLevel"), row.allowed) << Utf8(row.caller.account);
  }
  std::string diagnostics = Diagnostics();
  EXPECT_EQ(CountOf(diagnostics, "SetLogLevel refused to S-1-22-1-1000 (process 11): RestrictControl lets only SYSTEM"),
            2u)
      << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, "refused to S-1-22-1-1001 (process 12)"), 1u);
  EXPECT_NE(diagnostics.find("; 2 more refused since the last report Error 5 (0x5)"), std::string::npos);
  EXPECT_EQ(CountOf(diagnostics, "refused to"), 3u);

  ASSERT_EQ(SetProductDword(L"RestrictControl", 0), 0u);
  PassRefreshInterval();
  EXPECT_TRUE(gate_.Allows(L"ResetLogs"));
}

// Outside a call from another process the caller is the process itself:
// on Linux SYSTEM for a machine root of its own.
TEST(ComCaller, AProcessCallingItselfIsItsOwnCaller) {
  platform::ComCaller caller = platform::GetComCaller();
  EXPECT_EQ(caller.processId, platform::GetCurrentProcessId());
  EXPECT_TRUE(caller.account.starts_with(L"S-1-")) << platform::Utf8FromWide(caller.account);
  if (!test::OnWindows()) {
    test::TempRoot root;
    EXPECT_TRUE(platform::GetComCaller().system);
  }
}

}  // namespace
}  // namespace wl
