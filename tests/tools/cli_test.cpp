// The kit of the command-line tools: the numbers they take and the spelling
// of a request for help.
#include "tools/cli/cli.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace wl::cli {
namespace {

TEST(ToolKit, Numbers) {
  struct Row {
    std::wstring_view text;
    std::uint64_t limit;
    std::optional<std::uint64_t> value;
  };
  const Row rows[] = {
      {L"0", 0xFFFFFFFF, 0},
      {L"4294967295", 0xFFFFFFFF, 0xFFFFFFFFu},
      {L"4294967296", 0xFFFFFFFF, std::nullopt},
      {L"0x10", 0xFFFFFFFF, 16},
      {L"0XfF", 0xFF, 255},
      {L"0x100", 0xFF, std::nullopt},
      {L"0xffffffffffffffff", ~std::uint64_t{0}, ~std::uint64_t{0}},
      {L"18446744073709551616", ~std::uint64_t{0}, std::nullopt},
      {L"0x", 0xFF, std::nullopt},
      {L"0x-1", 0xFF, std::nullopt},
      {L"12x", 0xFFFFFFFF, std::nullopt},
      {L"-1", 0xFFFFFFFF, std::nullopt},
      {L"+1", 0xFFFFFFFF, std::nullopt},
      {L" 1", 0xFFFFFFFF, std::nullopt},
      {L"1 ", 0xFFFFFFFF, std::nullopt},
      {L"\u0661", 0xFFFFFFFF, std::nullopt},  // an Arabic-Indic digit one
      {std::wstring_view(L"1\u0131", 2), 0xFFFFFFFF, std::nullopt},
      {std::wstring_view(L"1\0", 2), 0xFFFFFFFF, std::nullopt},
      {L"", 0xFFFFFFFF, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ParseNumber(row.text, row.limit), row.value) << platform::Utf8FromWide(row.text);
  }
}

TEST(ToolKit, HelpSpelling) {
  for (Habits habits : {Habits::kUnix, Habits::kWindows}) {
    EXPECT_TRUE(IsHelp(L"-h", habits));
    EXPECT_TRUE(IsHelp(L"--help", habits));
    // "/?" is a text or a file name for a tool with Unix habits.
    EXPECT_EQ(IsHelp(L"/?", habits), habits == Habits::kWindows);
    for (std::wstring_view other : {L"-?", L"/h", L"-help", L"--HELP", L"-H", L"/?x", L"", L"h"}) {
      EXPECT_FALSE(IsHelp(other, habits)) << platform::Utf8FromWide(other);
    }
  }
}

}  // namespace
}  // namespace wl::cli
