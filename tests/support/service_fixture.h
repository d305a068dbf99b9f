// Shared set-up of the log service tests: a temporary machine root, a
// hand-driven clock, and the service's diagnostic lines read back from the
// daily fallback file.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ScribeHost.h"
#include "com/com.h"
#include "diagnostics/clock.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/singleton.h"
#include "logclient/file_logger.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/library_test_support.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl::test {

// The library tests' set-up (temporary root, fresh singletons and clock, no
// product keys, turns on the machine-wide state under Wine) with the file
// output of the diagnostic lines on and no log files left from elsewhere.
class ServiceFixture : public LibraryTest {
 protected:
  // The manual clock's local time: 4 December, 10:34:55.123.
  static constexpr LocalTime kLocalTime{2026, 12, 5, 4, 10, 34, 55, 123};

  void SetUp() override {
    LibraryTest::SetUp();
    // Under Wine the data folder belongs to the prefix, not to the root.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(DataFolder(), error)) {
      if (entry.path().extension() == ".log" || entry.path().string().find(".log.") != std::string::npos) {
        std::filesystem::remove(entry.path(), error);
      }
    }
    SetFileOutput(true);
  }

  std::filesystem::path DataFolder() { return std::filesystem::path(GetDataFolder()); }
  std::filesystem::path LogPath(std::string_view baseName) { return DataFolder() / (std::string(baseName) + ".log"); }
  std::string ReadLog(std::string_view fileName) { return ReadFileText(DataFolder() / fileName); }
  bool Exists(std::string_view fileName) { return std::filesystem::exists(DataFolder() / fileName); }

  // Writes a value of any type under HKLM\Software\Kestrix\Wayline.
  [[nodiscard]] Win32Error SetProductValue(std::wstring_view name, std::uint32_t type,
                                           const std::vector<std::uint8_t>& data) {
    return SetValue(platform::kHKeyLocalMachine, kProductKey, name, type, data);
  }
  [[nodiscard]] Win32Error SetProductDword(std::wstring_view name, std::uint32_t value) {
    return SetNumber(platform::kHKeyLocalMachine, kProductKey, name, value);
  }

  // Sets the trace flags and moves the clock so that the flag cache reads
  // them at its next look.
  [[nodiscard]] Win32Error SetFlags(std::uint32_t flags) {
    Win32Error result = SetTraceFlags(flags);
    PassRefreshInterval();
    return result;
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

  // Activates the local server's TraceLogManager for IUnknown (run: and puts
  // it in the running state, as the Logger does) and asks for
  // ITraceLogManager; null after a failure, which it reports.
  static ITraceLogManager* ConnectToManager(bool run = false) {
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              S_OK);
    if (unknown == nullptr) return nullptr;
    if (run) {
      EXPECT_EQ(OleRun(unknown), S_OK);
    }
    ITraceLogManager* manager = nullptr;
    EXPECT_EQ(unknown->QueryInterface(IID_ITraceLogManager, reinterpret_cast<void**>(&manager)), S_OK);
    unknown->Release();
    return manager;
  }

  // Waits until the log file holds count copies of the text: a server's
  // writer may still be behind when the calls have been answered.
  bool WaitForLines(std::string_view file, const std::string& text, std::size_t count) {
    WaitUntil([&] { return CountOf(ReadLog(file), text) >= count; }, std::chrono::seconds(20));
    return CountOf(ReadLog(file), text) == count;
  }

  static std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
  }

  static std::string Utf8(std::wstring_view text) { return platform::Utf8FromWide(text); }
};

// Holds every file write and flush of the process inside the fault seam
// until released, as a disk that has stopped answering would: the writer
// thread stays in the write it began.
class WriterGate {
 public:
  WriterGate()
      : faults_([this](platform::FileOperation, std::size_t) {
          std::unique_lock lock(mutex_);
          ++inside_;
          entered_ = true;
          changed_.notify_all();
          changed_.wait(lock, [this] { return !held_; });
          --inside_;
          changed_.notify_all();
          return platform::FileFault{};
        }) {}
  // Lets the held threads go and waits until they have left the gate, which
  // they may not touch once it is gone.
  ~WriterGate() {
    platform::SetFileFaultHook({});
    Release();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return inside_ == 0; });
  }
  WriterGate(const WriterGate&) = delete;
  WriterGate& operator=(const WriterGate&) = delete;

  // Waits until some thread is held in a write or flush; false when none
  // came within a minute (a broken build, not a slow machine).
  bool WaitUntilEntered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::minutes(1), [this] { return entered_; });
  }
  // True while a thread has entered and nothing was released.
  bool Holding() {
    std::lock_guard lock(mutex_);
    return entered_ && held_;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool held_ = true;
  int inside_ = 0;
  ScopedFileFaults faults_;
};

}  // namespace wl::test
