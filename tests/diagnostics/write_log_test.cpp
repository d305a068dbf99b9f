// WriteLog in a program of diagnostics/ and what lies below it: nothing of
// the client library is linked, and a report reaches the sink that the
// program sets, or nothing.
#include "diagnostics/write_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/trace_flags.h"
#include "platform/text.h"

namespace wl {
namespace {

std::mutex capturedLock;
std::vector<std::wstring> captured;

void Capture(std::uint16_t source, std::uint16_t level, std::wstring_view text) {
  std::lock_guard lock(capturedLock);
  captured.push_back(std::to_wstring(source) + L" " + std::to_wstring(level) + L" " + std::wstring(text));
}

std::vector<std::wstring> TakeCaptured() {
  std::lock_guard lock(capturedLock);
  return std::exchange(captured, {});
}

class WriteLogTest : public ::testing::Test {
 protected:
  void SetUp() override { (void)TakeCaptured(); }
  void TearDown() override { (void)SetLogSink(nullptr); }
};

// A support function's report (an account that does not exist) goes to the
// sink once one is set, and nowhere, without failing, before and after.
TEST_F(WriteLogTest, ALibraryReportReachesOnlyTheSinkThatIsSet) {
  std::wstring sid;
  EXPECT_EQ(GetUserSidString(L"no-such-account", sid), kErrorNoneMapped);

  EXPECT_EQ(SetLogSink(&Capture), nullptr);
  EXPECT_EQ(GetUserSidString(L"no-such-account", sid), kErrorNoneMapped);
  WriteLog(kLevelWarning, L"the default source");
  WriteLog(36, kLevelDebug2, L"");
  auto reports = TakeCaptured();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_TRUE(reports[0].starts_with(L"1 2 LookupAccountName failed! Error 1332 (0x534)"))
      << platform::Utf8FromWide(reports[0]);
  EXPECT_EQ(reports[1], L"1 3 the default source");
  EXPECT_EQ(reports[2], L"36 6 ");

  EXPECT_EQ(SetLogSink(nullptr), &Capture);
  EXPECT_EQ(GetUserSidString(L"no-such-account", sid), kErrorNoneMapped);
  EXPECT_TRUE(TakeCaptured().empty());
}

std::atomic<long> countedByOther{0};
void CountOther(std::uint16_t, std::uint16_t, std::wstring_view) { countedByOther.fetch_add(1); }

// Writers on many threads while the sink changes under them: each message
// reaches at most one sink, and once the last change is made every message
// reaches the last sink.
TEST_F(WriteLogTest, TheSinkChangesWhileThreadsWrite) {
  constexpr int kThreads = 4;
  constexpr long kEach = 20000;
  countedByOther = 0;
  std::atomic<bool> settled{false};
  std::atomic<long> afterSettled{0};
  std::vector<std::thread> writers;
  writers.reserve(kThreads);

  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&] {
      for (long i = 0; i < kEach; ++i) {
        bool last = settled.load();
        WriteLog(kLevelInfo, L"m");
        if (last) afterSettled.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) (void)SetLogSink(i % 3 == 0 ? nullptr : i % 3 == 1 ? &Capture : &CountOther);
  (void)SetLogSink(&CountOther);
  long before = countedByOther.load();
  settled = true;
  for (auto& writer : writers) writer.join();
  long captures = static_cast<long>(TakeCaptured().size());
  EXPECT_LE(captures + countedByOther.load(), kThreads * kEach);
  EXPECT_GE(countedByOther.load() - before, afterSettled.load());
}

}  // namespace
}  // namespace wl
