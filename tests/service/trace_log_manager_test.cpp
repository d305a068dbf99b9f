#include "service/trace_log_manager.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "logclient/diagnostic.h"
#include "platform/testing/file_faults.h"
#include "service/status_file.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

class TraceLogManagerTest : public test::ServiceFixture {
 protected:
  std::unique_ptr<TraceLogManager> Start() {
    auto manager = std::make_unique<TraceLogManager>();
    EXPECT_EQ(manager->FinalConstruct(), kSOk);
    return manager;
  }

  // The lines of a log file without its byte-order mark.
  std::vector<std::string> Lines(std::string_view fileName) {
    std::string text = ReadLog(fileName);
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  }

  static constexpr std::string_view kStamp = "12/04 10:34:55.123            : ";
};

TEST_F(TraceLogManagerTest, EachFileReceivesItsSourcesUnderTheirNamesAndLevelCodes) {
  auto manager = Start();
  EXPECT_EQ(manager->SetLogLevel(6), kSOk);
  for (SourceNumber source = 0; source < kSourceCount; ++source) {
    EXPECT_EQ(manager->QueueMessage(source, source % kLevelCount, Format(L"S{}", source)), kSOk);
  }
  manager->WaitUntilWritten();
  manager->FinalRelease();

  // Each line as the file holds it, "|" standing for the service's stamp.
  const std::map<std::string, std::vector<std::string>> expected{
      {"Wayline.log",
       {"** Global **+N |S0", "Wayline     +C |S1", "Gantry      +E |S2", "Lift        +N |S7", "Patchwork   +E |S9",
        "Tracer      +C |S29", "Warrant     +I |S32", "Wayline     +C |S36"}},
      {"WaylineSvc.log",
       {"Metronome   +W |S3", "Refresher   +I |S4", "Harbor      +D |S5", "Tailor      +2 |S6", "Patchwork   +C |S8",
        "Rampart     +W |S17", "Sieve       +I |S18", "Bridge      +N |S35"}},
      {"Tunnel.log",
       {"Tunnel      +N |S14", "Seal        +2 |S20", "Keyring     +D |S26", "Cipher      +E |S30",
        "DevCtl      +D |S33", "Compass     +2 |S34"}},
      {"Lookout.log", {"Lookout     +N |S21"}},
      {"Watcher.log", {"Watcher     +I |S11"}},
      {"SetterCfg.log",
       {"Setter      +W |S10", "Glance      +D |S12", "Dial        +2 |S13", "Ledger      +D |S19",
        "Airwave     +W |S31"}},
      {"Sentry.log", {"Hoist       +C |S15", "Hoist Host  +E |S16"}},
      {"Keeper.log", {"Steward     +C |S22"}},
      {"Parcel.log", {"Parcel      +E |S23"}},
      {"Mover.log", {"Mover       +W |S24"}},
      {"EnvoyMsg.log", {"Envoy       +I |S25"}},
      {"AirPass.log", {"AirPass     +2 |S27"}},
      {"Tally.log", {"Tally       +N |S28"}},
  };
  std::set<std::string> logFiles;
  for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && !name.starts_with("scribe_test")) logFiles.insert(name);
  }
  std::set<std::string> expectedFiles;
  for (const auto& [file, lines] : expected) expectedFiles.insert(file);
  // tslfw.log and Digest.log get no line and are never created.
  EXPECT_EQ(logFiles, expectedFiles);
  for (const auto& [file, lines] : expected) {
    std::string text = "\xEF\xBB\xBF";
    for (std::string line : lines) text += line.replace(line.find('|'), 1, kStamp) + "\r\n";
    EXPECT_EQ(ReadLog(file), text) << file;
  }
}

TEST_F(TraceLogManagerTest, LinesReachTheDiskByteForByte) {
  auto manager = Start();
  EXPECT_EQ(manager->QueueMessage(21, 3, L"Link down"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 4, L"12/04 10:34:55.123 01a2c-01f40: Started"), kSOk);
  EXPECT_EQ(manager->QueueMessage(0, 0, L"two\nlines\r"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 2, std::wstring(L"nul") + L'\0' + L" \u00e9\u20ac\U0001F600"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 4, L""), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();

  EXPECT_EQ(ReadLog("Lookout.log"), "\xEF\xBB\xBFLookout     +W " + std::string(kStamp) + "Link down\r\n");
  EXPECT_EQ(ReadLog("Wayline.log"),
            "\xEF\xBB\xBF"
            "Wayline     +I 12/04 10:34:55.123 01a2c-01f40: Started\r\n"
            "** Global **+N " +
                std::string(kStamp) +
                "two\r\nlines\r\r\n"
                "Wayline     +E " +
                std::string(kStamp) + std::string("nul\0 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\r\n", 16) +
                "Wayline     +I " + std::string(kStamp) + "\r\n");
}

TEST_F(TraceLogManagerTest, LinesOfAnyLengthAfterABurstArriveWhole) {
  auto manager = Start();
  // A burst from several threads leaves the queue with recycled blocks.
  std::vector<std::thread> producers;
  producers.reserve(4);

  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&manager] {
      for (int i = 0; i < 5000; ++i)
        (void)manager->QueueMessage(22, 1, L"burst line of some sixty characters, to fill blocks");
    });
  }
  for (auto& producer : producers) producer.join();
  manager->WaitUntilWritten();

  // Finished lines of 64 KiB - 1, 64 KiB, 64 KiB + 1 and 1 MiB bytes: name
  // column, level, stamp and CR LF take 49 of them.
  std::string expected = "\xEF\xBB\xBF";
  std::string head = "Lookout     +C " + std::string(kStamp);
  int seed = 0;
  for (std::size_t size : {std::size_t{65535}, std::size_t{65536}, std::size_t{65537}, std::size_t{1} << 20}) {
    std::wstring text;
    for (std::size_t i = 0; i + head.size() + 2 < size; ++i)
      text.push_back(static_cast<wchar_t>(L'!' + (i + seed) % 90));
    ++seed;
    EXPECT_EQ(manager->QueueMessage(21, 1, L"short"), kSOk);
    EXPECT_EQ(manager->QueueMessage(21, 1, text), kSOk);
    expected += head + "short\r\n" + head + Utf8(text) + "\r\n";
    ASSERT_EQ(head.size() + text.size() + 2, size);
  }
  manager->WaitUntilWritten();
  manager->FinalRelease();
  std::string written = ReadLog("Lookout.log");
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
}

// The same lines, all taken by the writer in one batch, with BatchedWrites
// off and on: the same bytes in every file, with fewer writes.
TEST_F(TraceLogManagerTest, BatchedWritesLeaveTheSameBytes) {
  const std::vector<std::pair<SourceNumber, std::wstring>> table{
      {1, L"plain"},
      {21, L"two\nlines\r"},
      {1, L"outside the BMP \U0001F600, \u00e9\u20ac"},
      {14, std::wstring(70000, L'L')},
      {1, std::wstring(L"nul") + L'\0' + L"x"},
      {21, L"\n"},
      {36, L"source 36 \U00010348"},
      {14, L"after the long one"},
      {1, L"12/04 10:34:55.123 01a2c-01f40: client stamped\n"},
  };
  std::map<std::string, std::string> files[2];
  std::size_t writes[2] = {0, 0};
  for (int batched = 0; batched < 2; ++batched) {
    ASSERT_EQ(SetProductDword(L"BatchedWrites", batched), 0u);
    // A file continued in UTF-16LE takes the converting road either way.
    test::WriteFileBytes(LogPath("Lookout"), {0xFF, 0xFE, 'a', 0, '\r', 0, '\n', 0});
    {
      test::ScopedFileFaults count([&writes, batched](platform::FileOperation operation, std::size_t) {
        if (operation == platform::FileOperation::Write) ++writes[batched];
        return platform::FileFault{};
      });
      auto manager = std::make_unique<TraceLogManager>();
      for (int copy = 0; copy < 3; ++copy) {
        for (const auto& [source, text] : table) ASSERT_EQ(manager->QueueMessage(source, 1, text), kSOk);
      }
      ASSERT_EQ(manager->FinalConstruct(), kSOk);
      manager->WaitUntilWritten();
      manager->FinalRelease();
    }
    for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
      std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name.starts_with("scribe_test")) continue;
      files[batched][name] = ReadLog(name);
      std::filesystem::remove(entry.path());
    }
  }
  EXPECT_EQ(files[0].size(), 3u);
  EXPECT_TRUE(files[0] == files[1]);
  // One write per line; batched, two each for Wayline.log and Tunnel.log
  // (the first line alone, since the size check follows a file's first
  // write) and one per line for the UTF-16LE file (the Windows runtime has
  // no vectored write: one per line there too).
  EXPECT_EQ(writes[0], 27u);
  EXPECT_EQ(writes[1], test::OnWindows() ? 27u : 10u);
}

// With the writer held in a write, callers fill the queue to its limit and
// then have their lines dropped and counted, never waiting; once the writer
// has written what was waiting, each file that lost lines gets one line
// with its count, and the status file the total. Nothing accepted is lost.
TEST_F(TraceLogManagerTest, PastTheQueueLimitLinesAreDroppedAndCountedAndNoCallerWaits) {
  ASSERT_EQ(SetProductDword(L"MaxQueueBytes", 1), 0u);
  auto gate = std::make_unique<test::WriterGate>();
  auto manager = Start();
  ASSERT_EQ(manager->QueueLimitBytes(), kMinQueueLimitBytes);
  auto status = [] { return test::ReadFileText(std::filesystem::path(StatusFilePath(L"queue.status"))); };
  EXPECT_TRUE(status().starts_with("limit=65536\ndropped=0\npid=")) << status();
  // The writer takes the first line and stays in its write.
  ASSERT_EQ(manager->QueueMessage(1, 1, L"first"), kSOk);
  ASSERT_TRUE(gate->WaitUntilEntered());
  // About three times the limit, alternating between Wayline.log and
  // Lookout.log, from another thread, so that a caller made to wait shows
  // as a thread that does not finish (not as a hung test).
  const std::wstring text(1000, L'q');
  constexpr int kLines = 200;
  std::atomic<int> returned{0};
  std::thread producer([&] {
    for (int i = 0; i < kLines; ++i) {
      EXPECT_EQ(manager->QueueMessage(i % 2 == 0 ? 1 : 21, 1, Format(L"{:03} {}", i, text)), kSOk);
      ++returned;
    }
  });
  test::WaitUntil([&] { return returned == kLines; });
  int returnedWhileHeld = returned;
  bool writerHeld = gate->Holding();
  gate->Release();
  producer.join();
  ASSERT_EQ(returnedWhileHeld, kLines) << "calls returned while the writer was held";
  EXPECT_TRUE(writerHeld);

  // What fits beside the first line is accepted; every later line dropped.
  const std::size_t lineBytes = LineQueue::EntryBytes(15 + kStamp.size() + 4 + 1000 + 2);
  const std::size_t firstBytes = LineQueue::EntryBytes(15 + kStamp.size() + 5 + 2);
  const int accepted = static_cast<int>((kMinQueueLimitBytes - firstBytes) / lineBytes);
  EXPECT_EQ(manager->DroppedLines(), static_cast<std::uint64_t>(kLines - accepted));
  EXPECT_LE(manager->PeakQueuedBytes(), manager->QueueLimitBytes());
  manager->WaitUntilWritten();
  EXPECT_EQ(manager->QueueMessage(21, 1, L"after"), kSOk);
  // A line alone larger than the limit goes in once nothing waits.
  manager->WaitUntilWritten();
  EXPECT_EQ(manager->QueueMessage(21, 1, std::wstring(100000, L'w')), kSOk);
  manager->WaitUntilWritten();
  EXPECT_EQ(manager->DroppedLines(), static_cast<std::uint64_t>(kLines - accepted));
  manager->FinalRelease();

  auto expect = [&](std::string_view file, SourceNumber source, int parity, std::vector<std::string> tail) {
    std::vector<std::string> lines;
    if (source == 1) lines.push_back("Wayline     +C " + std::string(kStamp) + "first");
    std::string name = source == 1 ? "Wayline     +C " : "Lookout     +C ";
    int dropped = 0;
    for (int i = parity; i < kLines; i += 2) {
      if (i < accepted) lines.push_back(name + std::string(kStamp) + Format("{:03} ", i) + std::string(1000, 'q'));
      if (i >= accepted) ++dropped;
    }
    lines.push_back("** Global **+E " + std::string(kStamp) +
                    Format("TraceLogManager::QueueMessage() - Lines for this file dropped: {} (the lines waiting for "
                           "the disk had reached MaxQueueBytes, 65536 bytes)",
                           dropped));
    lines.insert(lines.end(), tail.begin(), tail.end());
    EXPECT_EQ(Lines(file), lines) << file;
    return dropped;
  };
  int dropped = expect("Wayline.log", 1, 0, {});
  dropped += expect("Lookout.log", 21, 1,
                    {"Lookout     +C " + std::string(kStamp) + "after",
                     "Lookout     +C " + std::string(kStamp) + std::string(100000, 'w')});
  EXPECT_EQ(dropped, kLines - accepted);
  EXPECT_TRUE(status().starts_with(Format("limit=65536\ndropped={}\npid=", dropped))) << status();
}

// Lines queued before the writer starts fill the queue and the rest are
// dropped; the writer takes all of them in one batch, and the report follows
// that batch at once, though no other line comes after it.
TEST_F(TraceLogManagerTest, DropsAreReportedAsSoonAsTheWriterHasCaughtUp) {
  ASSERT_EQ(SetProductDword(L"MaxQueueBytes", 1), 0u);
  auto manager = std::make_unique<TraceLogManager>();
  const std::wstring text(1000, L'q');
  for (int i = 0; i < 100; ++i) EXPECT_EQ(manager->QueueMessage(21, 1, text), kSOk);
  const auto accepted = kMinQueueLimitBytes / LineQueue::EntryBytes(15 + kStamp.size() + 1000 + 2);
  EXPECT_EQ(manager->DroppedLines(), 100 - accepted);
  ASSERT_EQ(manager->FinalConstruct(), kSOk);
  manager->WaitUntilWritten();
  std::vector<std::string> lines = Lines("Lookout.log");
  EXPECT_EQ(lines.size(), accepted + 1);
  EXPECT_EQ(lines.back(), "** Global **+E " + std::string(kStamp) +
                              Format("TraceLogManager::QueueMessage() - Lines for this file dropped: {} (the lines "
                                     "waiting for the disk had reached MaxQueueBytes, 65536 bytes)",
                                     100 - accepted));
  manager->FinalRelease();
}

TEST_F(TraceLogManagerTest, OnlyATextWithAClientStampKeepsItsOwn) {
  // The service's stamp is the diagnostic library's timestamp prefix.
  EXPECT_EQ(Utf8(FormatTimestampPrefix(kLocalTime)), kStamp);
  clock_.SetLocalTime(LocalTime{2027, 1, 2, 5, 3, 4, 5, 6});
  auto manager = Start();
  const std::wstring stamped = L"11/30 23:59:59.999 0";  // exactly 20 characters
  EXPECT_EQ(manager->QueueMessage(1, 1, stamped), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, stamped.substr(0, 19)), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, L"ab/cd ef:gh:ij.klmnop letters"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, L"11/30 23:59:59,999 comma"), kSOk);
  // Lengths and places count UTF-16 units: a character outside the BMP
  // takes two.
  EXPECT_EQ(manager->QueueMessage(1, 1, L"11/30 23:59:59.999\U0001F600"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, L"\U0001F600/30 23:59:59.999 0"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, L"1\U0001F600/30 23:59:59.999 0"), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();
  std::string serviceStamp = "01/05 03:04:05.006            : ";
  EXPECT_EQ(
      Lines("Wayline.log"),
      (std::vector<std::string>{
          "Wayline     +C 11/30 23:59:59.999 0", "Wayline     +C " + serviceStamp + "11/30 23:59:59.999 ",
          "Wayline     +C ab/cd ef:gh:ij.klmnop letters", "Wayline     +C " + serviceStamp + "11/30 23:59:59,999 comma",
          "Wayline     +C 11/30 23:59:59.999\xF0\x9F\x98\x80", "Wayline     +C \xF0\x9F\x98\x80/30 23:59:59.999 0",
          "Wayline     +C " + serviceStamp + "1\xF0\x9F\x98\x80/30 23:59:59.999 0"}));
}

TEST_F(TraceLogManagerTest, LevelsDecideWhatIsKept) {
  auto manager = Start();
  std::uint32_t level = 99;
  EXPECT_EQ(manager->GetLogLevel(&level), kSOk);
  EXPECT_EQ(level, 4u);  // no TraceLevel in the registry

  EXPECT_EQ(manager->QueueMessage(37, 1, L"x"), kEInvalidArg);
  EXPECT_EQ(manager->QueueMessage(1, 7, L"x"), kEInvalidArg);
  EXPECT_EQ(manager->SetLogLevel(7), kEInvalidArg);
  EXPECT_EQ(manager->SetComponentLogLevel(0, 7), kEInvalidArg);
  EXPECT_EQ(manager->SetComponentLogLevel(37, 1), kEInvalidArg);
  EXPECT_EQ(manager->GetLogLevel(nullptr), kEInvalidArg);
  EXPECT_EQ(manager->GetComponentLogLevel(1, nullptr), kEInvalidArg);
  EXPECT_EQ(manager->GetComponentLogLevel(37, &level), kEInvalidArg);

  // Only the low 16 bits count.
  EXPECT_EQ(manager->SetLogLevel(0x10003), kSOk);
  EXPECT_EQ(manager->GetLogLevel(&level), kSOk);
  EXPECT_EQ(level, 3u);
  EXPECT_EQ(manager->SetComponentLogLevel(0x10015, 0x10005), kSOk);
  EXPECT_EQ(manager->GetComponentLogLevel(21, &level), kSOk);
  EXPECT_EQ(level, 5u);

  EXPECT_EQ(manager->QueueMessage(21, 5, L"kept: source 21 has its own level 5"), kSOk);
  EXPECT_EQ(manager->QueueMessage(3, 4, L"dropped: source 3 follows the global level 3"), kSOk);
  EXPECT_EQ(manager->QueueMessage(3, 3, L"kept: level 3 passes 3"), kSOk);
  EXPECT_EQ(manager->QueueMessage(21, 6, L"dropped: 6 is above 5"), kSOk);
  EXPECT_EQ(manager->SetComponentLogLevel(21, 0), kSOk);
  EXPECT_EQ(manager->GetComponentLogLevel(21, &level), kSOk);
  EXPECT_EQ(level, 0u);
  EXPECT_EQ(manager->QueueMessage(21, 5, L"dropped: source 21 follows the global level again"), kSOk);
  EXPECT_EQ(manager->SetLogLevel(0), kSOk);
  EXPECT_EQ(manager->QueueMessage(0, 1, L"dropped: the global level 0 lets only level 0 through"), kSOk);
  EXPECT_EQ(manager->QueueMessage(0, 0, L"kept: level 0 always passes"), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();

  std::string all = ReadLog("Lookout.log") + ReadLog("WaylineSvc.log") + ReadLog("Wayline.log");
  EXPECT_EQ(CountOf(all, "kept:"), 3u) << all;
  EXPECT_EQ(CountOf(all, "dropped:"), 0u) << all;
}

TEST_F(TraceLogManagerTest, RegistryLevelReplacesACallersLevelAfterSixtySeconds) {
  ASSERT_EQ(SetProductDword(L"TraceLevel", 2), 0u);
  auto manager = Start();
  EXPECT_EQ(manager->SetLogLevel(6), kSOk);
  clock_.AdvanceSeconds(60);
  EXPECT_EQ(manager->QueueMessage(1, 6, L"kept: 60 whole seconds are not yet more than 60"), kSOk);
  clock_.AdvanceMilliseconds(999);
  EXPECT_EQ(manager->QueueMessage(1, 6, L"kept: still 60 whole seconds"), kSOk);
  clock_.AdvanceMilliseconds(1);
  EXPECT_EQ(manager->QueueMessage(1, 6, L"dropped: tested against the registry's 2"), kSOk);
  std::uint32_t level = 0;
  EXPECT_EQ(manager->GetLogLevel(&level), kSOk);
  EXPECT_EQ(level, 2u);
  // The source levels survive a refresh.
  EXPECT_EQ(manager->SetComponentLogLevel(1, 6), kSOk);
  clock_.AdvanceSeconds(61);
  EXPECT_EQ(manager->QueueMessage(1, 6, L"kept: source 1 has its own level"), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();
  std::string text = ReadLog("Wayline.log");
  EXPECT_EQ(CountOf(text, "kept:"), 3u) << text;
  EXPECT_EQ(CountOf(text, "dropped:"), 0u) << text;
}

TEST_F(TraceLogManagerTest, LevelOutsideTheTableLetsEverythingThroughAndRendersEmpty) {
  ASSERT_EQ(SetProductDword(L"TraceLevel", 9), 0u);
  ASSERT_EQ(SetFlags(0x10000), 0u);
  auto manager = Start();
  std::uint32_t level = 0;
  EXPECT_EQ(manager->GetLogLevel(&level), kSOk);
  EXPECT_EQ(level, 9u);
  EXPECT_EQ(manager->QueueMessage(5, 6, L"debug2 passes"), kSOk);
  EXPECT_EQ(manager->SetComponentLogLevel(21, 3), kSOk);
  EXPECT_EQ(manager->SetLogLevel(5), kSOk);
  clock_.AdvanceSeconds(61);
  EXPECT_EQ(manager->QueueMessage(5, 6, L"refresh"), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();
  EXPECT_EQ(CountOf(ReadLog("WaylineSvc.log"), "passes"), 1u);
  std::string diagnostics = Diagnostics();
  EXPECT_EQ(CountOf(diagnostics, ": Debug: Read the global level from the registry  at startup\r\n"), 1u)
      << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, ": Debug: Updating the source Lookout level to W\r\n"), 1u);
  EXPECT_EQ(CountOf(diagnostics, ": Debug: Updating the global level to D\r\n"), 1u);
  EXPECT_EQ(CountOf(diagnostics, ": Debug: Read the global level from the registry \r\n"), 1u);
}

TEST_F(TraceLogManagerTest, Source36GoesToTheDigestWhileFlag31IsSet) {
  auto manager = Start();
  EXPECT_EQ(manager->QueueMessage(36, 1, L"flag clear"), kSOk);
  manager->WaitUntilWritten();
  ASSERT_EQ(SetFlags(0x80000000u), 0u);
  EXPECT_EQ(manager->QueueMessage(36, 1, L"flag set"), kSOk);
  EXPECT_EQ(manager->QueueMessage(1, 1, L"source 1 with the flag set"), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();
  std::string wayline = ReadLog("Wayline.log");
  EXPECT_EQ(CountOf(wayline, "flag clear"), 1u);
  EXPECT_EQ(CountOf(wayline, "flag set"), 2u);
  EXPECT_EQ(ReadLog("Digest.log"), "\xEF\xBB\xBFWayline     +C " + std::string(kStamp) + "flag set\r\n");
}

TEST_F(TraceLogManagerTest, ShutdownWhileLinesArriveKeepsWholeLinesInOrder) {
  auto manager = Start();
  constexpr int kThreads = 2;
  // Few enough to stay below the smallest size limit: no rotation.
  constexpr int kLines = 800;
  std::atomic<int> started{0};
  std::vector<std::thread> producers;
  producers.reserve(kThreads);

  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&manager, &started, t] {
      ++started;
      for (int i = 0; i < kLines; ++i) (void)manager->QueueMessage(1, 1, Format(L"t{} n{}", t, i));
    });
  }
  while (started < kThreads) std::this_thread::yield();
  // Stops while the producers are still queueing: what was written is, for
  // each thread, its first lines without a gap, each line whole.
  manager->FinalRelease();
  for (auto& producer : producers) producer.join();

  std::vector<int> next(kThreads, 0);
  for (const std::string& line : Lines("Wayline.log")) {
    if (line.empty()) continue;
    int t = 0, n = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + 15 + kStamp.size(), "t%d n%d", &t, &n), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(n, next[t]++) << line;
    EXPECT_EQ(line, "Wayline     +C " + std::string(kStamp) + "t" + std::to_string(t) + " n" + std::to_string(n));
  }
}

TEST_F(TraceLogManagerTest, EveryLineAcceptedBeforeTheStopIsWritten) {
  auto manager = Start();
  // Few enough to stay below the smallest size limit: no rotation.
  constexpr int kLines = 1500;
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(manager->QueueMessage(1, 1, Format(L"n{}", i)), kSOk);
  // No wait: the stop comes while the writer is still behind.
  manager->FinalRelease();
  std::vector<std::string> lines = Lines("Wayline.log");
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
  EXPECT_EQ(lines.back(), "Wayline     +C " + std::string(kStamp) + "n" + std::to_string(kLines - 1));
}

// Bytes the service did not write in this process are never cut: a file
// that ends in part of a line (a killed predecessor's torn line, another
// program's note) gets a line end before the next line, at the first open
// and at every open after that (here: after a reset).
TEST_F(TraceLogManagerTest, AnOpenLastLineIsEndedNotCut) {
  std::filesystem::create_directories(DataFolder());
  std::string torn =
      "\xEF\xBB\xBFWayline     +C " + std::string(kStamp) + "whole\r\nWayline     +C " + std::string(kStamp) + "to";
  const std::string note = "NOTE FROM ANOTHER PROGRAM (no line end)";
  test::WriteFileBytes(LogPath("Wayline"), std::vector<std::uint8_t>(torn.begin(), torn.end()));
  test::WriteFileBytes(LogPath("Lookout"), std::vector<std::uint8_t>(note.begin(), note.end()));
  auto manager = Start();
  ASSERT_EQ(manager->QueueMessage(1, 1, L"next"), kSOk);
  ASSERT_EQ(manager->QueueMessage(21, 1, L"next"), kSOk);
  manager->WaitUntilWritten();
  EXPECT_EQ(ReadLog("Wayline.log"), torn + "\r\nWayline     +C " + std::string(kStamp) + "next\r\n");
  EXPECT_EQ(ReadLog("Lookout.log"), note + "\r\nLookout     +C " + std::string(kStamp) + "next\r\n");

  // After a reset the file is created again, here by another program first.
  EXPECT_EQ(manager->ResetLogs(), kSOk);
  test::WriteFileBytes(LogPath("Lookout"), std::vector<std::uint8_t>(note.begin(), note.end()));
  ASSERT_EQ(manager->QueueMessage(21, 1, L"after the reset"), kSOk);
  manager->WaitUntilWritten();
  manager->FinalRelease();
  EXPECT_EQ(ReadLog("Lookout.log"), note + "\r\nLookout     +C " + std::string(kStamp) + "after the reset\r\n");
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

TEST_F(TraceLogManagerTest, ResetRacingTheWriterLosesNoLineBeingWritten) {
  auto manager = Start();
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::thread producer([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 3000; ++i)
      (void)manager->QueueMessage(static_cast<SourceNumber>(i % 2 == 0 ? 1 : 21), 1, L"racing");
    done = true;
  });
  go = true;
  do {
    EXPECT_EQ(manager->ResetLogs(), kSOk);
  } while (!done);
  producer.join();
  manager->WaitUntilWritten();
  manager->FinalRelease();
  // Whatever the last reset left: files that begin with the mark and hold
  // only whole lines, and no reported failure.
  for (std::string_view file : {"Wayline.log", "Lookout.log"}) {
    if (!Exists(file)) continue;
    EXPECT_TRUE(ReadLog(file).starts_with("\xEF\xBB\xBF")) << file;
    for (const std::string& line : Lines(file)) {
      EXPECT_TRUE(line.empty() || line.ends_with(std::string(kStamp) + "racing")) << line;
    }
  }
  EXPECT_EQ(CountOf(Diagnostics(), "Error: "), 0u);
}

}  // namespace
}  // namespace wl
