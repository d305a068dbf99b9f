// The hive files of the Linux registry stand-in: their text, what happens
// to a broken or interrupted file, and the roots that are made of several
// hives. On Windows the hives are the system's own, so these cases are
// skipped there (the file format itself: registry_file_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/refusal_report.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "registry/registry_file.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace {

using namespace wl;
using namespace wl::platform;
namespace fs = std::filesystem;

#define SKIP_ON_WINDOWS() \
  if (test::OnWindows()) GTEST_SKIP() << "the hives are the system's own files on Windows"

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

using test::GetDword;

// Written as the Registry Editor exports, read also as a person writes it.
TEST(RegistryHive, FileIsTheRegistryEditorTextOfTheHive) {
  SKIP_ON_WINDOWS();
  test::TempRoot root;
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", L"TraceLevel", 5), 0u);
  ASSERT_EQ(test::SetValue(kHKeyLocalMachine, L"SOFTWARE\\kestrix\\Wayline", L"Path", kRegSz,
                           {'C', 0, ':', 0, '\\', 0, 0, 0}),
            0u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", L"Big", 1, 8), 0u);
  fs::path hive = root.Path() / "registry" / "HKLM.reg";
  EXPECT_EQ(test::ReadFileText(hive),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "; Registry hive: complete only when its last line is \"; end of hive\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Kestrix]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Kestrix\\Wayline]\n"
            "\"TraceLevel\"=dword:00000005\n"
            "\"Path\"=\"C:\\\\\"\n"
            "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\n"
            "; end of hive\n");

  test::WriteFileBytes(hive, Bytes("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                                   "\r\n"
                                   "; written by hand\r\n"
                                   "[HKEY_LOCAL_MACHINE\\Software\\Kestrix\\Wayline\\CurrentInstall]\r\n"
                                   "\"DebugOutput\"=dword:1\r\n"
                                   "\"Data\"=hex:01,\\\r\n"
                                   "   02\r\n"));
  std::uint32_t value = 0;
  ASSERT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline\\CurrentInstall", L"DebugOutput", &value), 0u);
  EXPECT_EQ(value, 1u);
  ASSERT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline\\CurrentInstall", L"Data", &value), 0u);
  EXPECT_EQ(value & 0xFFFF, 0x0201u);
}

TEST(RegistryHive, BrokenHiveIsRefusedAndLeftAsItWas) {
  SKIP_ON_WINDOWS();
  test::TempRoot root;
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", L"TraceLevel", 5), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", L"MaxLogFileSize", 1000000), 0u);
  fs::path hive = root.Path() / "registry" / "HKLM.reg";
  std::string text = test::ReadFileText(hive);
  std::string body = text.substr(0, text.rfind("; end of hive\n"));
  struct Case {
    std::string bytes;
    std::string line;
  } cases[] = {
      // Cut in the middle of the last value line, as a full disk or a copy
      // that stopped half-way would leave it.
      {text.substr(0, text.find("MaxLogFileSize") + 20), "line 11"},
      {text.substr(0, text.find("TraceLevel") + 3), "line 10"},
      // Cut at a line end: before a key, or before the last line.
      {text.substr(0, text.find("[HKEY_LOCAL_MACHINE\\Software\\Kestrix\\Wayline]")), "line 9"},
      {body, "line 13"},
      // Edited by hand with a single backslash, in another encoding, or
      // with a key of another hive.
      {body + "[HKEY_LOCAL_MACHINE\\X]\n\"Path\"=\"C:\\Temp\"\n; end of hive\n", "line 14"},
      {body + "[HKEY_LOCAL_MACHINE\\X]\n\"Name\"=\"caf\xE9\"\n; end of hive\n", "line 14"},
      {body + "[HKEY_CURRENT_USER\\X]\n; end of hive\n", "line 13"},
      {"", "line 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    test::WriteFileBytes(hive, Bytes(c.bytes));
    std::uint32_t value = 0;
    EXPECT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", L"TraceLevel", &value), kErrorBadDb);
    std::string where = Utf8FromWide(RegistryLastParseError());
    EXPECT_NE(where.find(hive.string() + ": " + c.line + ": "), std::string::npos) << where;

    HKey machine = kHKeyLocalMachine;
    std::uint32_t one = 1;
    EXPECT_EQ(RegistrySetValue(machine, L"New", kRegDword, &one, 4), kErrorBadDb);
    HKey created = nullptr;
    EXPECT_EQ(RegistryCreateKey(machine, L"Software\\Other", kKeyAllAccess, &created, nullptr), kErrorBadDb);
    EXPECT_EQ(RegistryDeleteKeyTree(machine, L"Software"), kErrorBadDb);
    EXPECT_EQ(test::ReadFileText(hive), c.bytes);
  }
  // Other hives are not affected.
  ASSERT_EQ(test::SetNumber(kHKeyCurrentUser, L"Software\\Kestrix", L"Fine", 1), 0u);
}

TEST(RegistryHive, LeftoverOfAnInterruptedWriteIsHarmless) {
  SKIP_ON_WINDOWS();
  test::TempRoot root;
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Kestrix", L"Before", 1), 0u);
  // A writer that died after writing part of its new file leaves it beside
  // the hive; the hive itself is the previous, whole file.
  test::WriteFileBytes(root.Path() / "registry" / "HKLM.reg.new", Bytes("Windows Registry Editor Vers"));
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Kestrix", L"After", 2), 0u);
  EXPECT_FALSE(fs::exists(root.Path() / "registry" / "HKLM.reg.new"));
  std::uint32_t before = 0, after = 0;
  EXPECT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Kestrix", L"Before", &before), 0u);
  EXPECT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Kestrix", L"After", &after), 0u);
  EXPECT_EQ(std::make_pair(before, after), std::make_pair(1u, 2u));
}

TEST(RegistryHive, UserHivesAreNamedBySidAndListedUnderUsers) {
  SKIP_ON_WINDOWS();
  test::TempRoot root;
  std::wstring user = platform::GetCurrentUserName().ValueOr({});
  ASSERT_FALSE(user.empty());
  std::wstring own = test::SidOf(user);
  ASSERT_EQ(test::SetNumber(kHKeyCurrentUser, L"Software\\Kestrix", L"Mine", 7), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyUsers, L"S-1-22-1-4242\\Software\\Kestrix", L"Theirs", 8), 0u);
  // The system account's hives lie in users/ itself; an ordinary user's in
  // a folder of the user's own, made for the user.
  EXPECT_TRUE(fs::exists(root.Path() / "registry" / "users" / (Utf8FromWide(own) + ".reg")));
  fs::path theirs = root.Path() / "registry" / "users" / "S-1-22-1-4242";
  EXPECT_TRUE(fs::exists(theirs / "S-1-22-1-4242.reg"));
  if (user == L"SYSTEM") {
    std::string owners;
    EXPECT_EQ(test::Shell("stat -c %u " + theirs.string() + " " + theirs.string() + "/*", &owners), 0);
    EXPECT_EQ(owners, "4242\n4242\n4242\n");
  }

  std::uint32_t value = 0;
  ASSERT_EQ(GetDword(kHKeyUsers, own + L"\\Software\\Kestrix", L"Mine", &value), 0u);
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(GetDword(kHKeyUsers, L"s-1-22-1-4242\\software\\kestrix", L"Theirs", &value), 0u);
  EXPECT_EQ(value, 8u);
  EXPECT_EQ(GetDword(kHKeyUsers, L"S-1-22-1-999\\Software", L"x", &value), kErrorFileNotFound);

  std::vector<std::wstring> hives;
  std::wstring name;
  for (std::uint32_t i = 0; RegistryEnumKey(kHKeyUsers, i, &name) == 0; ++i) hives.push_back(name);
  EXPECT_EQ(hives.size(), 2u);
  EXPECT_NE(std::find(hives.begin(), hives.end(), own), hives.end());
  EXPECT_NE(std::find(hives.begin(), hives.end(), L"S-1-22-1-4242"), hives.end());
  EXPECT_EQ(RegistryDeleteKeyTree(kHKeyUsers, L"S-1-22-1-4242"), kErrorAccessDenied);
}

TEST(RegistryHive, ClassesRootShowsUserClassesOverMachineClasses) {
  SKIP_ON_WINDOWS();  // and Wine does not merge the user's classes at all
  test::TempRoot root;
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Classes\\Thing", L"Shared", 1), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software\\Classes\\Thing", L"MachineOnly", 1), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyCurrentUser, L"Software\\Classes\\Thing", L"Shared", 2), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyCurrentUser, L"Software\\Classes\\UserThing", L"x", 3), 0u);
  std::uint32_t value = 0;
  ASSERT_EQ(GetDword(kHKeyClassesRoot, L"Thing", L"Shared", &value), 0u);
  EXPECT_EQ(value, 2u);
  ASSERT_EQ(GetDword(kHKeyClassesRoot, L"Thing", L"MachineOnly", &value), 0u);
  ASSERT_EQ(GetDword(kHKeyClassesRoot, L"UserThing", L"x", &value), 0u);
  std::vector<std::wstring> names;
  std::wstring name;
  for (std::uint32_t i = 0; RegistryEnumKey(kHKeyClassesRoot, i, &name) == 0; ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Thing", L"UserThing"}));

  // A key in both hives takes writes into the machine's; a key of the
  // user's alone into the user's.
  ASSERT_EQ(test::SetNumber(kHKeyClassesRoot, L"Thing", L"Written", 4), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyClassesRoot, L"UserThing", L"Written", 5), 0u);
  ASSERT_EQ(test::SetNumber(kHKeyClassesRoot, L"NewThing", L"Written", 6), 0u);
  ASSERT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Classes\\Thing", L"Written", &value), 0u);
  ASSERT_EQ(GetDword(kHKeyCurrentUser, L"Software\\Classes\\UserThing", L"Written", &value), 0u);
  ASSERT_EQ(GetDword(kHKeyLocalMachine, L"Software\\Classes\\NewThing", L"Written", &value), 0u);

  EXPECT_EQ(RegistryDeleteKeyTree(kHKeyClassesRoot, L"Thing"), 0u);
  HKey gone = nullptr;
  EXPECT_EQ(RegistryOpenKey(kHKeyClassesRoot, L"Thing", kKeyRead, &gone), kErrorFileNotFound);
}

// The refusals that the layer reports while it exists.
class Refusals {
 public:
  Refusals() {
    Texts().clear();
    SetRefusalSink([](std::wstring_view text) { Texts().push_back(Utf8FromWide(text)); });
  }
  ~Refusals() { SetRefusalSink(nullptr); }
  Refusals(const Refusals&) = delete;
  Refusals& operator=(const Refusals&) = delete;
  static std::vector<std::string>& Texts() {
    static std::vector<std::string> texts;
    return texts;
  }
};

bool IsRoot() { return test::RunningAsSystem(); }

constexpr std::string_view kPlantedHive =
    "Windows Registry Editor Version 5.00\n\n[HKEY_USERS\\S-1-5-18\\Software]\n\"Planted\"=dword:00000001\n";

// Whatever lies under the name of this process's own hive and could have
// been put there by someone else is read as no hive, never written, never
// blocks, and is reported with its reason once.
TEST(RegistryHive, PlantedHiveFilesAreReadAsAbsentAndNeverWritten) {
  SKIP_ON_WINDOWS();
  struct Case {
    const char* what;
    std::string reason;
    bool needsRoot;
  };
  const Case cases[] = {
      {"link", "it is a symbolic link", false},
      {"fifo", "it is a FIFO, not a regular file", false},
      {"hard link", "it has 2 hard links", false},
      {"huge", "it is larger than 32 MiB", false},
      {"foreign", "it belongs to user 65534 (nobody), not to the system account", true},
  };
  for (const Case& c : cases) {
    if (c.needsRoot && !IsRoot()) continue;
    SCOPED_TRACE(c.what);
    test::TempRoot root;
    Refusals refusals;
    std::wstring user = platform::GetCurrentUserName().ValueOr({});
    ASSERT_FALSE(user.empty());
    std::string own = Utf8FromWide(test::SidOf(user));
    ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software", L"x", 1), 0u);
    fs::path users = root.Path() / "registry" / "users";
    fs::create_directories(users);
    fs::path hive = users / (own + ".reg");
    std::string text(kPlantedHive);
    text.replace(text.find("S-1-5-18"), 8, own);
    fs::path elsewhere = root.Path() / "elsewhere.reg";
    test::WriteFileBytes(elsewhere, Bytes(text));
    std::string what = c.what;
    if (what == "link") {
      fs::create_symlink(elsewhere, hive);
    } else if (what == "fifo") {
      ASSERT_EQ(test::Shell("mkfifo " + hive.string()), 0);
    } else if (what == "hard link") {
      fs::create_hard_link(elsewhere, hive);
    } else {
      test::WriteFileBytes(hive, Bytes(text));
      if (what == "huge") fs::resize_file(hive, 33u << 20);
      if (what == "foreign") {
        ASSERT_EQ(test::Shell("chown nobody " + hive.string()), 0);
      }
    }
    std::uint32_t value = 0;
    EXPECT_EQ(GetDword(kHKeyCurrentUser, L"Software", L"Planted", &value), kErrorFileNotFound);
    EXPECT_EQ(GetDword(kHKeyCurrentUser, L"Software", L"Planted", &value), kErrorFileNotFound);
    EXPECT_EQ(test::SetNumber(kHKeyCurrentUser, L"Software", L"Mine", 1), kErrorAccessDenied);
    EXPECT_EQ(test::ReadFileText(elsewhere), text);
    std::string expected = "Ignored the registry hive " + hive.string() + ": refused: " + c.reason;
    EXPECT_EQ(Refusals::Texts(), std::vector<std::string>{expected});
  }
}

// The lock and the .new of a save are never followed through a link: a
// link as the .new is replaced; a link as the lock stops writers (with the
// reason) but not readers.
TEST(RegistryHive, PlantedLockAndNewFilesLeadNowhere) {
  SKIP_ON_WINDOWS();
  test::TempRoot root;
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software", L"Before", 1), 0u);
  fs::path registry = root.Path() / "registry";
  fs::path precious = root.Path() / "precious";
  test::WriteFileBytes(precious, Bytes("precious"));
  fs::create_symlink(precious, registry / "HKLM.reg.new");
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software", L"After", 2), 0u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(registry / "HKLM.reg.new")));

  fs::remove(registry / "HKLM.reg.lock");
  fs::create_symlink(precious, registry / "HKLM.reg.lock");
  EXPECT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software", L"Locked", 3), kErrorAccessDenied);
  EXPECT_EQ(Utf8FromWide(RegistryLastRefusal()), (registry / "HKLM.reg").string() + ": refused: it is a symbolic link");
  std::uint32_t value = 0;
  EXPECT_EQ(GetDword(kHKeyLocalMachine, L"Software", L"After", &value), 0u);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(test::ReadFileText(precious), "precious");
}

// A link on the way to the hives is followed when only a trusted account
// can have made it and it leads to a trusted folder; a folder of another
// user at its end is refused.
TEST(RegistryHive, ALinkedRegistryFolderMustLeadToATrustedOne) {
  SKIP_ON_WINDOWS();
  test::TempRoot root;
  test::TempFolder elsewhere;
  fs::create_directories(elsewhere.Path() / "registry");
  fs::create_symlink(elsewhere.Path() / "registry", root.Path() / "registry");
  ASSERT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software", L"Linked", 1), 0u);
  EXPECT_TRUE(fs::exists(elsewhere.Path() / "registry" / "HKLM.reg"));
  if (!IsRoot()) return;

  Refusals refusals;
  ASSERT_EQ(test::Shell("chown nobody " + (elsewhere.Path() / "registry").string()), 0);
  std::uint32_t value = 0;
  EXPECT_EQ(GetDword(kHKeyLocalMachine, L"Software", L"Linked", &value), kErrorFileNotFound);
  EXPECT_EQ(test::SetNumber(kHKeyLocalMachine, L"Software", L"Linked", 2), kErrorAccessDenied);
  std::string expected = "Ignored the registry hive " + (root.Path() / "registry" / "HKLM.reg").string() +
                         ": refused: the folder " + (elsewhere.Path() / "registry").string() +
                         " on the way belongs to user 65534 (nobody)";
  EXPECT_EQ(Refusals::Texts(), std::vector<std::string>{expected});
}

}  // namespace
