// Helpers of the diagnostics and client-library suites: a recorder of
// the debug output, and a fixture whose clock lets the
// process-wide 11-second caches read afresh.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/clock.h"
#include "diagnostics/format.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/singleton.h"
#include "diagnostics/trace_flags.h"
#include "logclient/log_output.h"
#include "platform/named_mutex.h"
#include "platform/system.h"
#include "tests/test_support.h"

namespace wl::test {

// Text of the lines of the two-process FileLogger test, with characters of
// two and three UTF-8 bytes.
inline constexpr std::wstring_view kFileLoggerFiller = L"\u00e4\u00f6\u00fc \u20ac the quick brown fox 0123456789";

inline Win32Error SetDebugOutput(std::uint32_t value) {
  return SetNumber(platform::kHKeyLocalMachine, kCurrentInstallKey, L"DebugOutput", value);
}

// Under Wine the product's keys live in the prefix's registry, not in the
// temporary root, so tests remove them.
inline void RemoveProductKeys() {
  (void)platform::RegistryDeleteKeyTree(platform::kHKeyLocalMachine, L"Software\\Kestrix");
  (void)platform::RegistryDeleteKeyTree(platform::kHKeyCurrentUser, L"Software\\Kestrix");
}

inline bool RunningAsSystem() {
  std::wstring name;
  return platform::GetCurrentUserName(&name) == 0 && name == L"SYSTEM";
}

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

// Records the text that reaches the debug output while it exists.
class Recorder {
 public:
  Recorder() {
    SetDebugOutputSinkForTesting([this](std::wstring_view text) {
      std::lock_guard lock(mutex_);
      debug_.emplace_back(text);
    });
  }
  ~Recorder() { SetDebugOutputSinkForTesting({}); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  std::vector<std::wstring> Debug() {
    std::lock_guard lock(mutex_);
    return debug_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::wstring> debug_;
};

// Under Wine the product's keys and data folder belong to the prefix and are
// shared by the test programs that ctest runs side by side, so the tests
// that change them take turns. On Linux the lock lives in the test's own root.
struct MachineStateLock {
  MachineStateLock() : mutex(platform::CreateNamedMutex(L"ScribeLibraryTests", &error)) {
    if (mutex) mutex->Lock();
  }
  ~MachineStateLock() {
    if (mutex) mutex->Unlock();
  }
  Win32Error error = 0;
  std::unique_ptr<platform::NamedMutex> mutex;
};

// A temporary root, fresh singletons, no product keys, and a manual clock a
// day ahead of any earlier one: the trace-flag and DebugOutput caches keep
// the time of their last read for the whole process and read again only at
// a later time.
class LibraryTest : public ::testing::Test {
 protected:
  LibraryTest() : clock_(FreshSteadyStart()), installedClock_(clock_) {}

  void SetUp() override {
    LifetimeTracker::Instance().DestroyAll();
    RemoveProductKeys();
  }

  void TearDown() override {
    LifetimeTracker::Instance().DestroyAll();
    // Leave the caches as a fresh process finds them: a missing key would
    // keep the cached DebugOutput.
    SetDebugOutput(0);
    PassRefreshInterval();
    IsDebugOutputEnabled();
    RemoveProductKeys();
    GetTraceFlags();
    // What those reads reported may have started a Logger, whose thread
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
  Recorder recorder_;
};

}  // namespace wl::test
