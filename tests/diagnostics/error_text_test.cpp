#include "diagnostics/error_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace wl {
namespace {

TEST(ErrorText, SuffixCarriesCodeInDecimalAndHexAndTheSystemMessage) {
  // The system's wording is checked with the platform's system messages;
  // here the shape around it.
  EXPECT_EQ(ErrorCodeText(5), L" Error 5 (0x5) - " + SystemMessageText(5));
  // A failure HRESULT reads as a negative number and its full hex value.
  EXPECT_EQ(ErrorCodeText(0x80070057u), L" Error -2147024809 (0x80070057) - " + SystemMessageText(0x80070057u));
  EXPECT_EQ(ErrorCodeText(0x2AFFFFFu), L" Error 45088767 (0x2afffff)");
  // A message with inserts is not filled: no text, no " - ".
  EXPECT_EQ(ErrorCodeText(193), L" Error 193 (0xc1)");
  EXPECT_EQ(SystemMessageText(0x2AFFFFFu), L"");
  for (std::uint32_t code : {2u, 3u, 5u, 32u, 183u, 234u}) {
    std::wstring text = SystemMessageText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find(L'\r'), std::wstring::npos) << code;
    EXPECT_NE(text.back(), L'\n') << code;
  }
  EXPECT_EQ(FormatExceptionText(L"x {}", std::runtime_error("boom")), L"Exception format: 'x {}' - boom");
  EXPECT_EQ(FormatExceptionText(L"x", std::runtime_error("")), L"Exception format: 'x' - ");
}

TEST(SafeFormat, AppliesArgumentsOfEveryKindAndNeverThrows) {
  const wchar_t* raw = L"raw";
  std::wstring owned = L"owned";
  std::wstring_view view = L"view";
  EXPECT_EQ(SafeFormat(L"{} {} {} {} {}", -3, 7u, raw, owned, view), L"-3 7 raw owned view");
  EXPECT_EQ(SafeFormat(5, L"RegOpenKeyEx {}", std::wstring(L"HKLM\\x")), L"RegOpenKeyEx HKLM\\x" + ErrorCodeText(5));
  EXPECT_EQ(SafeFormat(0, L"plain"), L"plain");
  EXPECT_EQ(SafeFormat(L"a {{b}} c"), L"a {b} c");
  // A malformed format yields the exception text in place of the message.
  std::wstring unmatched = SafeFormat(L"open {");
  EXPECT_TRUE(unmatched.starts_with(L"Exception format: 'open {' - ")) << unmatched;
  EXPECT_GT(unmatched.size(), std::wstring(L"Exception format: 'open {' - ").size());
  std::wstring missing = SafeFormat(5, L"{} and {}", 1);
  EXPECT_TRUE(missing.starts_with(L"Exception format: '{} and {}' - ")) << missing;
  EXPECT_TRUE(missing.ends_with(ErrorCodeText(5))) << missing;
  EXPECT_TRUE(SafeFormat(L"{:d}", std::wstring(L"text")).starts_with(L"Exception format: '{:d}' - "));
}

TEST(ErrnoText, DescribesTheRuntimeErrorNumbers) {
  EXPECT_EQ(ErrnoText(9), L"Bad file number.");
  EXPECT_EQ(ErrnoText(13), L"The given path is a directory, or the file is read-only.");
  EXPECT_EQ(ErrnoText(38), L"Filename too long.");
  EXPECT_EQ(ErrnoText(80), L"A string copy or concatenation resulted in a truncated string");
  // Numbers outside the table are written in decimal.
  EXPECT_EQ(ErrnoText(35), L"35");
  EXPECT_EQ(ErrnoText(0), L"0");
  EXPECT_EQ(ErrnoText(-4), L"-4");
  EXPECT_EQ(ErrnoText(81), L"81");
  // The gaps of the table, and what lies past it.
  for (int number : {15, 26, 37, 43, 79, 200}) EXPECT_EQ(ErrnoText(number), std::to_wstring(number));
}

}  // namespace
}  // namespace wl
