// The operator's tool: its argument rules as tables, its commands run in
// this process against a running server (the child program's com-server),
// following a file across rotations, and the scribe program itself for what
// only a process shows (standard input and output, exit codes).
#include "tools/scribe_tool.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "tests/support/com_test_support.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

using test::ComServerFile;

TEST(ScribeToolText, ArgumentRules) {
  struct Row {
    std::wstring_view text;
    int source, level, component;  // -1: refused
  };
  const Row rows[] = {
      {L"0x15", 21, -1, 3},
      {L"37", -1, -1, -1},
      {L"65557", -1, -1, -1},  // never narrowed to 21
      {L"6", 6, 6, 1},
      {L"lookout", 21, -1, 3},
      {L"Lookout.log", -1, -1, 3},
      {L"Hoist Host", 16, -1, 6},
      {L"tslfw", -1, -1, 7},
      {L"Wayline", -1, -1, 0},  // a file; as a source 1 or 36
      {L"Patchwork", -1, -1, -1},
      {L"W", -1, 3, -1},
      {L"debug2", -1, 6, -1},
      {L"Global", -1, 0, -1},
      {L"-1", -1, -1, -1},
      {L"", -1, -1, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::Utf8FromWide(row.text));
    std::wstring message;
    std::optional<SourceNumber> source = ParseSourceArgument(row.text, &message);
    EXPECT_EQ(source ? int{*source} : -1, row.source);
    EXPECT_EQ(source.has_value(), message.empty());
    std::optional<LevelNumber> level = ParseLevelArgument(row.text, &message);
    EXPECT_EQ(level ? int{*level} : -1, row.level);
    std::optional<std::uint16_t> component = ParseComponentArgument(row.text, &message);
    EXPECT_EQ(component ? int{*component} : -1, row.component);
  }
}

TEST(ScribeToolText, MessagesAndPrintedBytes) {
  EXPECT_EQ(SplitMessage(L"", 3), std::vector<std::wstring_view>{L""});
  EXPECT_EQ(SplitMessage(L"abcdefg", 3), (std::vector<std::wstring_view>{L"abc", L"def", L"g"}));
  // Windows' wide text holds U+1F600 as a surrogate pair, which stays whole.
  std::wstring text = L"ab\U0001F600c", joined;
  for (std::wstring_view piece : SplitMessage(text, 3)) {
    EXPECT_TRUE(platform::IsValidUtf8(platform::Utf8FromWide(piece)));
    joined += piece;
  }
  EXPECT_EQ(joined, text);
  EXPECT_EQ(PrintableLogBytes("\xEF\xBB\xBF"
                              "a\r\nb\r\n",
                              true),
            "a\nb\n");
  EXPECT_EQ(PrintableLogBytes("\xEF\xBB\xBF"
                              "a\rb\r\r\n",
                              false),
            "\xEF\xBB\xBF"
            "a\rb\r\n");
}

// follow looks often, so that a test need not wait long for a line.
constexpr std::uint32_t kPollMilliseconds = 10;

struct ToolRun {
  int code = -1;
  std::string out;
  std::wstring err;
};

// A console that keeps what the tool prints (any thread); its standard
// input is `input`, one entry per line; follow goes on while `following`.
struct Recorder {
  template <typename F>
  auto Locked(F f) {
    std::lock_guard lock(mutex);
    return f();
  }
  cli::Console Console() {
    return {[this](std::string_view bytes) { return Locked([&] { out += bytes; }), true; },
            [this](std::wstring_view text) { Locked([&] { err += text; }); },
            [this, next = std::size_t{0}]() mutable -> std::optional<std::string> {
              if (next >= input.size()) return std::nullopt;
              return input[next++];
            },
            [this] { return Locked([&] { return following; }); }};
  }
  std::mutex mutex;
  std::string out;
  std::wstring err;
  std::vector<std::string> input;
  bool following = false;
};

class ScribeTool : public test::ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    for (const char* name : {"starts", "ends", "locks", "ready", "stop"}) std::filesystem::remove(ComServerFile(name));
    ASSERT_EQ(test::RegisterTestServer(), S_OK);
    ASSERT_EQ(SetProductDword(L"MaxLogFileSize", 10240), 0u);
  }
  void TearDown() override {
    StopServer();
    test::UnregisterTestServer();
    ServiceFixture::TearDown();
  }
  void StartServer() {
    server_ = test::StartChild({L"com-server"});
    ASSERT_TRUE(server_ != nullptr);
    ASSERT_TRUE(test::WaitForPath(ComServerFile("ready")));
  }
  void StopServer() {
    if (!server_) return;
    test::WriteFileBytes(ComServerFile("stop"), {});
    EXPECT_EQ(server_->Wait(), 0);
    server_.reset();
  }

  // Runs a command in this process with the lines of `input` as its input.
  static ToolRun Tool(const std::vector<std::wstring>& arguments, std::vector<std::string> input = {}) {
    Recorder recorder;
    recorder.input = std::move(input);
    int code = RunScribeTool(arguments, recorder.Console(), kPollMilliseconds);
    return {code, recorder.out, recorder.err};
  }

  bool WaitForText(std::string_view file, const std::string& text) {
    return test::WaitUntil([&] { return ReadLog(file).find(text) != std::string::npos; }, std::chrono::seconds(20));
  }

  std::unique_ptr<platform::ChildProcess> server_;
};

TEST_F(ScribeTool, CommandsAgainstTheService) {
  StartServer();
  struct Row {
    std::vector<std::wstring> arguments;
    int code;
    std::string out;     // a part of the output (empty: no output)
    std::wstring error;  // a part of the error text (empty: none)
  };
  const Row rows[] = {
      {{L"level", L"3"}, 0, "", L""},
      {{L"level", L"lookout", L"debug"}, 0, "", L""},
      {{L"LEVEL", L"0x1c", L"E"}, 0, "", L""},
      {{L"level"}, 0, "Global level: 3 Warning\n", L""},
      {{L"level"}, 0, " 21  Lookout       5 Debug\n", L""},
      {{L"level"}, 0, " 28  Tally         2 Error\n", L""},
      {{L"level", L"Wayline", L"2"}, 2, "", L"shared by sources 1 and 36"},
      {{L"level", L"7"}, 2, "", L"There is no level 7"},
      {{L"level", L"Lookout", L"0x10003"}, 2, "", L"There is no level 0x10003"},
      {{L"level", L"1", L"2", L"3"}, 2, "", L"Usage: scribe level"},
      {{L"log", L"-s", L"Nowhere", L"x"}, 2, "", L"Unknown source \"Nowhere\""},
      {{L"log", L"-s"}, 2, "", L"--source needs a value"},
      {{L"log", L"-s", L"1", L"--source=2"}, 2, "", L"--source is given twice"},
      {{L"log", L"-x"}, 2, "", L"\"-x\" is not an option of log"},
      {{L"follow"}, 2, "", L"Usage: scribe follow"},
      {{L"follow", L"Nowhere"}, 2, "", L"Unknown component"},
      {{L"follow", L"-n", L"many", L"Tally"}, 2, "", L"--lines takes a number"},
      {{L"frobnicate"}, 2, "", L"Unknown command \"frobnicate\""},
      {{std::wstring(100000, L'x')}, 2, "", L"xxx...\""},
      {{}, 2, "", L"Name a command"},
      {{L"--help"}, 0, "  scribe follow [-n LINES] COMPONENT\n", L""},
      {{L"log", L"-s", L"1", L"--help"}, 0, "Usage: scribe log", L""},
  };
  for (const Row& row : rows) {
    std::wstring line;
    for (const auto& argument : row.arguments) line += argument.substr(0, 40) + L" ";
    SCOPED_TRACE(Utf8(line));
    ToolRun run = Tool(row.arguments);
    EXPECT_EQ(run.code, row.code) << Utf8(run.err);
    // What a command prints on one stream it never prints on the other.
    EXPECT_EQ(run.out.empty(), row.out.empty());
    EXPECT_NE(run.out.find(row.out), std::string::npos) << run.out;
    EXPECT_EQ(run.err.empty(), row.error.empty());
    EXPECT_NE(run.err.find(row.error), std::wstring::npos) << Utf8(run.err);
    EXPECT_LT(run.err.size(), 400u);
  }
}

TEST_F(ScribeTool, LogsResetsAndListsTheFiles) {
  StartServer();
  EXPECT_EQ(Tool({L"log", L"-s", L"Lookout", L"-l", L"w", L"--", L"-dash", L"and", L"caf\u00e9"}).code, 0);
  // Filtered by the level: still a success, and no line.
  EXPECT_EQ(Tool({L"log", L"-s", L"21", L"--level=Debug2", L"dropped"}).code, 0);
  // One message per line of the input: a CR LF end, bytes that are not
  // UTF-8, a zero byte and an empty line.
  std::vector<std::string> input = {"first\r", std::string("bad \xFF\xFE bytes and a \0 zero", 25), "", "last"};
  EXPECT_EQ(Tool({L"log", L"--source", L"Lookout", L"-l", L"2"}, input).code, 0);
  ASSERT_TRUE(WaitForText("Lookout.log", "last\r\n"));
  std::string log = ReadLog("Lookout.log");
  EXPECT_NE(log.find("Lookout     +W "), std::string::npos);
  EXPECT_NE(log.find(": -dash and caf\xC3\xA9\r\n"), std::string::npos);
  EXPECT_EQ(log.find("dropped"), std::string::npos);
  EXPECT_NE(log.find(": first\r\n"), std::string::npos);
  EXPECT_NE(log.find(std::string(": bad \xEF\xBF\xBD\xEF\xBF\xBD bytes and a \0 zero\r\n", 33)), std::string::npos);
  EXPECT_EQ(CountOf(log, "Lookout     +E "), 4u);

  ToolRun files = Tool({L"files"});
  EXPECT_TRUE(files.out.starts_with("Data folder: " + Utf8(GetDataFolder()) + "\n")) << files.out;
  auto row = [](std::wstring_view name, std::wstring_view size) {
    return platform::Utf8FromWide(Format(L"\n{:<24} {:>10}\n", name, size));
  };
  EXPECT_NE(files.out.find(row(L"Lookout.log", std::to_wstring(log.size()))), std::string::npos) << files.out;
  EXPECT_NE(files.out.find(row(L"Tally.log", L"-")), std::string::npos);
  test::WriteFileBytes(DataFolder() / "Lookout_oldest.log", {'a', 'b'});
  EXPECT_NE(Tool({L"files"}).out.find(row(L"  Lookout_oldest.log", L"2")), std::string::npos);

  EXPECT_EQ(Tool({L"reset"}).code, 0);
  EXPECT_FALSE(Exists("Lookout.log"));
  EXPECT_TRUE(Exists("Lookout_oldest.log"));

  // A text longer than one call carries goes as two messages, every
  // character kept.
  std::string huge(kMaxMessageCharacters + 1000, 'x');
  EXPECT_EQ(Tool({L"log", L"-s", L"Tally"}, {huge + "!"}).code, 0);
  ASSERT_TRUE(WaitForText("Tally.log", "x!\r\n"));
  std::string tally = ReadLog("Tally.log");
  EXPECT_EQ(CountOf(tally, "Tally       +I "), 2u);
  EXPECT_EQ(CountOf(tally, "x"), huge.size());
}

TEST_F(ScribeTool, FollowsAFileAcrossRotationsAndResets) {
  // The smallest limit (100 KiB): 3000 lines of about 150 bytes rotate the
  // file three times.
  ASSERT_EQ(SetProductDword(L"MaxLogFileSize", 1), 0u);
  StartServer();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Tool({L"log", L"-s", L"Tally", Format(L"before {}", i)}).code, 0);
  ASSERT_TRUE(WaitForText("Tally.log", "before 2\r\n"));

  Recorder follow;
  follow.following = true;
  cli::Console console = follow.Console();
  int followCode = -1;
  std::thread follower([&] {
    followCode = RunScribeTool({L"follow", L"-n", L"2", L"tally"}, console, kPollMilliseconds);
  });
  auto printed = [&](const std::string& text) {
    return test::WaitUntil([&] { return follow.Locked([&] { return follow.out.find(text) != std::string::npos; }); },
                           std::chrono::seconds(20));
  };
  EXPECT_TRUE(printed("before 2\n"));
  constexpr int kLines = 3000;
  std::wstring padding(100, L'.');
  for (int batch = 0; batch < kLines / 250; ++batch) {
    std::vector<std::string> input;
    for (int i = batch * 250; i < (batch + 1) * 250; ++i) input.push_back(Utf8(Format(L"line {:05} {}", i, padding)));
    EXPECT_EQ(Tool({L"log", L"-s", L"28"}, input).code, 0);
    // Each batch rotates the file at most once before follow has printed it.
    EXPECT_TRUE(printed(Utf8(Format(L"line {:05} ", (batch + 1) * 250 - 1))));
  }
  ASSERT_TRUE(WaitForText("Tally.log", Utf8(Format(L"line {:05}", kLines - 1))));
  EXPECT_TRUE(Exists("Tally_older.log"));
  // After a reset the next line starts a new file, which is followed too.
  EXPECT_EQ(Tool({L"reset"}).code, 0);
  EXPECT_EQ(Tool({L"log", L"-s", L"28", L"after the reset"}).code, 0);
  EXPECT_TRUE(printed("after the reset\n"));
  follow.Locked([&] { follow.following = false; });
  follower.join();
  EXPECT_EQ(followCode, 0);
  EXPECT_EQ(follow.err, L"");
  ToolRun run{followCode, follow.out, {}};

  // The two last lines from before, then every line once and in order.
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(run.out.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), kLines + 3u) << run.out.substr(0, 2000);
  EXPECT_TRUE(lines[0].starts_with("Tally       +I ") && lines[0].ends_with(": before 1")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with(": before 2"));
  for (int i = 0; i < kLines; ++i) {
    ASSERT_TRUE(lines[i + 2].ends_with(Utf8(Format(L": line {:05} {}", i, padding)))) << lines[i + 2];
  }
  EXPECT_TRUE(lines.back().ends_with(": after the reset"));
  EXPECT_EQ(run.out.find_first_of("\r\xEF"), std::string::npos);  // no CR, no byte-order mark
}

// The program itself: its input and output through files.
TEST_F(ScribeTool, TheProgram) {
  StartServer();
  test::TempFolder folder;
  auto input = folder.Path() / "in.txt", output = folder.Path() / "out.txt";
  auto run = [&](std::string stdinBytes, std::vector<std::wstring> arguments, const std::filesystem::path& out) {
    test::WriteFileBytes(input, test::Bytes(stdinBytes.begin(), stdinBytes.end()));
    arguments.insert(arguments.begin(), {L"redirect", input.wstring(), out.wstring(), test::ProgramPath(L"scribe")});
    return test::RunChild(arguments);
  };
  EXPECT_EQ(run("", {L"level", L"Seal", L"Info"}, output), 0);
  EXPECT_EQ(run("", {L"level"}, output), 0);
  std::string shown = test::ReadFileText(output);
  if (shown.empty() && test::OnWindows()) {
    GTEST_SKIP() << "this Windows process start does not hand its standard handles to the child";
  }
  EXPECT_NE(shown.find(" 20  Seal          4 Info"), std::string::npos) << shown;
  // Binary standard input, no line feed at its end.
  std::string binary = "one\ntwo\r\n" + std::string("\0\x01\x80\xC0", 4) + "\nend";
  EXPECT_EQ(run(binary, {L"log", L"-s", L"Seal", L"-l", L"W"}, output), 0);
  ASSERT_TRUE(WaitForText("Tunnel.log", ": end\r\n"));
  EXPECT_EQ(CountOf(ReadLog("Tunnel.log"), "Seal        +W "), 4u);
  EXPECT_EQ(run("", {L"level", L"99"}, output), cli::kExitUsage);
  if (!test::OnWindows()) {
    // An output that cannot be written.
    EXPECT_EQ(run("", {L"level"}, "/dev/full"), cli::kExitFailed);
  }
  // A running server is reached whatever the registration says.
  StopServer();
  test::UnregisterTestServer();
  EXPECT_EQ(run("", {L"level"}, output), kScribeUnreachable);
  EXPECT_EQ(test::ReadFileText(output), "");
  ToolRun reset = Tool({L"reset"});
  EXPECT_EQ(reset.code, kScribeUnreachable);
  EXPECT_TRUE(reset.err.starts_with(L"scribe: the log service cannot be reached: ")) << Utf8(reset.err);
  EXPECT_NE(reset.err.find(L"Start ScribeHost"), std::wstring::npos);
  EXPECT_EQ(Tool({L"files"}).code, 0);  // needs no service
}

// A mistyped machine root stays as it was: the reading commands of the
// three tools, and those that need the service, create nothing in it.
TEST(ScribeToolOnAMistypedRoot, CommandsCreateNothing) {
  if (test::OnWindows()) GTEST_SKIP() << "the machine root is Linux's";
  test::TempRoot root;
  const std::filesystem::path typo = root.Path() / "typo";
  ASSERT_TRUE(platform::SetEnvVar(L"WAYLINE_ROOT", typo.wstring()));
  struct Row {
    const wchar_t* program;
    std::vector<std::wstring> arguments;
    int code;
  };
  const Row rows[] = {
      {L"scribe", {L"files"}, cli::kExitFailed},
      {L"scribe", {L"level"}, kScribeUnreachable},
      {L"scribe", {L"log", L"text"}, kScribeUnreachable},
      {L"scribe", {L"reset"}, kScribeUnreachable},
      {L"wlsc", {L"query", L"ScribeHost"}, 1},
      {L"wlreg", {L"query", L"HKLM\\Software", L"/s"}, 1},
      {L"wlreg", {L"query", L"HKU"}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::Utf8FromWide(std::wstring(row.program) + L" " + row.arguments[0]));
    EXPECT_EQ(test::RunChild(row.arguments, row.program), row.code);
    EXPECT_FALSE(std::filesystem::exists(typo));
    std::filesystem::remove_all(typo);
  }
  // follow, which does not end by itself, in this process: it looks once.
  Recorder recorder;
  EXPECT_EQ(RunScribeTool({L"follow", L"Wayline"}, recorder.Console(), kPollMilliseconds), cli::kExitFailed);
  EXPECT_NE(recorder.err.find(L"the data folder cannot be found: " + (typo / "ProgramData").wstring()),
            std::wstring::npos)
      << platform::Utf8FromWide(recorder.err);
  EXPECT_FALSE(std::filesystem::exists(typo));
}

}  // namespace
}  // namespace wl
