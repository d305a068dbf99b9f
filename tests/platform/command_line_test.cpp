// Command lines split into words by the Windows runtime's rules, and words
// joined so that splitting gives them back.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wl::platform {
namespace {

using Words = std::vector<std::string>;

TEST(CommandLine, SplitsByTheRuntimeRules) {
  struct Row {
    std::string line;
    Words words;
  };
  const Row rows[] = {
      {"", {}},
      {" \t ", {}},
      {"a  b\tc ", {"a", "b", "c"}},
      {"\"\"", {""}},
      {"\"\" \"\"", {"", ""}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"\"open to the end", {"open to the end"}},
      {"a\\b\\\\c", {"a\\b\\\\c"}},
      {"trailing\\\\", {"trailing\\\\"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"a\\\\\\\"b c", {"a\\\"b", "c"}},
      {"\"a\\\"b\"", {"a\"b"}},
      {"\"x\\\\\" y", {"x\\", "y"}},
      {"/opt/w\xC3\xA9/ScribeHost -Service", {"/opt/w\xC3\xA9/ScribeHost", "-Service"}},
  };
  for (const Row& row : rows) EXPECT_EQ(SplitCommandLine(row.line), row.words) << row.line;
}

TEST(CommandLine, JoinQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(JoinCommandLine(Words{"/opt/wayline/ScribeHost", "-Service", "C:\\dir\\"}),
            "/opt/wayline/ScribeHost -Service C:\\dir\\");
  EXPECT_EQ(JoinCommandLine(Words{"a b", "", "\t"}), "\"a b\" \"\" \"\t\"");
  EXPECT_EQ(JoinCommandLine(Words{"say \"hi\"", "dir\\ x\\"}), "\"say \\\"hi\\\"\" \"dir\\ x\\\\\"");
  EXPECT_EQ(JoinCommandLine(Words{}), "");
  // The wide form follows the same rule.
  EXPECT_EQ(JoinCommandLine(std::vector<std::wstring>{L"a\\\"b", L"c d\\"}), L"\"a\\\\\\\"b\" \"c d\\\\\"");
}

TEST(CommandLine, JoinThenSplitGivesBackTheWords) {
  // Single words, and runs longer than the pairs below reach.
  const Words samples[] = {{}, {""}, {"\""}, {"a b\\"}, {"a\\\\\"b c\\\\"}, {"\\\"\\\"", "\\ \\"}};
  for (const Words& words : samples) {
    EXPECT_EQ(SplitCommandLine(JoinCommandLine(words)), words) << JoinCommandLine(words);
  }
  // Every pair of words of up to three letters from the characters that
  // matter, so that each run of backslashes meets each neighbour.
  const std::string letters = "a \t\"\\";
  Words all = {""};
  for (std::size_t begin = 0, length = 1; length <= 3; ++length) {
    std::size_t end = all.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : letters) all.push_back(all[i] + c);
    }
    begin = end;
  }
  int failures = 0;
  for (const std::string& first : all) {
    for (const std::string& second : all) {
      Words words = {first, second};
      if (SplitCommandLine(JoinCommandLine(words)) != words && ++failures <= 5) {
        ADD_FAILURE() << "[" << first << "] [" << second << "] joined as " << JoinCommandLine(words);
      }
    }
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace wl::platform
