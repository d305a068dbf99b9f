// The registry tool: its commands run in this process against the registry
// (the Windows registry, or the stand-in's hives in a temporary root), its
// parse and format rules as tables, and a few runs of the wlreg program for
// what only a process shows (exit codes, standard input and output).
#include "tools/registry_tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "registry/registry.h"
#include "tests/support/registry_test_support.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl::test {

// What a registry tool command printed and returned, run in this process.
struct ToolRun {
  int code = -1;
  std::wstring out;
  std::wstring err;
};

// Runs a registry tool command in this process; its questions get the
// answers in turn (the end of the input after the last).
inline ToolRun RunTool(const std::vector<std::wstring>& arguments, std::vector<std::string> answers = {}) {
  ToolRun run;
  std::size_t next = 0;
  cli::Console console{[&run](std::string_view bytes) { return run.out += platform::WideFromUtf8(bytes), true; },
                       [&run](std::wstring_view text) { run.err += text; },
                       [&]() -> std::optional<std::string> {
                         if (next >= answers.size()) return std::nullopt;
                         return answers[next++];
                       }};
  run.code = RunRegistryTool(arguments, console);
  return run;
}

}  // namespace wl::test

namespace wl {
namespace {

using namespace wl::platform;
using test::Bytes;
using test::Utf16Bytes;

class RegistryTool : public test::RegistryTest {
 protected:
  static int Run(const std::vector<std::wstring>& arguments) { return test::RunTool(arguments).code; }
};

TEST(RegistryToolText, KeyNames) {
  struct Row {
    std::wstring_view text;
    HKey root;  // null: refused
    std::wstring_view subKey;
    std::wstring_view display;
  };
  const Row rows[] = {
      {L"HKLM\\Software\\X", kHKeyLocalMachine, L"Software\\X", L"HKEY_LOCAL_MACHINE\\Software\\X"},
      {L"hkey_current_user\\A\\", kHKeyCurrentUser, L"A", L"HKEY_CURRENT_USER\\A"},
      {L"HKCR", kHKeyClassesRoot, L"", L"HKEY_CLASSES_ROOT"},
      {L"HKU\\S-1-5-18", kHKeyUsers, L"S-1-5-18", L"HKEY_USERS\\S-1-5-18"},
      {L"HKXX\\Software", nullptr, L"", L""},
      {L"\\\\server\\HKLM\\Software", nullptr, L"", L""},
      {L"HKLM\\\\Software", nullptr, L"", L""},
      {L"HKLM\\Software\\\\X", nullptr, L"", L""},
      {L"", nullptr, L"", L""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf8FromWide(row.text));
    ToolKeyName key;
    std::wstring message;
    bool parsed = ParseToolKeyName(row.text, &key, &message);
    EXPECT_EQ(parsed, row.root != nullptr) << Utf8FromWide(message);
    if (!parsed) {
      EXPECT_FALSE(message.empty());
      continue;
    }
    EXPECT_EQ(key.root, row.root);
    EXPECT_EQ(key.subKey, row.subKey);
    EXPECT_EQ(key.display, row.display);
  }
}

TEST(RegistryToolText, Types) {
  EXPECT_EQ(ParseToolTypeName(L"reg_qword"), kRegQword);
  EXPECT_EQ(ParseToolTypeName(L"REG_LINK"), std::nullopt);
  EXPECT_EQ(ParseToolTypeName(L"REG_FANCY"), std::nullopt);
  EXPECT_EQ(ToolTypeText(kRegDwordBigEndian), L"REG_DWORD_BIG_ENDIAN");
  EXPECT_EQ(ToolTypeText(0x1234), L"0x1234");
}

TEST(RegistryToolText, DataAsQueryShowsIt) {
  Bytes multi = Utf16Bytes(L"one", true);
  Bytes two = Utf16Bytes(L"two", true);
  multi.insert(multi.end(), two.begin(), two.end());
  multi.insert(multi.end(), {0, 0});
  struct Row {
    std::uint32_t type;
    Bytes data;
    std::wstring_view text;
  };
  const Row rows[] = {
      {kRegSz, Utf16Bytes(L"caf\u00e9"), L"caf\u00e9"},
      {kRegSz, Utf16Bytes(L"cut", false), L"cut"},
      {kRegExpandSz, {'a', 0, 0, 0, 'b', 0}, L"a"},
      {kRegMultiSz, multi, L"one\\0two"},
      {kRegDword, {0x2A, 0, 0, 0}, L"0x2a"},
      {kRegDword, {1, 2}, L"0102"},
      {kRegDwordBigEndian, {0x12, 0x34, 0x56, 0x78}, L"0x12345678"},
      {kRegQword, {1, 2, 3, 4, 5, 6, 7, 0x88}, L"0x8807060504030201"},
      {kRegBinary, {0x00, 0xAB, 0x10}, L"00AB10"},
      {kRegNone, {}, L""},
  };
  for (const Row& row : rows) EXPECT_EQ(ToolDataText(row.type, row.data), row.text) << Utf8FromWide(row.text);

  Bytes data;
  std::wstring message;
  EXPECT_TRUE(BuildToolData(kRegMultiSz, L"a;;b", L";;", &data, &message));
  EXPECT_EQ(data, (Bytes{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
  EXPECT_FALSE(BuildToolData(kRegMultiSz, L"a\\0\\0b", L"\\0", &data, &message));
  EXPECT_FALSE(BuildToolData(kRegBinary, L"0g", L"", &data, &message));
  EXPECT_TRUE(BuildToolData(kRegDword, L"", L"", &data, &message));
  EXPECT_EQ(data, (Bytes{0, 0, 0, 0}));
}

TEST_F(RegistryTool, AddStoresEveryTypeItKnowsAndDeletes) {
  std::wstring key = L"HKCU\\" + baseName_ + L"\\Tool";
  struct Case {
    std::wstring name, type, data;
    std::uint32_t expectedType;
    Bytes expected;
  } cases[] = {
      {L"Sz", L"REG_SZ", L"caf\u00e9 au lait", kRegSz, Utf16Bytes(L"caf\u00e9 au lait")},
      {L"Expand", L"REG_EXPAND_SZ", L"%TEMP%\\x", kRegExpandSz, Utf16Bytes(L"%TEMP%\\x")},
      {L"Dword", L"REG_DWORD", L"0x10", kRegDword, {0x10, 0, 0, 0}},
      {L"DwordDecimal", L"reg_dword", L"4294967295", kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}},
      {L"BigEndian", L"REG_DWORD_BIG_ENDIAN", L"1", kRegDwordBigEndian, {0, 0, 0, 1}},
      {L"Qword", L"REG_QWORD", L"0x0102030405060708", kRegQword, {8, 7, 6, 5, 4, 3, 2, 1}},
      {L"Binary", L"REG_BINARY", L"00ff10", kRegBinary, {0x00, 0xFF, 0x10}},
      {L"None", L"REG_NONE", L"", kRegNone, {}},
      {L"Multi", L"REG_MULTI_SZ", L"a\\0bc", kRegMultiSz, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Run({L"add", key, L"/v", c.name, L"/t", c.type, L"/d", c.data, L"/f"}), 0) << Utf8FromWide(c.name);
  }
  ASSERT_EQ(Run({L"add", key, L"/ve", L"/d", L"default"}), 0);

  HKey tool = Open(L"Tool");
  std::uint32_t type = 0;
  Bytes data;
  for (const auto& c : cases) {
    ASSERT_EQ(Read(tool, c.name, &type, &data), 0u) << Utf8FromWide(c.name);
    EXPECT_EQ(type, c.expectedType) << Utf8FromWide(c.name);
    EXPECT_EQ(data, c.expected) << Utf8FromWide(c.name);
  }
  ASSERT_EQ(Read(tool, L"", &type, &data), 0u);
  EXPECT_EQ(data, Utf16Bytes(L"default"));

  EXPECT_EQ(Run({L"delete", key, L"/v", L"Sz", L"/f"}), 0);
  EXPECT_EQ(RegistryQueryValue(tool, L"Sz", nullptr, nullptr, nullptr), kErrorFileNotFound);
  EXPECT_EQ(Run({L"delete", key, L"/va", L"/f"}), 0);
  EXPECT_TRUE(AllValues(tool).empty());
  EXPECT_EQ(Run({L"delete", key, L"/f"}), 0);
  EXPECT_EQ(RegistryQueryValue(tool, L"Dword", nullptr, nullptr, nullptr), kErrorKeyDeleted);
}

TEST_F(RegistryTool, ExportAndImportKeepEveryTypeAndTheTree) {
  ASSERT_EQ(SetEveryType(Create(L"Exported\\Nested\\Deeper")), 0u);
  Create(L"Exported\\Empty");
  test::TempFolder folder;
  std::wstring file = (folder.Path() / "export.reg").wstring();
  std::wstring exported = L"HKEY_CURRENT_USER\\" + baseName_ + L"\\Exported";
  ASSERT_EQ(Run({L"export", exported, file}), 0);
  auto bytes = test::ReadFileBytes(file);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);

  ASSERT_EQ(Run({L"delete", exported, L"/f"}), 0);
  ASSERT_EQ(OpenCode(L"Exported"), kErrorFileNotFound);
  ASSERT_EQ(Run({L"import", file}), 0);
  ExpectEveryType(Open(L"Exported\\Nested\\Deeper"));
  Open(L"Exported\\Empty");

  // Exporting again gives the same file, byte for byte.
  std::wstring again = (folder.Path() / "again.reg").wstring();
  ASSERT_EQ(Run({L"export", exported, again}), 0);
  EXPECT_EQ(test::ReadFileBytes(again), bytes);
}

TEST_F(RegistryTool, ImportWithALateMistakeChangesNothing) {
  Create(L"Import\\Kept");
  test::TempFolder folder;
  // What the registry holds, as the tool exports it and (Linux) as the
  // hive files hold it.
  auto snapshot = [&] {
    std::wstring file = (folder.Path() / "snapshot.reg").wstring();
    EXPECT_EQ(Run({L"export", L"HKCU\\" + baseName_, file, L"/y"}), 0);
    Bytes bytes = test::ReadFileBytes(file);
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.Path() / "registry", error)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".lock") continue;
      Bytes more = test::ReadFileBytes(entry.path());
      bytes.insert(bytes.end(), more.begin(), more.end());
    }
    return bytes;
  };
  Bytes before = snapshot();
  std::string key = "[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Import";
  std::string good = "Windows Registry Editor Version 5.00\r\n\r\n" + key + "\\First]\r\n\"a\"=dword:00000001\r\n\r\n" +
                     key + "\\Kept]\r\n\"b\"=\"text\"\r\n\r\n[-" + key.substr(1) + "\\Kept]\r\n\r\n";
  std::string deep = key + "\\Deep";
  for (int i = 0; i < 520; ++i) deep += "\\d";
  const std::vector<std::pair<std::string, std::string>> late = {
      {"a broken value", key + "\\Second]\r\n\"bad\"=dword:zz\r\n"},
      {"an empty key name", key + "\\\\Empty]\r\n"},
      {"a control character in a value name", key + "\\Second]\r\n\"bad\x01name\"=dword:00000001\r\n"},
      {"a value name that is too long", key + "\\Second]\r\n\"" + std::string(16384, 'n') + "\"=dword:1\r\n"},
      {"a key too deep", deep + "]\r\n"},
      {"another root", "[HKEY_NOWHERE\\Software]\r\n"},
  };
  auto path = folder.Path() / "late.reg";
  for (const auto& [mistake, section] : late) {
    std::string text = good + section;
    test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
    EXPECT_EQ(Run({L"import", path.wstring()}), 1) << mistake;
    EXPECT_TRUE(snapshot() == before) << mistake;
  }
  // The same file without the mistake imports.
  test::WriteFileBytes(path, Bytes(good.begin(), good.end()));
  EXPECT_EQ(Run({L"import", path.wstring()}), 0);
  EXPECT_EQ(OpenCode(L"Import\\Kept"), kErrorFileNotFound);
  EXPECT_EQ(OpenCode(L"Import\\First"), 0u);
}

TEST_F(RegistryTool, TakesSwitchesOnlyWhereTheyStandAlone) {
  std::wstring key = L"HKCU\\" + baseName_ + L"\\Switches";
  // "/?" as the data of /d is data; /reg:32 and /reg:64 choose a view
  // that this product does not distinguish.
  EXPECT_EQ(Run({L"add", key, L"/v", L"Question", L"/d", L"/?", L"/f", L"/reg:64"}), 0);
  EXPECT_EQ(Run({L"query", key, L"/reg:32"}), 0);
  HKey opened = Open(L"Switches");
  std::uint32_t type = 0;
  Bytes data;
  ASSERT_EQ(Read(opened, L"Question", &type, &data), 0u);
  EXPECT_EQ(data, Utf16Bytes(L"/?"));
  // A doubled backslash is no key name.
  EXPECT_EQ(Run({L"add", L"HKCU\\" + baseName_ + L"\\\\Doubled", L"/f"}), 1);
  EXPECT_EQ(OpenCode(L"Doubled"), kErrorFileNotFound);
}

TEST_F(RegistryTool, ImportsRegedit4FilesInTheAnsiCodePage) {
  test::TempFolder folder;
  auto path = folder.Path() / "old.reg";
  // REGEDIT4: no byte-order mark, text and REG_EXPAND_SZ data in the ANSI
  // code page ("\xE9" is e with an acute accent in 1252).
  std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) +
                     "\\Old]\r\n\"Name\"=\"caf\xE9\"\r\n\"Path\"=hex(2):25,41,25,00\r\n\"n\"=dword:00000007\r\n";
  test::WriteFileBytes(path, Bytes(text.begin(), text.end()));
  ASSERT_EQ(Run({L"import", path.wstring()}), 0);
  HKey key = Open(L"Old");
  std::uint32_t type = 0;
  Bytes data;
  ASSERT_EQ(Read(key, L"Name", &type, &data), 0u);
  EXPECT_EQ(data, Utf16Bytes(WideFromAnsi("caf\xE9")));
  ASSERT_EQ(Read(key, L"Path", &type, &data), 0u);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(data, Utf16Bytes(L"%A%"));
}

TEST_F(RegistryTool, RejectsBadArgumentsAndHelpsOnRequest) {
  std::wstring key = L"HKCU\\" + baseName_;
  // 2 for a command line the tool does not take (it then points to its
  // usage), 1 for one that it takes but cannot carry out.
  struct Row {
    std::vector<std::wstring> arguments;
    int code;
  };
  const Row rows[] = {
      {{}, 2},
      {{L"frobnicate", key}, 2},
      {{L"query"}, 2},
      {{L"query", key, L"/zz"}, 2},
      {{L"add", key, L"/v"}, 2},
      {{L"add", key, L"/v", L"a", L"/ve"}, 2},
      {{L"export", key}, 2},
      {{L"query", L"HKXX\\Software"}, 1},
      {{L"query", key + L"\\Missing"}, 1},
      {{L"query", key, L"/v", L"Missing"}, 1},
      {{L"add", key, L"/v", L"n", L"/t", L"REG_DWORD", L"/d", L"12x"}, 1},
      {{L"add", key, L"/v", L"n", L"/t", L"REG_DWORD", L"/d", L"4294967296"}, 1},
      {{L"add", key, L"/v", L"n", L"/t", L"REG_BINARY", L"/d", L"abc"}, 1},
      {{L"add", key, L"/v", L"n", L"/t", L"REG_FANCY"}, 1},
      {{L"delete", key, L"/v", L"Missing", L"/f"}, 1},
      {{L"import", L"no-such-file.reg"}, 1},
  };
  for (const Row& row : rows) {
    std::string line;
    for (const auto& a : row.arguments) line += Utf8FromWide(a) + " ";
    test::ToolRun run = test::RunTool(row.arguments);
    EXPECT_EQ(run.code, row.code) << line;
    EXPECT_TRUE(run.err.starts_with(L"ERROR: ")) << line;
    EXPECT_EQ(run.err.find(L"Type \"wlreg /?\" for usage.") != std::wstring::npos, row.code == 2) << line;
    EXPECT_TRUE(run.out.empty()) << line;
  }
  for (std::vector<std::wstring> help :
       {std::vector<std::wstring>{L"/?"}, {L"-h"}, {L"--help"}, {L"query", key, L"/?"}}) {
    test::ToolRun run = test::RunTool(help);
    EXPECT_EQ(run.code, 0) << Utf8FromWide(help.back());
    EXPECT_TRUE(run.out.starts_with(L"wlreg: reads and changes the registry.")) << Utf8FromWide(help.back());
    EXPECT_TRUE(run.err.empty());
  }
  // The program returns the same codes to its caller.
  EXPECT_EQ(test::RunChild({L"query", key + L"\\Missing"}, L"wlreg"), 1);
  EXPECT_EQ(test::RunChild({L"query"}, L"wlreg"), 2);
  EXPECT_EQ(
      test::RunChild({L"add", key + L"\\Program", L"/v", L"n", L"/t", L"REG_DWORD", L"/d", L"7", L"/f"}, L"wlreg"), 0);
}

TEST_F(RegistryTool, QueryPrintsLikeRegExeAndAsksBeforeDeleting) {
  HKey key = Create(L"Shown\\Sub");
  // The default value first: Windows lists values in the order they were
  // made, Wine sorts them; both then agree.
  Bytes text = Utf16Bytes(L"hi there");
  EXPECT_EQ(RegistrySetValue(key, L"", kRegSz, text.data(), static_cast<std::uint32_t>(text.size())), 0u);
  std::uint32_t number = 42;
  EXPECT_EQ(RegistrySetValue(key, L"Answer", kRegDword, &number, 4), 0u);
  test::TempFolder folder;
  auto input = folder.Path() / "in.txt", output = folder.Path() / "out.txt";
  std::wstring shownKey = L"HKCU\\" + baseName_ + L"\\Shown";
  auto run = [&](std::string answer, std::vector<std::wstring> arguments) {
    test::WriteFileBytes(input, Bytes(answer.begin(), answer.end()));
    arguments.insert(arguments.begin(), {L"redirect", input.wstring(), output.wstring(), test::ProgramPath(L"wlreg")});
    int code = test::RunChild(arguments);
    std::string printed = test::ReadFileText(output);
    printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
    return std::make_pair(code, printed);
  };
  std::string shown = "HKEY_CURRENT_USER\\" + Utf8FromWide(baseName_) + "\\Shown";
  auto [code, printed] = run("", {L"query", shownKey, L"/s"});
  if (code == 0 && printed.empty() && test::OnWindows()) {
    GTEST_SKIP() << "this Windows process start does not hand its standard handles to the child";
  }
  EXPECT_EQ(code, 0);
  EXPECT_EQ(printed, "\n" + shown + "\\Sub\n    (Default)    REG_SZ    hi there\n    Answer    REG_DWORD    0x2a\n\n" +
                         "End of search: 3 match(es) found.\n");
  std::tie(code, printed) = run("", {L"query", shownKey});
  EXPECT_EQ(printed, "\n" + shown + "\\Sub\n\n");

  std::tie(code, printed) = run("no\n", {L"delete", shownKey});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(printed,
            "Permanently delete the registry key " + shown + " (Yes/No)? The operation was cancelled by the user.\n");
  EXPECT_EQ(OpenCode(L"Shown"), 0u);
  // An answer with a CR LF end, as a Windows editor saves it.
  std::tie(code, printed) = run("y\r\n", {L"delete", shownKey});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(OpenCode(L"Shown"), kErrorFileNotFound);
}

}  // namespace
}  // namespace wl
