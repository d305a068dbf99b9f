// Helpers of the client-library suites: a recorder of the debug output, and
// the diagnostics fixture with the DebugOutput switch's cache reset as well.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/registry_key.h"
#include "logclient/log_output.h"
#include "tests/support/diagnostics_test_support.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl::test {

// Text of the lines of the two-process FileLogger test, with characters of
// two and three UTF-8 bytes.
inline constexpr std::wstring_view kFileLoggerFiller = L"\u00e4\u00f6\u00fc \u20ac the quick brown fox 0123456789";

inline Win32Error SetDebugOutput(std::uint32_t value) {
  return SetNumber(platform::kHKeyLocalMachine, kCurrentInstallKey, L"DebugOutput", value);
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

// The diagnostics fixture with the debug output recorded, and the
// DebugOutput cache, which like the trace flags keeps the time of its last
// read for the whole process, left as a fresh process finds it.
class LibraryTest : public DiagnosticsTest {
 protected:
  void TearDown() override {
    LifetimeTracker::Instance().DestroyAll();
    // A missing key would keep the cached DebugOutput.
    // A test may leave the machine hive damaged on purpose; the next test's
    // root is a fresh one.
    (void)SetDebugOutput(0);
    PassRefreshInterval();
    IsDebugOutputEnabled();
    DiagnosticsTest::TearDown();
  }

  Recorder recorder_;
};

}  // namespace wl::test
