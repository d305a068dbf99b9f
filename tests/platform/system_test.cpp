#include "platform/system.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/system_message.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace wl::platform {
namespace {

TEST(PlatformSystem, LocalTimeAgreesWithTheCalendar) {
  auto minute = [] {
    std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    return std::array{local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min};
  };
  auto before = minute();
  LocalTime now = GetLocalTime();
  auto after = minute();
  std::array<int, 5> read{now.year, now.month, now.day, now.hour, now.minute};
  EXPECT_TRUE(read == before || read == after);
  EXPECT_LE(now.second, 59);
  EXPECT_LE(now.milliseconds, 999);
  std::chrono::year_month_day date{std::chrono::year(now.year), std::chrono::month(now.month),
                                   std::chrono::day(now.day)};
  ASSERT_TRUE(date.ok());
  EXPECT_EQ(std::chrono::weekday(std::chrono::sys_days(date)).c_encoding(), now.dayOfWeek);
}

TEST(PlatformSystem, IdsClockModulePathsAndEnvironment) {
  std::int64_t first = SteadyClockNanoseconds();
  EXPECT_GT(first, 0);
  EXPECT_GE(SteadyClockNanoseconds(), first);
  std::uint32_t mainThread = GetCurrentThreadId(), otherThread = 0;
  std::thread([&otherThread] { otherThread = GetCurrentThreadId(); }).join();
  EXPECT_NE(0u, otherThread);
  EXPECT_NE(mainThread, otherThread);

  std::filesystem::path executable = GetExecutableFileName();
  EXPECT_TRUE(executable.is_absolute());
  EXPECT_EQ(std::wstring(L"scribe_tests_platform") + kExecutableSuffix, executable.filename().wstring());
  // The library is linked into the test program.
  EXPECT_EQ(executable.wstring(), GetLibraryModuleFileName());

  const std::wstring value = L"Wert \u00fc\u20ac\U0001F600";
  ASSERT_TRUE(SetEnvVar(L"WL_PLATFORM_TEST_VARIABLE", value));
  EXPECT_EQ(value, GetEnvVar(L"WL_PLATFORM_TEST_VARIABLE"));
  ASSERT_TRUE(UnsetEnvVar(L"WL_PLATFORM_TEST_VARIABLE"));
  EXPECT_EQ(std::nullopt, GetEnvVar(L"WL_PLATFORM_TEST_VARIABLE"));
}

TEST(PlatformSystem, AProgramWhoseFileWasReplacedKnowsItsPathAndId) {
  test::TempFolder folder;
  std::filesystem::path copy = folder.Path() / (std::wstring(L"scribe_test_child") + kExecutableSuffix);
  std::filesystem::copy_file(test::ProgramPath(L"scribe_test_child"), copy);
  std::filesystem::path report = folder.Path() / "report.txt";
  Win32Error error = 0;
  auto child = StartProcess(copy.wstring(), {L"delete-self", report.wstring()}, &error);
  ASSERT_TRUE(child) << error;
  int code = child->Wait();
  if (code == 77) GTEST_SKIP() << "the file of a running program cannot be deleted on this system";
  ASSERT_EQ(code, 0);
  // The executable's path, the library's and the process id, after the
  // file was deleted as a package upgrade replaces it.
  std::string path = Utf8FromWide(copy.wstring());
  EXPECT_EQ(test::ReadFileText(report), path + "\n" + path + "\n" + std::to_string(child->Id()));
}

TEST(PlatformSystemMessage, Win32HResultsShareTheirCodesText) {
  for (std::uint32_t code : {2u, 5u, 32u, 87u, 1332u}) {
    std::wstring text = FormatSystemMessage(code);
    EXPECT_TRUE(text.ends_with(L".\r\n")) << code;
    EXPECT_EQ(text, FormatSystemMessage(static_cast<std::uint32_t>(HResultFromWin32(code)))) << code;
  }
  EXPECT_EQ(L"", FormatSystemMessage(0x20001234));
  // A message with inserts ("%1 is not a valid Win32 application.") is not
  // filled without its arguments: no text.
  EXPECT_EQ(L"", FormatSystemMessage(193));
}

TEST(PlatformSystemMessage, EnglishTexts) {
  // The texts Windows gives: on Linux they check the stand-in's table, on
  // Windows the system itself. Wine words them its own way.
  if (WineVersion()) GTEST_SKIP() << "Wine's system message texts differ from the Windows texts";
  struct Row {
    std::uint32_t code;
    const wchar_t* text;
  };
  for (const Row& row : {
           Row{0, L"The operation completed successfully.\r\n"},
           Row{2, L"The system cannot find the file specified.\r\n"},
           Row{5, L"Access is denied.\r\n"},
           Row{32, L"The process cannot access the file because it is being used by another process.\r\n"},
           Row{183, L"Cannot create a file when that file already exists.\r\n"},
           Row{0x80070057, L"The parameter is incorrect.\r\n"},
           Row{0x8007000E, L"Not enough memory resources are available to complete this operation.\r\n"},
           Row{0x80004005, L"Unspecified error\r\n"},
           Row{0x80040110, L"Class does not support aggregation (or class object is remote)\r\n"},
       }) {
    EXPECT_EQ(row.text, FormatSystemMessage(row.code)) << std::hex << row.code;
  }
}

}  // namespace
}  // namespace wl::platform
