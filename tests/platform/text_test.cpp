// The text and byte conversions: each rule of the UTF-8 decoder, the
// registry's case folding and name order, and the little-endian helpers.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wl::platform {
namespace {

TEST(Text, Utf8SequencesDecodeOrAreRefused) {
  struct Row {
    std::string bytes;
    char32_t codePoint;  // of a valid sequence
    std::size_t length;  // 0: refused
  };
  const Row rows[] = {
      {"A", U'A', 1},
      {"\x7F", 0x7F, 1},
      {"\xC2\x80", 0x80, 2},
      {"\xDF\xBF", 0x7FF, 2},
      {"\xE0\xA0\x80", 0x800, 3},
      {"\xED\x9F\xBF", 0xD7FF, 3},
      {"\xEE\x80\x80", 0xE000, 3},
      {"\xEF\xBF\xBF", 0xFFFF, 3},
      {"\xF0\x90\x80\x80", 0x10000, 4},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"\xC3\xA9tail", 0xE9, 2},
      // Overlong forms of '/' (2F), U+07FF and U+FFFF.
      {"\xC0\xAF", 0, 0},
      {"\xC1\xBF", 0, 0},
      {"\xE0\x80\xAF", 0, 0},
      {"\xE0\x9F\xBF", 0, 0},
      {"\xF0\x80\x80\xAF", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0},
      // Surrogates, encoded alone or as a pair.
      {"\xED\xA0\x80", 0, 0},
      {"\xED\xBF\xBF", 0, 0},
      {"\xED\xA0\xBD\xED\xB8\x80", 0, 0},
      // Beyond U+10FFFF, and lead bytes that are never used.
      {"\xF4\x90\x80\x80", 0, 0},
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xFF", 0, 0},
      // A continuation byte as lead; cut short; a wrong continuation byte.
      {"\x80", 0, 0},
      {"\xBF", 0, 0},
      {"\xC3", 0, 0},
      {"\xE2\x82", 0, 0},
      {"\xF0\x9F\x98", 0, 0},
      {"\xC3\x28", 0, 0},
      {"\xE2\x28\xA1", 0, 0},
      {"\xF0\x9F\x28\x80", 0, 0},
      {"", 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.bytes));
    Utf8Sequence sequence = DecodeUtf8(row.bytes);
    EXPECT_EQ(sequence.length, row.length);
    if (row.length != 0) {
      EXPECT_EQ(sequence.codePoint, row.codePoint);
    }
    // The whole-text check agrees with the decoder on its first sequence.
    if (row.length == 0 && !row.bytes.empty()) {
      EXPECT_FALSE(IsValidUtf8(row.bytes));
    } else if (row.bytes.size() == row.length) {
      EXPECT_TRUE(IsValidUtf8(row.bytes));
    }
  }
}

TEST(Text, InvalidUtf8CostsOneReplacementPerByte) {
  EXPECT_EQ(WideFromUtf8("a\xC0\xAF"
                         "b"),
            L"a\uFFFD\uFFFDb");
  EXPECT_EQ(WideFromUtf8("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(WideFromUtf8("\xF0\x9F\x98\x80!"), L"\U0001F600!");
  EXPECT_EQ(Utf8FromWide(WideFromUtf8("d\xC3\xA9j\xC3\xA0 \xE6\x97\xA5")), "d\xC3\xA9j\xC3\xA0 \xE6\x97\xA5");
  EXPECT_EQ(WideFromUtf8CrLf("a\r\nb\rc\n"), L"a\nb\rc\n");
}

TEST(Text, Utf16LittleEndianBytes) {
  std::vector<std::uint8_t> data = Utf16LeStringData(L"A\u00e9\U0001F600");
  EXPECT_EQ(data, (std::vector<std::uint8_t>{0x41, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  EXPECT_EQ(WideFromUtf16(Utf16FromLeBytes(data)), std::wstring(L"A\u00e9\U0001F600") + L'\0');
  // An odd last byte is no unit; an unpaired surrogate reads as U+FFFD.
  EXPECT_EQ(Utf16FromLeBytes(std::string_view("\x41\x00\x42", 3)), u"A");
  EXPECT_EQ(WideFromUtf16(u"\xD800x"), L"\uFFFDx");
  EXPECT_EQ(WideFromUtf16(u"\xDC00\xD83D\xDE00\xD800"), L"\uFFFD\U0001F600\uFFFD");

  EXPECT_EQ(LoadLittleEndian(std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}), 0x12345678u);
  EXPECT_EQ(LoadLittleEndian(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 0x88}), 0x8807060504030201u);
  EXPECT_EQ(LoadLittleEndian(std::vector<std::uint8_t>{}), 0u);
  std::vector<std::uint8_t> out;
  AppendLittleEndian(0x0102030405060708u, 4, out);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{8, 7, 6, 5}));
}

TEST(Text, RegistryCaseFoldingByLetter) {
  struct Row {
    wchar_t small;
    wchar_t capital;
  };
  const Row folded[] = {
      {L'a', L'A'},           {L'z', L'Z'},           {L'\u00e0', L'\u00c0'}, {L'\u00fe', L'\u00de'},
      {L'\u00ff', L'\u0178'}, {L'\u0101', L'\u0100'}, {L'\u0137', L'\u0136'}, {L'\u013a', L'\u0139'},
      {L'\u0148', L'\u0147'}, {L'\u014b', L'\u014a'}, {L'\u0177', L'\u0176'}, {L'\u017a', L'\u0179'},
      {L'\u017e', L'\u017d'}, {L'\u03b1', L'\u0391'}, {L'\u03c9', L'\u03a9'}, {L'\u03c2', L'\u03a3'},
      {L'\u0430', L'\u0410'}, {L'\u044f', L'\u042f'}, {L'\u0450', L'\u0400'}, {L'\u045f', L'\u040f'},
  };
  for (const Row& row : folded) {
    EXPECT_EQ(RegistryUpperCase(row.small), row.capital) << static_cast<int>(row.small);
    EXPECT_EQ(RegistryUpperCase(row.capital), row.capital) << static_cast<int>(row.capital);
  }
  // Letters without a pair here, and signs, stay as they are.
  for (wchar_t same : {L'1', L'_', L'\u00d7', L'\u00f7', L'\u00df', L'\u0138', L'\u0149', L'\u0180', L'\u0460'}) {
    EXPECT_EQ(RegistryUpperCase(same), same) << static_cast<int>(same);
  }
}

TEST(Text, RegistryNameOrder) {
  EXPECT_TRUE(RegistryNamesEqual(L"Software\\\u0414\u0430\u043d\u043d\u044b\u0435",
                                 L"SOFTWARE\\\u0434\u0410\u041d\u041d\u042b\u0415"));
  EXPECT_FALSE(RegistryNamesEqual(L"ab", L"abc"));
  struct Row {
    std::wstring_view a, b;
    int order;
  };
  const Row rows[] = {
      {L"a", L"B", -1}, {L"B", L"a", 1},           {L"abc", L"ABC", 0},   {L"ab", L"abc", -1},  // a prefix comes first
      {L"_", L"a", 1},  // '_' (5F) sorts after 'A' (41): names compare upper-cased
      {L"Z", L"_", -1}, {L"\u00e9", L"\u00c9", 0}, {L"z", L"\u00e9", -1},
  };
  for (const Row& row : rows) {
    int order = RegistryCompareNames(row.a, row.b);
    EXPECT_EQ((order > 0) - (order < 0), row.order) << Utf8FromWide(row.a) << " " << Utf8FromWide(row.b);
  }
}

TEST(Text, NumbersInDecimalAndHexadecimal) {
  struct Row {
    std::uint64_t value;
    int width;
    std::string decimal, lower, upper;
  };
  const Row rows[] = {
      {0, 1, "0", "0", "0"},
      {0, 5, "00000", "00000", "00000"},
      {0xAB, 1, "171", "ab", "AB"},
      {0x1F, 5, "00031", "0001f", "0001F"},
      {0x123456, 4, "1193046", "123456", "123456"},
      {0xDEADBEEF, 8, "3735928559", "deadbeef", "DEADBEEF"},
      {0x0102030405ull, 12, "004328719365", "000102030405", "000102030405"},
      {~0ull, 1, "18446744073709551615", "ffffffffffffffff", "FFFFFFFFFFFFFFFF"},
  };
  auto widen = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };
  for (const Row& row : rows) {
    // Appended after what is there, in each kind of string.
    std::string narrow = "x";
    AppendDecimal(narrow, row.value, row.width);
    narrow += ' ';
    AppendHex(narrow, row.value, row.width);
    narrow += ' ';
    AppendHex(narrow, row.value, row.width, HexCase::kUpper);
    EXPECT_EQ(narrow, "x" + row.decimal + " " + row.lower + " " + row.upper);
    std::wstring wide;
    AppendDecimal(wide, row.value, row.width);
    AppendHex(wide, row.value, row.width, HexCase::kUpper);
    EXPECT_EQ(wide, widen(row.decimal + row.upper));
    std::u16string units;
    AppendHex(units, row.value, row.width);
    EXPECT_EQ(units, std::u16string(row.lower.begin(), row.lower.end()));
  }
}

}  // namespace
}  // namespace wl::platform
