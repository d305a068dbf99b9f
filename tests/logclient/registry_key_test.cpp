#include "diagnostics/registry_key.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/server_fixture.h"

namespace wl {
namespace {

using platform::kHKeyLocalMachine;
constexpr std::wstring_view kKey = L"Software\\Kestrix\\Wayline\\Test";

// The reports of a reporting key land in the service's Wayline.log.
class RegistryKeyTest : public test::ReportTest {
 protected:
  void SetUp() override {
    ReportTest::SetUp();
    ASSERT_EQ(test::SetString(kHKeyLocalMachine, kKey, L"Name", L"Wayline {1}"), 0u);
    ASSERT_EQ(test::SetString(kHKeyLocalMachine, kKey, L"Empty", L""), 0u);
    ASSERT_EQ(test::SetValue(kHKeyLocalMachine, kKey, L"NoData", platform::kRegSz, {}), 0u);
    ASSERT_EQ(test::SetString(kHKeyLocalMachine, kKey, L"Expand", L"%SystemRoot%", platform::kRegExpandSz), 0u);
    ASSERT_EQ(test::SetValue(kHKeyLocalMachine, kKey, L"Unterminated", platform::kRegSz, {'a', 0, 'b', 0}), 0u);
    ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kKey, L"Count", 0x12345), 0u);
    ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, kKey, L"Big", 1, 8), 0u);
    ASSERT_EQ(test::SetValue(kHKeyLocalMachine, kKey, L"Raw", platform::kRegBinary, {1, 2, 0, 0}), 0u);
  }
};

TEST_F(RegistryKeyTest, ReadRules) {
  struct Case {
    const wchar_t* name;
    Win32Error stringResult;
    const wchar_t* text;
    Win32Error dwordResult;
    std::uint32_t number;
  };
  const Case cases[] = {
      {L"Name", 0, L"Wayline {1}", kErrorMoreData, 0},
      {L"Empty", 0, L"", 0, 0},
      {L"NoData", 0, L"", 0, 0},
      {L"Expand", 0, L"%SystemRoot%", kErrorMoreData, 0},
      {L"Unterminated", 0, L"a", 0, 0x620061},
      {L"Missing", kErrorFileNotFound, L"default", kErrorFileNotFound, 0},
      {L"Count", kErrorInvalidData, L"default", 0, 0x12345},
      {L"Raw", kErrorInvalidData, L"default", 0, 0x201},
      {L"Big", kErrorInvalidData, L"default", kErrorMoreData, 0},
  };
  RegistryKey quiet(false);
  ASSERT_EQ(quiet.Open(kHKeyLocalMachine, kKey), 0u);
  for (const auto& c : cases) {
    std::wstring text = L"junk";
    EXPECT_EQ(quiet.ReadString(c.name, text, L"default"), c.stringResult) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
    std::uint32_t number = 7;
    EXPECT_EQ(quiet.ReadDword(c.name, number), c.dwordResult) << c.name;
    EXPECT_EQ(number, c.number) << c.name;
    std::uint16_t level = 4;
    EXPECT_EQ(quiet.ReadEnum(c.name, level), c.dwordResult) << c.name;
    EXPECT_EQ(level, c.dwordResult == 0 ? static_cast<std::uint16_t>(c.number) : 4u) << c.name;
  }
  EXPECT_TRUE(Reports().empty());
}

// A reporting key reports what is not a plain "missing" or "not a string",
// and keeps the printable path of the key it opened last.
TEST_F(RegistryKeyTest, OpenKeepsThePrintablePathAndReportsUnexpectedFailures) {
  RegistryKey key(true);
  EXPECT_EQ(key.Open(nullptr, kKey), kErrorBadArguments);
  EXPECT_EQ(key.Path(), L"");
  EXPECT_EQ(key.Open(kHKeyLocalMachine, L"Software\\Missing"), kErrorFileNotFound);
  EXPECT_EQ(key.Path(), L"HKLM\\Software\\Missing");
  ASSERT_EQ(test::SetNumber(platform::kHKeyCurrentUser, kKey, L"Count", 9), 0u);
  ASSERT_EQ(key.Open(platform::kHKeyCurrentUser, kKey), 0u);
  std::uint32_t number = 0;
  EXPECT_EQ(key.ReadDword(L"Count", number), 0u);
  EXPECT_EQ(number, 9u);

  // Re-opening closes the first key; reads go to the second.
  ASSERT_EQ(key.Open(kHKeyLocalMachine, kKey), 0u);
  std::wstring text;
  std::uint16_t level = 4;
  EXPECT_EQ(key.ReadString(L"Missing", text), kErrorFileNotFound);
  EXPECT_EQ(key.ReadString(L"Count", text), kErrorInvalidData);
  EXPECT_EQ(key.ReadDword(L"Big", number), kErrorMoreData);
  EXPECT_EQ(key.ReadEnum(L"Big", level), kErrorMoreData);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].starts_with(
      "E RegQueryValueEx read DWORD64 HKLM\\Software\\Kestrix\\Wayline\\Test\\Big Error 234 (0xea)"))
      << reports[0];
  EXPECT_TRUE(
      reports[1].starts_with("E RegQueryValueEx read enum HKLM\\Software\\Kestrix\\Wayline\\Test\\Big Error 234"))
      << reports[1];
  EXPECT_EQ(key.Close(), 0u);
  EXPECT_EQ(key.Path(), L"");
}

TEST_F(RegistryKeyTest, ReadMachineString) {
  EXPECT_EQ(ReadMachineString(kKey, L"Name", L"x"), L"Wayline {1}");
  EXPECT_EQ(ReadMachineString(kKey, L"Missing", L"x"), L"x");
  EXPECT_EQ(ReadMachineString(L"Software\\Missing", L"Name", L"x"), L"x");
  EXPECT_TRUE(Reports().empty());
  if (test::OnWindows()) GTEST_SKIP() << "hive files exist only in the Linux stand-in";
  // A machine hive cut in the middle cannot be read: that is reported.
  std::ofstream(root_.Path() / "registry" / "HKLM.reg", std::ios::trunc)
      << "Windows Registry Editor Version 5.00\n[HKEY_LOC";
  EXPECT_EQ(ReadMachineString(kKey, L"Name", L"x"), L"x");
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].starts_with("E RegOpenKeyEx HKLM\\Software\\Kestrix\\Wayline\\Test Error ")) << reports[0];
}

}  // namespace
}  // namespace wl
