// Shared set-up of the log service tests: a temporary machine root with its
// own registry and data folder, a hand-driven clock, and the service's
// diagnostic lines read back from the daily fallback file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/clock.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "logclient/path_data.h"
#include "platform/account.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tests/test_support.h"

namespace wl::test {

class ServiceFixture : public ::testing::Test {
 protected:
  // 4 December, 10:34:55.123 local time.
  static constexpr LocalTime kLocalTime{2026, 12, 5, 4, 10, 34, 55, 123};

  // Each test's clock starts far beyond the last one (and the real clock),
  // so that caches keyed on the steady clock, such as the trace flags, read
  // the registry afresh at the first look.
  static std::int64_t NextClockStart() {
    static std::int64_t next = 1'000'000'000'000'000'000;
    next += 100'000'000'000'000;
    return next;
  }

  void SetUp() override {
    // Singletons cache the data folder: let them find the new root.
    LifetimeTracker::Instance().DestroyAll();
    SetFileOutput(true);
  }

  void TearDown() override { LifetimeTracker::Instance().DestroyAll(); }

  std::filesystem::path DataFolder() { return std::filesystem::path(GetDataFolder()); }
  std::filesystem::path LogPath(std::string_view baseName) {
    return DataFolder() / (std::string(baseName) + ".log");
  }
  std::string ReadLog(std::string_view fileName) { return ReadFileText(DataFolder() / fileName); }
  bool Exists(std::string_view fileName) { return std::filesystem::exists(DataFolder() / fileName); }

  // Writes a value of any type under HKLM\Software\Kestrix\Wayline.
  void SetProductValue(std::wstring_view name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyAllAccess, &key,
                                          nullptr),
              0u);
    EXPECT_EQ(platform::RegistrySetValue(key, name, type, data.data(), static_cast<std::uint32_t>(data.size())),
              0u);
    platform::RegistryCloseKey(key);
  }
  void SetProductDword(std::wstring_view name, std::uint32_t value) {
    SetProductValue(name, platform::kRegDword,
                    {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                     static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
  }

  // Sets the user's TraceFlags (for the system account, through the
  // logged-on user, which is then the account itself) and moves the clock on
  // so that the next flag test reads them.
  void SetTraceFlags(std::uint32_t flags) {
    std::wstring user;
    ASSERT_EQ(platform::GetCurrentUserName(&user), 0u);
    SetProductValue(L"LoggedOnUser", platform::kRegSz, Utf16Bytes(user));
    platform::HKey key = nullptr;
    ASSERT_EQ(platform::RegistryCreateKey(platform::kHKeyCurrentUser, kCurrentInstallKey, platform::kKeyAllAccess,
                                          &key, nullptr),
              0u);
    EXPECT_EQ(platform::RegistrySetValue(key, L"TraceFlags", platform::kRegDword, &flags, sizeof flags), 0u);
    platform::RegistryCloseKey(key);
    clock_.AdvanceSeconds(11);
  }

  // Every diagnostic line written so far, as the daily fallback file holds
  // them (UTF-8). Tearing the singletons down makes the FileLogger write out
  // its queue first; file output is switched on again afterwards.
  std::string Diagnostics() {
    LifetimeTracker::Instance().DestroyAll();
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
      if (entry.path().filename().string().starts_with("scribe_test")) text += ReadFileText(entry.path());
    }
    SetFileOutput(true);
    return text;
  }

  static std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
  }

  static std::string Utf8(std::wstring_view text) { return platform::Utf8FromWide(text); }

  static std::vector<std::uint8_t> Utf16Bytes(std::wstring_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : platform::Utf16FromWide(text)) {
      bytes.push_back(static_cast<std::uint8_t>(unit));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
  }

  TempRoot root_;
  ManualClock clock_{NextClockStart(), kLocalTime};
  ScopedClock installedClock_{clock_};
};

}  // namespace wl::test
