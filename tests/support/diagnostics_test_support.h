// The fixture of the diagnostics suites: a temporary root, fresh singletons,
// no product keys, and a manual clock whose steps let the process-wide
// 11-second caches read afresh.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "diagnostics/clock.h"
#include "diagnostics/format.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/singleton.h"
#include "diagnostics/trace_flags.h"
#include "platform/system.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl::test {

// Writes TraceFlags where this process reads it: its own hive, or, for the
// system account, the hive of "nobody" named as LoggedOnUser.
[[nodiscard]] inline Win32Error SetTraceFlags(std::uint32_t flags) {
  std::wstring key(kCurrentInstallKey);
  platform::HKey root = platform::kHKeyCurrentUser;
  if (RunningAsSystem()) {
    if (Win32Error result = SetString(platform::kHKeyLocalMachine, kProductKey, L"LoggedOnUser", L"nobody")) {
      return result;
    }
    root = platform::kHKeyUsers;
    key = Format(L"{}\\{}", SidOf(L"nobody"), kCurrentInstallKey);
  }
  return SetNumber(root, key, L"TraceFlags", flags);
}

// A temporary root, fresh singletons, no product keys, and a manual clock a
// day ahead of any earlier one: the trace-flag cache keeps the time of its
// last read for the whole process and reads again only at a later time.
class DiagnosticsTest : public ::testing::Test {
 protected:
  DiagnosticsTest() : clock_(FreshSteadyStart()), installedClock_(clock_) {}

  void SetUp() override {
    LifetimeTracker::Instance().DestroyAll();
    RemoveProductKeys();
  }

  void TearDown() override {
    LifetimeTracker::Instance().DestroyAll();
    // Leave the cache as a fresh process finds it.
    PassRefreshInterval();
    RemoveProductKeys();
    GetTraceFlags();
    // What that read reported may have started a reporting thread, which
    // reads this test's clock: it ends before the clock does.
    LifetimeTracker::Instance().DestroyAll();
  }

  void PassRefreshInterval() { clock_.AdvanceSeconds(11); }

  static std::int64_t FreshSteadyStart() {
    static std::int64_t last = 0;
    last = std::max(last, platform::SteadyClockNanoseconds()) + 86'400'000'000'000;
    return last;
  }

  TempRoot root_;
  MachineStateLock machineLock_;
  ManualClock clock_;
  ScopedClock installedClock_;
};

}  // namespace wl::test
