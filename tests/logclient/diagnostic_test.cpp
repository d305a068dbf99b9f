#include "logclient/diagnostic.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "diagnostics/path_data.h"
#include "logclient/file_logger.h"
#include "tests/support/library_test_support.h"

namespace wl {
namespace {

TEST(Diagnostic, NameColumnIsTwelveCharacters) {
  EXPECT_EQ(FormatDiagnosticName(L"ABCDEFGHIJKL"), L"ABCDEFGHIJKL");
  EXPECT_EQ(FormatDiagnosticName(L"ABCDEFGHIJKLMNOP"), L"ABCDEFGHIJKL");
  EXPECT_EQ(FormatDiagnosticName(L"abc"), L"abc         ");
  // The module's name without folder and extension, cut to the column
  // (scribe_tests_logclient.exe on Windows).
  EXPECT_EQ(FormatDiagnosticName(L""), L"scribe_tests");
}

TEST(Diagnostic, PrefixesKeepTheirColumns) {
  LocalTime time{2027, 1, 2, 5, 3, 4, 5, 6};
  std::wstring pid = Format(L"{:05x}", platform::GetCurrentProcessId());
  EXPECT_EQ(FormatDiagnosticPrefix({time, 0xabc}), L"01/05 03:04:05.006 " + pid + L"-00abc: ");
  EXPECT_EQ(FormatDiagnosticPrefix({{2026, 12, 0, 31, 23, 59, 58, 999}, 0x1234abc}),
            L"12/31 23:59:58.999 " + pid + L"-1234abc: ");
  // Blanks in place of "ppppp-ttttt", so that the colon keeps its column.
  EXPECT_EQ(FormatTimestampPrefix(time), L"01/05 03:04:05.006            : ");
}

using DiagnosticLineTest = test::LibraryTest;

TEST_F(DiagnosticLineTest, LinesReachTheDailyFile) {
  SetFileOutput(true);
  WriteDiagnosticAs(L"Abc", L"hello {}");
  WriteDiagnostic(L"ends\n");
  WriteDiagnostic(L"");
  DiagnosticError(5, L"open {} failed", L"x.log");
  DiagnosticError(0, L"a {{b}} {");
  DiagnosticDebug(L"hidden");
  ASSERT_EQ(test::SetTraceFlags(0x10000), 0u);
  PassRefreshInterval();
  DiagnosticDebug(L"shown {{1}}");
  LifetimeTracker::Instance().DestroyAll();

  auto stamp = [](const char* name) {
    return Format("[{}] 12/04 10:34:55.123 {:05x}-{:05x}: ", name, platform::GetCurrentProcessId(),
                  platform::GetCurrentThreadId());
  };
  std::string text =
      test::ReadFileText(std::filesystem::path(GetDataFolder()) / "scribe_tests_logclient_2026-12-04.log");
  std::string expected = stamp("Abc         ") + "hello {}\r\n" + stamp("scribe_tests") + "ends\r\n" +
                         stamp("scribe_tests") + "\r\n" + stamp("scribe_tests") +
                         "Error: open x.log failed Error 5 (0x5)";
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  EXPECT_NE(text.find(stamp("scribe_tests") + "Error: Exception format: 'a {{b}} {' - "), std::string::npos) << text;
  EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
  EXPECT_NE(text.find(stamp("scribe_tests") + "Debug: shown {1}\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace wl
