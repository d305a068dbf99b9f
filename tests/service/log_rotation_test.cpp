#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>

#include "diagnostics/error_text.h"
#include "diagnostics/format.h"
#include "logclient/file_logger.h"
#include "platform/file_system.h"
#include "platform/system.h"
#include "platform/text_file.h"
#include "service/log_file_info.h"
#include "service/trace_log_manager.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

class LogRotationTest : public test::ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    manager_ = std::make_unique<TraceLogManager>();
    ASSERT_EQ(manager_->FinalConstruct(), kSOk);
    limit_ = MaxLogFileSize();
  }
  void TearDown() override {
    manager_.reset();
    ServiceFixture::TearDown();
  }

  // A log file of `size` bytes as an earlier run would have left it.
  void Prefill(std::string_view fileName, std::int64_t size) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size), 'a');
    bytes[0] = 0xEF, bytes[1] = 0xBB, bytes[2] = 0xBF;
    bytes[bytes.size() - 2] = '\r', bytes[bytes.size() - 1] = '\n';
    test::WriteFileBytes(DataFolder() / fileName, bytes);
  }
  void Put(std::string_view fileName, std::string_view text) {
    test::WriteFileBytes(DataFolder() / fileName, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  void Log(SourceNumber source, std::wstring_view text = L"x") {
    EXPECT_EQ(manager_->QueueMessage(source, 1, text), kSOk);
    manager_->WaitUntilWritten();
  }

  // "Wayline     +C " or "Lookout     +C ", the stamp, "x", CR LF.
  static constexpr std::int64_t kLineBytes = 15 + 32 + 1 + 2;

  std::unique_ptr<TraceLogManager> manager_;
  std::int64_t limit_ = 0;
};

TEST_F(LogRotationTest, SizeLimitComesFromTheRegistryWithinItsBounds) {
  EXPECT_EQ(ReadMaxLogFileSize(), 102400) << "no key";
  platform::HKey key = nullptr;
  ASSERT_EQ(
      platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyAllAccess, &key, nullptr),
      0u);
  EXPECT_EQ(platform::RegistryCloseKey(key), 0u);
  EXPECT_EQ(ReadMaxLogFileSize(), 5242880) << "no value";
  struct Row {
    std::uint32_t type;
    std::vector<std::uint8_t> data;
    std::int64_t bytes;
  };
  for (const Row& row : {
           Row{platform::kRegDword, {50, 0, 0, 0}, 102400},
           Row{platform::kRegDword, {0x30, 0x75, 0, 0}, 20971520},  // 30000 KiB
           Row{platform::kRegDword, {0x70, 0x17, 0, 0}, 6000 * 1024},
           Row{platform::kRegBinary, {0x05}, 0x1405 * 1024},  // over the low byte of 5120
           Row{platform::kRegBinary, {0x20, 0x00}, 102400},   // 32 KiB
           Row{platform::kRegQword, {0, 0x10, 0, 0, 0, 0, 0, 0}, 5242880},
       }) {
    ASSERT_EQ(SetProductValue(L"MaxLogFileSize", row.type, row.data), 0u);
    EXPECT_EQ(ReadMaxLogFileSize(), row.bytes) << row.data.size() << " bytes, first " << int{row.data[0]};
  }
}

TEST_F(LogRotationTest, SizeCheckRunsAfter500Writes) {
  Prefill("Wayline.log", limit_ - kLineBytes);
  // The first write's check finds the file at the limit.
  Log(1);
  EXPECT_FALSE(Exists("Wayline_old.log"));
  for (int i = 0; i < 499; ++i) (void)manager_->QueueMessage(1, 1, L"x");
  manager_->WaitUntilWritten();
  EXPECT_FALSE(Exists("Wayline_old.log"));
  Log(1);
  EXPECT_TRUE(Exists("Wayline_old.log"));
  // No current file until the next line.
  EXPECT_FALSE(Exists("Wayline.log"));
  Log(1, L"first of the new file");
  EXPECT_TRUE(ReadLog("Wayline.log").starts_with("\xEF\xBB\xBFWayline     +C "));
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

TEST_F(LogRotationTest, SizeCheckRunsAfterMoreThan5000MsWithMoreThanOneWrite) {
  // Each file at the limit after its first write, and its check.
  Prefill("Tunnel.log", limit_ - kLineBytes);
  Prefill("Wayline.log", limit_ - kLineBytes);
  Log(14);
  Log(14);
  clock_.AdvanceMilliseconds(5000);
  Log(14);
  EXPECT_FALSE(Exists("Tunnel_old.log")) << "5000 ms are not more than 5000";
  clock_.AdvanceMilliseconds(1);
  Log(14);
  EXPECT_TRUE(Exists("Tunnel_old.log"));

  // Long after the last check, one write is not enough.
  Log(1);
  clock_.AdvanceSeconds(10);
  Log(1);
  EXPECT_FALSE(Exists("Wayline_old.log"));
  Log(1);
  EXPECT_TRUE(Exists("Wayline_old.log"));
}

// A service killed before its first count-based check left the file over
// the limit: a new object (as a new process) rotates it at its first
// write, and so again after a reset.
TEST_F(LogRotationTest, AFileOverTheLimitIsRotatedAtTheFirstWriteOfANewObject) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Prefill("Wayline.log", limit_ + 1);
    Log(1, L"first");
    EXPECT_EQ(std::filesystem::file_size(LogPath("Wayline_old")),
              static_cast<std::uintmax_t>(limit_ + 1 + kLineBytes + 4));
    EXPECT_FALSE(Exists("Wayline.log"));
    Log(1);
    EXPECT_TRUE(ReadLog("Wayline.log").starts_with("\xEF\xBB\xBFWayline     +C "));
    manager_->FinalRelease();
    manager_ = std::make_unique<TraceLogManager>();
    ASSERT_EQ(manager_->FinalConstruct(), kSOk);
  }
  // A reset whose file is made again over the limit (another program
  // copied an old log back, say).
  Log(1);
  EXPECT_EQ(manager_->ResetLogs(), kSOk);
  Prefill("Wayline.log", limit_ + 1);
  Put("Wayline_old.log", "old");
  Log(1, L"first");
  EXPECT_EQ(ReadLog("Wayline_older.log"), "old");
  EXPECT_FALSE(Exists("Wayline.log"));
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

// With BatchedWrites, a batch is cut where the size check falls due: after
// a file's first line, after the 500th line since a check, and after the
// second line once more than 5000 ms passed.
TEST_F(LogRotationTest, BatchedWritesCheckTheSizeAfterTheSameLines) {
  ASSERT_EQ(SetProductDword(L"BatchedWrites", 1), 0u);
  Prefill("Wayline.log", limit_ - 100);
  Prefill("Tunnel.log", limit_ - 100);
  auto batched = std::make_unique<TraceLogManager>();
  // Queued before the writer starts, so that it takes them in one batch.
  for (int i = 0; i < 1200; ++i) ASSERT_EQ(batched->QueueMessage(1, 1, Format(L"{}", i)), kSOk);
  ASSERT_EQ(batched->FinalConstruct(), kSOk);
  batched->WaitUntilWritten();
  // The check after line 0 found the file below the limit, the one after
  // line 500 rotated it, the one after line 1000 found the new file small.
  std::string old = ReadLog("Wayline_old.log");
  EXPECT_EQ(CountOf(old, "\r\n"), 1u + 501u);
  EXPECT_TRUE(old.ends_with(": 500\r\n"));
  std::string current = ReadLog("Wayline.log");
  EXPECT_EQ(CountOf(current, "\r\n"), 699u);
  EXPECT_TRUE(current.starts_with("\xEF\xBB\xBFWayline     +C 12/04 10:34:55.123            : 501\r\n"));

  // Tunnel.log's first line and check, then three lines taken together more
  // than 5000 ms later (the writer held meanwhile in another file's write).
  ASSERT_EQ(batched->QueueMessage(14, 1, L"t0"), kSOk);
  batched->WaitUntilWritten();
  {
    test::WriterGate gate;
    ASSERT_EQ(batched->QueueMessage(21, 1, L"hold"), kSOk);
    ASSERT_TRUE(gate.WaitUntilEntered());
    for (int i = 1; i <= 3; ++i) ASSERT_EQ(batched->QueueMessage(14, 1, Format(L"t{}", i)), kSOk);
    clock_.AdvanceMilliseconds(5001);
  }
  batched->WaitUntilWritten();
  batched->FinalRelease();
  EXPECT_TRUE(ReadLog("Tunnel_old.log")
                  .ends_with(": t0\r\nTunnel      +C 12/04 10:34:55.123            : t1\r\n"
                             "Tunnel      +C 12/04 10:34:55.123            : t2\r\n"));
  EXPECT_EQ(CountOf(ReadLog("Tunnel_old.log"), "\r\n"), 4u);
  EXPECT_EQ(ReadLog("Tunnel.log"), "\xEF\xBB\xBFTunnel      +C 12/04 10:34:55.123            : t3\r\n");
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

// A batched write that fails part-way keeps the whole lines before the
// failure, cuts the torn one out, and tries each later line on its own;
// every lost line is reported once.
TEST_F(LogRotationTest, ABatchedWriteThatFailsPartWayLosesOnlyTheLinesItCouldNotWrite) {
  ASSERT_EQ(SetProductDword(L"BatchedWrites", 1), 0u);
  auto batched = std::make_unique<TraceLogManager>();
  const std::wstring filler(1000, L'f');
  constexpr std::size_t kLine = 15 + 32 + 1000 + 1 + 2;
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(batched->QueueMessage(1, 1, filler + std::to_wstring(i)), kSOk);
  {
    // Line 1 goes alone (the size check follows a file's first write); the
    // batch of the other four stops 500 bytes into its second line (3); of
    // the single writes after it, the first (line 4) fails part-way too.
    // Windows writes each line on its own (the seam counts two bytes per
    // character, the carriage return that the runtime adds not among them):
    // there lines 3 and 4 fail part-way.
    std::atomic<int> singles{0};
    const int firstFailing = test::OnWindows() ? 2 : 1;
    const int lastFailing = test::OnWindows() ? 3 : 1;
    const std::size_t single = test::OnWindows() ? 2 * (kLine - 1) : kLine;
    test::ScopedFileFaults faults([&](platform::FileOperation operation, std::size_t size) {
      if (operation != platform::FileOperation::Write) return platform::FileFault{};
      if (size == 4 * kLine) return platform::FileFault{platform::kErrnoEnospc, kLine + 500};
      if (size != single) return platform::FileFault{};
      int index = singles++;
      bool fails = index >= firstFailing && index <= lastFailing;
      return fails ? platform::FileFault{platform::kErrnoEnospc, 20} : platform::FileFault{};
    });
    ASSERT_EQ(batched->FinalConstruct(), kSOk);
    batched->WaitUntilWritten();
  }
  batched->FinalRelease();
  std::string head = "Wayline     +C 12/04 10:34:55.123            : " + std::string(1000, 'f');
  EXPECT_EQ(ReadLog("Wayline.log"), "\xEF\xBB\xBF" + head + "1\r\n" + head + "2\r\n" + head + "5\r\n");
  std::string diagnostics = Diagnostics();
  EXPECT_EQ(CountOf(diagnostics, "Error: Write failed for file Wayline.log - "), 2u) << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, " - No space left on device.\r\n"), 2u) << diagnostics;
}

TEST_F(LogRotationTest, ARotatedFileIsFlushedBeforeItIsClosed) {
  Prefill("Wayline.log", limit_ + 1);
  std::uint64_t before = platform::CommittedFileCount();
  // The first write's size check rotates the file.
  Log(1);
  ASSERT_TRUE(Exists("Wayline_old.log"));
  // The flush was done by the time the file was closed and renamed, not
  // left to a thread that would find it closed.
  EXPECT_EQ(platform::CommittedFileCount(), before + 1);
  manager_->FinalRelease();
  EXPECT_EQ(platform::CommittedFileCount(), before + 1);
}

TEST_F(LogRotationTest, FileOfExactlyTheLimitStaysOneByteMoreRotates) {
  Prefill("Wayline.log", limit_ - kLineBytes);
  Prefill("Lookout.log", limit_ - kLineBytes + 1);
  EXPECT_EQ(manager_->QueueMessage(1, 1, L"x"), kSOk);
  EXPECT_EQ(manager_->QueueMessage(21, 1, L"x"), kSOk);
  manager_->WaitUntilWritten();
  EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(LogPath("Wayline"))), limit_);
  EXPECT_FALSE(Exists("Wayline_old.log"));
  EXPECT_FALSE(Exists("Lookout.log"));
  EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(LogPath("Lookout_old"))), limit_ + 1);
}

TEST_F(LogRotationTest, RotationShiftsAFullChain) {
  Prefill("Wayline.log", limit_ + 1);
  Put("Wayline_old.log", "old");
  Put("Wayline_older.log", "older");
  Put("Wayline_oldest.log", "oldest");
  Log(1);
  EXPECT_FALSE(Exists("Wayline.log"));
  EXPECT_EQ(std::filesystem::file_size(LogPath("Wayline_old")), static_cast<std::uintmax_t>(limit_ + 1 + kLineBytes));
  EXPECT_EQ(ReadLog("Wayline_older.log"), "old");
  EXPECT_EQ(ReadLog("Wayline_oldest.log"), "older");
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

TEST_F(LogRotationTest, RotationTakesOverTheFormerNames) {
  Prefill("Lookout.log", limit_ + 1);
  Put("Lookout.log.1", "one");
  Put("Lookout.log.2", "two");
  Log(21);
  EXPECT_FALSE(Exists("Lookout.log"));
  EXPECT_FALSE(Exists("Lookout.log.1"));
  EXPECT_FALSE(Exists("Lookout.log.2"));
  EXPECT_TRUE(Exists("Lookout_old.log"));
  EXPECT_EQ(ReadLog("Lookout_older.log"), "one");
  EXPECT_EQ(ReadLog("Lookout_oldest.log"), "two");
}

TEST_F(LogRotationTest, ResetDeletesOnlyTheFilesWrittenSinceStart) {
  Put("Tunnel.log", "not written by this run");
  Put("Wayline_old.log", "backup");
  EXPECT_EQ(manager_->ResetLogs(), kSOk);
  EXPECT_TRUE(Exists("Tunnel.log"));

  Log(1);
  Log(21);
  EXPECT_EQ(manager_->ResetLogs(), kSOk);
  EXPECT_FALSE(Exists("Wayline.log"));
  EXPECT_FALSE(Exists("Lookout.log"));
  EXPECT_EQ(ReadLog("Tunnel.log"), "not written by this run");
  EXPECT_EQ(ReadLog("Wayline_old.log"), "backup");

  Log(1, L"after the reset");
  EXPECT_EQ(ReadLog("Wayline.log"), "\xEF\xBB\xBFWayline     +C 12/04 10:34:55.123            : after the reset\r\n");
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

TEST_F(LogRotationTest, FileHeldByAnotherProgramIsReportedUntilAReset) {
  std::wstring path = platform::JoinPath(GetDataFolder(), L"Wayline.log");
  test::TempFolder markers;
  auto ready = markers.Path() / "ready";
  auto release = markers.Path() / "release";
  // The platform tests' child command holds a file as another program would.
  auto child = test::StartChild({L"hold-file", path, ready.wstring(), release.wstring()});
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(test::WaitForPath(ready)) << "the child did not take the file";

  Log(1, L"first");
  Log(21, L"other file");
  Log(1, L"second");
  test::WriteFileBytes(release, {});
  EXPECT_EQ(child->Wait(), 0);
  EXPECT_EQ(CountOf(ReadLog("Lookout.log"), "other file"), 1u);

  std::string diagnostics = Diagnostics();
  EXPECT_EQ(CountOf(diagnostics, "Error: Open failed for file " + Utf8(path) +
                                     " - The given path is a directory, or the file is read-only.\r\n"),
            1u)
      << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, "Error: Write failed for file Wayline.log - -1 - Bad file number.\r\n"), 2u);

  EXPECT_EQ(manager_->ResetLogs(), kSOk);
  Log(1, L"third");
  EXPECT_EQ(ReadLog("Wayline.log"), "\xEF\xBB\xBFWayline     +C 12/04 10:34:55.123            : third\r\n");
}

// Checks that every log file in a data folder holds only whole lines: the
// service's lines of `texts`, diagnostic lines, the fallback file's markers
// and its plain lines of `texts`. A torn line, or one glued to it, matches
// none of them. Returns how many lines end with "after".
int ExpectOnlyWholeLines(const std::filesystem::path& folder, const std::string& texts) {
  const std::string stamp = R"(\d\d/\d\d \d\d:\d\d:\d\d\.\d{3})";
  const std::regex serviceLine("Wayline     \\+C " + stamp + " {12}: (" + texts + ")");
  const std::regex fallbackLine("|(Begin|End) Log - scribe_tests_service(\\.exe)?|" + texts + "|\\[[^\\]]*\\] " +
                                stamp + " [0-9a-f]{5,}-[0-9a-f]{5,}: (Error|Debug|Info): [^\r\n]*");
  int after = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".log") continue;
    std::string text = test::ReadFileText(entry.path());
    bool service = entry.path().filename() == "Wayline.log";
    EXPECT_TRUE(text.starts_with("\xEF\xBB\xBF") && text.ends_with("\r\n")) << entry.path();
    for (std::size_t at = 3; at < text.size();) {
      std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      EXPECT_TRUE(std::regex_match(line, service ? serviceLine : fallbackLine)) << entry.path() << ": " << line;
      if (line.ends_with("after")) ++after;
      at = end + 2;
    }
  }
  return after;
}

TEST_F(LogRotationTest, AWriteThatFailsPartWayLeavesOnlyWholeLines) {
  // Long lines stop after 100 bytes with a full disk, in the service's file
  // and in the fallback file; short ones (the reports among them) go in.
  std::wstring longText(5000, L'L');
  {
    test::ScopedFileFaults faults([](platform::FileOperation operation, std::size_t size) {
      bool fails = operation == platform::FileOperation::Write && size > 4000;
      return fails ? platform::FileFault{platform::kErrnoEnospc, 100} : platform::FileFault{};
    });
    Log(1, longText);
    FileLog(longText + L"\n");
    Diagnostics();
  }
  Log(1, L"after");
  FileLog(L"after\n");
  std::string diagnostics = Diagnostics();
  // The service's file and the fallback file each end with "after".
  EXPECT_EQ(ExpectOnlyWholeLines(DataFolder(), "after"), 2);
  EXPECT_EQ(CountOf(diagnostics, "Error: Write failed for file Wayline.log - "), 1u) << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, " - No space left on device.\r\n"), 1u) << diagnostics;
}

}  // namespace
}  // namespace wl
