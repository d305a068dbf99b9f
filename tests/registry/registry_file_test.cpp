// The Registry Editor file format: the text of the stand-in's hives and of
// the registry tool's export and import. Portable, so tested on both builds.
#include "registry/registry_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "registry/registry.h"

namespace wl::platform {
namespace {

TEST(RegistryFile, ValuesKeepTheirBytesThroughText) {
  std::vector<RegistryFileSection> sections(1);
  sections[0].path = L"HKEY_LOCAL_MACHINE\\Software";
  sections[0].values = {
      {L"", false, kRegSz, {'a', 0, 0, 0}},
      {L"tab", false, kRegSz, {'\t', 0, 0, 0}},
      {L"surrogate", false, kRegSz, {0x00, 0xD8, 0, 0}},
      {L"dword3", false, kRegDword, {1, 2, 3}},
      {L"type", false, 0xFFFF0011u, {}},
  };
  std::string text = FormatRegistryFile(sections, "\r\n");
  EXPECT_NE(text.find("@=\"a\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"tab\"=hex(1):09,00,00,00\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"surrogate\"=hex(1):00,d8,00,00\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"dword3\"=hex(4):01,02,03\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"type\"=hex(ffff0011):\r\n"), std::string::npos);

  for (const std::string& bytes : {text, RegistryFileUtf16(text)}) {
    std::vector<RegistryFileSection> parsed;
    RegistryFileError error;
    ASSERT_TRUE(ParseRegistryFile(bytes, RegistryFileUse::Hive, &parsed, &error)) << Utf8FromWide(error.reason);
    ASSERT_EQ(parsed.size(), 1u);
    ASSERT_EQ(parsed[0].values.size(), sections[0].values.size());
    for (std::size_t i = 0; i < parsed[0].values.size(); ++i) {
      EXPECT_EQ(parsed[0].values[i].name, sections[0].values[i].name);
      EXPECT_EQ(parsed[0].values[i].type, sections[0].values[i].type);
      EXPECT_EQ(parsed[0].values[i].data, sections[0].values[i].data);
    }
  }
}

TEST(RegistryFile, ProblemsAreReportedWithTheirLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  struct Case {
    std::string text;
    RegistryFileUse use;
    int line;
  } cases[] = {
      {"REGEDIT4\n", RegistryFileUse::Hive, 1},
      {header + "\"a\"=dword:1\n", RegistryFileUse::Import, 3},
      {header + "[HKEY_LOCAL_MACHINE\\X\n", RegistryFileUse::Import, 3},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"unterminated\n", RegistryFileUse::Import, 4},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:123456789\n", RegistryFileUse::Import, 4},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:1,02\n", RegistryFileUse::Import, 4},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,\n", RegistryFileUse::Import, 4},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,\\\n  02,\\\n", RegistryFileUse::Import, 5},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex(2x):00\n", RegistryFileUse::Import, 4},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\" dword:1\n", RegistryFileUse::Import, 4},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=-\n", RegistryFileUse::Hive, 4},
      {header + "[-HKEY_LOCAL_MACHINE\\X]\n", RegistryFileUse::Hive, 3},
      {header + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:1", RegistryFileUse::Hive, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<RegistryFileSection> sections;
    RegistryFileError error;
    EXPECT_FALSE(ParseRegistryFile(c.text, c.use, &sections, &error));
    EXPECT_EQ(error.line, c.line) << Utf8FromWide(error.reason);
    EXPECT_FALSE(error.reason.empty());
  }
  // What an import may do that a hive may not.
  std::vector<RegistryFileSection> sections;
  RegistryFileError error;
  ASSERT_TRUE(ParseRegistryFile(header + "[-HKEY_LOCAL_MACHINE\\X]\n[HKEY_LOCAL_MACHINE\\Y]\n\"a\"=-\n\"b\"=dword:1",
                                RegistryFileUse::Import, &sections, &error));
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_TRUE(sections[0].remove);
  EXPECT_TRUE(sections[1].values[0].remove);
}

}  // namespace
}  // namespace wl::platform
