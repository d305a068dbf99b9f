#include "diagnostics/crash_handler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "diagnostics/file_version.h"
#include "diagnostics/registry_key.h"
#include "platform/file_system.h"
#include "platform/system.h"
#include "tests/support/registry_values.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

namespace fs = std::filesystem;

// The few facts of a minidump file that the tests check.
struct Dump {
  explicit Dump(const fs::path& path) : bytes(test::ReadFileBytes(path)) {}

  [[nodiscard]] std::uint32_t At32(std::size_t offset) const {
    std::uint32_t value = 0;
    if (offset + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + offset, 4);
    return value;
  }
  [[nodiscard]] bool Valid() const { return bytes.size() >= 32 && At32(0) == 0x504D444D; }
  // The offset of a stream's data, 0 when the dump has no such stream.
  [[nodiscard]] std::size_t Stream(std::uint32_t type) const {
    for (std::uint32_t i = 0; i < At32(8); ++i) {
      std::size_t entry = At32(12) + i * 12;
      if (At32(entry) == type) return At32(entry + 8);
    }
    return 0;
  }
  [[nodiscard]] std::uint32_t ExceptionCode() const { return Stream(6) == 0 ? 0 : At32(Stream(6) + 8); }
  // The exception record's first parameter, 0 when it has none.
  [[nodiscard]] std::uint32_t ExceptionParameter() const {
    return Stream(6) == 0 || At32(Stream(6) + 32) == 0 ? 0 : At32(Stream(6) + 40);
  }
  [[nodiscard]] std::uint32_t Threads() const { return Stream(3) == 0 ? 0 : At32(Stream(3)); }

  test::Bytes bytes;
};

// The first bytes of a dump (full-memory dumps are large to read whole).
std::string Head(const fs::path& path) {
  std::string head(4, '\0');
  std::ifstream(path, std::ios::binary).read(head.data(), 4);
  return head;
}

struct Outcome {
  int exitCode = 0;
  int signal = 0;
  std::int64_t milliseconds = 0;
  bool operator==(const Outcome& other) const { return exitCode == other.exitCode && signal == other.signal; }
};

std::vector<fs::path> DumpsUnder(const fs::path& folder) {
  std::vector<fs::path> dumps;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".dmp") dumps.push_back(it->path());
  }
  return dumps;
}

// A crash of the test child in a fresh machine root whose product folder
// (where dumps go) exists. Sanitizers leave the fatal signals to the
// program, so that a child without handlers ends as an ordinary build does.
class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name : {L"ASAN_OPTIONS", L"TSAN_OPTIONS"}) {
      saved_.emplace_back(name, platform::GetEnvVar(name));
      platform::SetEnvVar(name, saved_.back().second.value_or(L"") +
                                    L":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:handle_sigill=0");
    }
    test::RemoveProductKeys();
    fs::create_directories(DumpFolder());
  }
  void TearDown() override {
    test::RemoveProductKeys();
    for (const auto& [name, value] : saved_) {
      value ? platform::SetEnvVar(name, *value) : platform::UnsetEnvVar(name);
    }
  }

  [[nodiscard]] fs::path DumpFolder() const { return root_.Path() / "ProgramData" / "Kestrix" / "Wayline"; }

  Outcome Run(const std::wstring& kind, bool handlers, std::wstring_view program = {}) {
    std::vector<std::wstring> arguments = {L"crash", kind, handlers ? L"on" : L"off"};
    std::int64_t start = platform::SteadyClockNanoseconds();
    Win32Error error = 0;
    auto child = program.empty() ? test::StartChild(arguments) : platform::StartProcess(program, arguments, &error);
    if (!child) return {-1000, 0, 0};
    Outcome outcome;
    outcome.exitCode = child->Wait();
    outcome.signal = child->TerminatingSignal();
    outcome.milliseconds = (platform::SteadyClockNanoseconds() - start) / 1'000'000;
    return outcome;
  }

  test::TempRoot root_;
  test::MachineStateLock machineLock_;
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved_;
};

const std::wregex kDumpName(L"scribe_test_child_([^_]*)_(\\d{4})_(\\d{2})_(\\d{2})_(\\d{2})_(\\d{2})_(\\d{2})\\.dmp");

struct Fault {
  const wchar_t* kind;
  const wchar_t* unhandled;  // the same fault without handlers
  int linuxSignal;           // also the dump's exception code on Linux
  std::uint32_t raisedCode;  // Linux: the parameter of a raised exception's SIGABRT
  std::uint32_t windowsCode;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << platform::Utf8FromWide(fault.kind); }

const Fault kFaults[] = {
    {L"null-write", L"null-write", 11, 0, 0xC0000005},
    {L"null-write-threads", L"null-write", 11, 0, 0xC0000005},
    {L"abort", L"abort", 6, 0, 0x40000015},
    {L"stack-overflow", L"stack-overflow", 11, 0, 0xC00000FD},
    {L"invalid-parameter", L"raise", 6, 0xE0000001, 0xE0000001},
    {L"invalid-parameter-texts", L"raise", 6, 0xE0000001, 0xE0000001},
    {L"invalid-parameter-null", L"raise", 6, 0xE0000001, 0xE0000001},
};

class FaultTest : public CrashTest, public ::testing::WithParamInterface<Fault> {};

// Each fault leaves exactly one dump named after the program, the (here
// missing) version and the time, and the child ends as it does without the
// handlers: by the signal on Linux, with the system's exit code on Windows.
TEST_P(FaultTest, LeavesOneDumpAndEndsAsWithoutHandlers) {
  const Fault& c = GetParam();
  std::wstring kind = c.kind;
  Outcome without = Run(c.unhandled, false);
  EXPECT_TRUE(DumpsUnder(root_.Path()).empty());
  if (!test::OnWindows()) {
    EXPECT_EQ(without.signal, c.linuxSignal);
  }
  Outcome with = Run(c.kind, true);
  EXPECT_EQ(with, without) << with.exitCode << " " << with.signal;
  auto dumps = DumpsUnder(root_.Path());
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(dumps[0].parent_path(), DumpFolder());
  std::wsmatch parts;
  std::wstring name = dumps[0].filename().wstring();
  ASSERT_TRUE(std::regex_match(name, parts, kDumpName)) << dumps[0];
  EXPECT_EQ(parts[1].str(), L"");
  Dump dump(dumps[0]);
  ASSERT_TRUE(dump.Valid());
  if (test::OnWindows()) {
    EXPECT_EQ(dump.ExceptionCode(), c.windowsCode);
  } else {
    EXPECT_EQ(dump.ExceptionCode(), static_cast<std::uint32_t>(c.linuxSignal));
    EXPECT_EQ(dump.ExceptionParameter(), c.raisedCode);
  }
  EXPECT_GE(dump.Threads(), kind == L"null-write-threads" ? 4u : 1u);
  if (kind.starts_with(L"invalid-parameter")) {
    EXPECT_GE(with.milliseconds, 250);
  }
}

INSTANTIATE_TEST_SUITE_P(Crash, FaultTest, ::testing::ValuesIn(kFaults), [](const auto& info) {
  std::string name;
  for (char c : platform::Utf8FromWide(info.param.kind)) name += c == '-' ? '_' : c;
  return name;
});

TEST_F(CrashTest, WithoutTheProductFolderNoDump) {
  fs::remove_all(root_.Path() / "ProgramData");
  Outcome without = Run(L"null-write", false);
  EXPECT_EQ(Run(L"null-write", true), without);
  EXPECT_TRUE(DumpsUnder(root_.Path()).empty());
}

// The product folder lies under the machine root, which may be long.
TEST_F(CrashTest, DumpUnderALongRoot) {
  if (test::OnWindows()) GTEST_SKIP() << "paths past 260 characters need the long-path prefix on Windows";
  test::TempRoot longRoot(1100);
  fs::path folder = longRoot.Path() / "ProgramData" / "Kestrix" / "Wayline";
  fs::create_directories(folder);
  Run(L"null-write", true);
  auto dumps = DumpsUnder(longRoot.Path());
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(dumps[0].parent_path(), folder);
}

// The dump names of the child for the seconds around now, from one second
// before to ten after (a child under Wine takes seconds to start).
std::vector<fs::path> NamesAroundNow(const fs::path& folder) {
  LocalTime start = platform::GetLocalTime();
  std::tm calendar{};
  calendar.tm_year = start.year - 1900;
  calendar.tm_mon = start.month - 1;
  calendar.tm_mday = start.day;
  calendar.tm_hour = start.hour;
  calendar.tm_min = start.minute;
  calendar.tm_sec = start.second;
  calendar.tm_isdst = -1;
  std::time_t base = std::mktime(&calendar);
  std::vector<fs::path> names;
  for (int offset = -1; offset <= 10; ++offset) {
    std::time_t when = base + offset;
    std::tm* local = std::localtime(&when);
    LocalTime time{static_cast<std::uint16_t>(local->tm_year + 1900),
                   static_cast<std::uint16_t>(local->tm_mon + 1),
                   0,
                   static_cast<std::uint16_t>(local->tm_mday),
                   static_cast<std::uint16_t>(local->tm_hour),
                   static_cast<std::uint16_t>(local->tm_min),
                   static_cast<std::uint16_t>(local->tm_sec),
                   0};
    wchar_t path[1024];
    FormatCrashDumpPath(path, folder.wstring() + platform::kPathSeparator, L"scribe_test_child", L"", time);
    names.emplace_back(path);
  }
  return names;
}

// A dump of the same name (a crash in the same second) is written into the
// existing file from its start; what lies beyond the new dump stays.
TEST_F(CrashTest, ExistingDumpOfTheSameNameIsNotTruncated) {
  constexpr std::uintmax_t kSize = 16 << 20;
  const std::string kTail = "earlier dump's last bytes";
  std::vector<fs::path> earlier = NamesAroundNow(DumpFolder());
  for (const auto& path : earlier) {
    std::ofstream(path, std::ios::binary) << "old";
    fs::resize_file(path, kSize - kTail.size());
    std::ofstream(path, std::ios::binary | std::ios::app) << kTail;
  }
  Run(L"null-write", true);
  int written = 0;
  for (const auto& path : earlier) {
    EXPECT_EQ(fs::file_size(path), kSize);
    std::ifstream in(path, std::ios::binary);
    std::string tail(kTail.size(), '\0');
    in.seekg(-static_cast<std::streamoff>(kTail.size()), std::ios::end);
    in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
    EXPECT_EQ(tail, kTail);
    written += Head(path) == "MDMP" ? 1 : 0;
  }
  EXPECT_EQ(written, 1);
  EXPECT_EQ(DumpsUnder(root_.Path()).size(), earlier.size());
}

// Anyone may add files to the product folder: a link planted under the
// dump's name is not followed (the dump is lost, the target kept).
TEST_F(CrashTest, PlantedLinkIsNotFollowed) {
  if (test::OnWindows()) GTEST_SKIP() << "creating links needs a privilege on Windows";
  fs::path target = root_.Path() / "precious";
  std::ofstream(target) << "keep";
  for (const auto& path : NamesAroundNow(DumpFolder())) fs::create_symlink(target, path);
  Outcome without = Run(L"null-write", false);
  EXPECT_EQ(Run(L"null-write", true), without);
  EXPECT_EQ(test::ReadFileText(target), "keep");
}

TEST_F(CrashTest, FullMemoryDumpHoldsTheProcessMemory) {
  std::uintmax_t sizes[2] = {};
  for (std::uint32_t type : {0u, 2u}) {
    fs::remove_all(DumpFolder());
    fs::create_directories(DumpFolder());
    ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, kProductKey, L"DumpType", type), 0u);
    Run(L"null-write", true);
    auto dumps = DumpsUnder(DumpFolder());
    ASSERT_EQ(dumps.size(), 1u);
    ASSERT_EQ(Head(dumps[0]), "MDMP");
    sizes[type / 2] = fs::file_size(dumps[0]);
  }
  EXPECT_GT(sizes[1], 4 * sizes[0]) << sizes[0] << " " << sizes[1];
}

// A program run from the System folder is installed where the registry's
// Path says: the version of the Wayline.exe there goes into the name.
TEST_F(CrashTest, NameCarriesTheInstalledProductVersion) {
  fs::path system = root_.Path() / "System32";
  fs::path install = root_.Path() / "Install";
  fs::create_directories(system);
  fs::create_directories(install);
  fs::path child = system / fs::path(test::ProgramPath(L"scribe_test_child")).filename();
  fs::copy_file(test::ProgramPath(L"scribe_test_child"), child);
  fs::copy_file(
      test::OnWindows() ? test::ProgramPath(L"scribe_test_child") : test::ProgramPath(L"wayline_version_probe.exe"),
      install / "Wayline.exe");
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kCurrentInstallKey, L"Path", install.wstring()), 0u);
  Run(L"null-write", true, child.wstring());
  auto dumps = DumpsUnder(DumpFolder());
  ASSERT_EQ(dumps.size(), 1u);
  std::wsmatch parts;
  std::wstring name = dumps[0].filename().wstring();
  ASSERT_TRUE(std::regex_match(name, parts, kDumpName)) << dumps[0];
  EXPECT_EQ(parts[1].str(), L"9.2.0.0");
}

// lldb opens the dumps of a fault and of a raised exception and walks the
// crashing thread's stack through the program's own functions.
TEST_F(CrashTest, LldbShowsTheFaultingFunction) {
  if (test::OnWindows()) GTEST_SKIP() << "lldb reads the Linux dumps; the Windows ones come from the system's writer";
  const fs::path lldb = "/usr/bin/lldb-14";
  ASSERT_TRUE(fs::exists(lldb)) << "install lldb-14";
  const struct {
    const wchar_t* kind;
    std::vector<std::string> expected;
  } cases[] = {
      {L"null-write", {"stop reason = signal SIGSEGV", "CrashByNullWrite()", "Crash(", "main"}},
      {L"invalid-parameter",
       {"stop reason = signal SIGABRT", "RaiseException", "InvalidParameterHandler", "CloseFile", "Crash("}},
  };
  for (const auto& c : cases) {
    fs::remove_all(DumpFolder());
    fs::create_directories(DumpFolder());
    Run(c.kind, true);
    auto dumps = DumpsUnder(DumpFolder());
    ASSERT_EQ(dumps.size(), 1u);
    fs::path input = root_.Path() / "input";
    fs::path output = root_.Path() / "lldb.txt";
    test::WriteFileBytes(input, {});
    ASSERT_EQ(test::RunChild({L"redirect", input.wstring(), output.wstring(), lldb.wstring(), L"--batch", L"--core",
                              dumps[0].wstring(), L"-o", L"thread backtrace", L"-o", L"image list"}),
              0);
    std::string text = test::ReadFileText(output);
    for (const auto& expected : c.expected)
      EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    EXPECT_NE(text.find("/scribe_test_child"), std::string::npos) << text;
    EXPECT_NE(text.find("libc.so"), std::string::npos) << text;
  }
}

TEST(CrashDumpName, Layout) {
  LocalTime time{2024, 3, 0, 7, 9, 5, 4, 321};
  wchar_t path[64];
  ASSERT_EQ(FormatCrashDumpPath(path, L"C:\\D\\", L"Tool", L"9.2.1", time), 39u);
  EXPECT_STREQ(path, L"C:\\D\\Tool_9.2.1_2024_03_07_09_05_04.dmp");
  FormatCrashDumpPath(path, L"/d/", L"Tool", L"", time);
  EXPECT_STREQ(path, L"/d/Tool__2024_03_07_09_05_04.dmp");
  wchar_t small[39];
  EXPECT_EQ(FormatCrashDumpPath(small, L"C:\\D\\", L"Tool", L"9.2.1", time), 0u);
  EXPECT_EQ(ProgramNameFromPath(L"C:\\Program Files\\Wayline\\ScribeHost.exe"),
            test::OnWindows() ? L"ScribeHost" : L"C:\\Program Files\\Wayline\\ScribeHost");
  EXPECT_EQ(ProgramNameFromPath(L"/opt/wayline/bin/ScribeHost"), L"ScribeHost");
  EXPECT_EQ(ProgramNameFromPath(L"/opt/v1.2/tool.bin.exe"), L"tool.bin");
}

}  // namespace
}  // namespace wl
