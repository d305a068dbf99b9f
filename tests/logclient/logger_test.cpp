// The client Logger and its link against the test server in another
// process: what arrives in the service's files, what the caller drops, the
// level refresh, failed calls, many client processes, and no service.
#include "logclient/logger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include "logclient/log_tables.h"
#include "tests/support/server_fixture.h"

namespace wl {
namespace {

using test::ComServerFile;

class LoggerTest : public test::ServerTest {
 protected:
  std::shared_ptr<Logger> Fresh() {
    LifetimeTracker::Instance().DestroyAll();
    SetFileOutput(true);
    return GetLogger();
  }
  // The diagnostic lines of this process (not those of the server).
  std::string OwnDiagnostics() {
    std::string own;
    std::string all = Diagnostics();
    for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
      if (all.compare(at, 14, "[scribe_tests]") == 0) own += all.substr(at, end + 1 - at);
    }
    return own;
  }
  // Stops the Logger: every record queued before has been handed over.
  void StopLogger() { LifetimeTracker::Instance().DestroyAll(); }

  std::string FileOf(std::uint16_t source) {
    return Utf8(std::wstring(LogFileBaseName(FileIndexForSource(source)))) + ".log";
  }
  // The client's prefix for a line of this thread, at the manual clock's time.
  static std::string Prefix() {
    return Format("12/04 10:34:55.123 {:05x}-{:05x}: ", platform::GetCurrentProcessId(),
                  platform::GetCurrentThreadId());
  }
  // Sets levels in the service: the global one and those of sources.
  void SetLevels(std::initializer_list<std::pair<ULONG, ULONG>> levels, ULONG global) {
    ITraceLogManager* manager = Connect();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->SetLogLevel(global), S_OK);
    for (auto [source, level] : levels) EXPECT_EQ(manager->SetComponentLogLevel(source, level), S_OK);
    manager->Release();
  }
};

TEST_F(LoggerTest, RecordsArriveUnchangedInTheirFileAndAllBeforeStop) {
  StartServer();
  auto logger = Fresh();
  ASSERT_NE(logger, nullptr);
  const std::wstring text = L"first {braces} stay \u00e9\u20ac\U0001F600";
  logger->Log(3, kLevelError, text);
  for (int i = 0; i < 3000; ++i) WriteLog(3, kLevelError, Format(L"queued before the stop {}", i));
  StopLogger();
  ASSERT_TRUE(WaitForLines(FileOf(3), "queued before the stop 2999\r\n", 1));
  std::string log = ReadLog(FileOf(3));
  std::string expected = Format("{:<12}+E ", Utf8(LookupSourceName(3))) + Prefix() + Utf8(text) + "\r\n";
  EXPECT_NE(log.find(expected), std::string::npos) << log.substr(0, 300);
  for (int i = 0; i < 3000; i += 7) EXPECT_EQ(CountOf(log, Format("stop {}\r\n", i)), 1u) << i;
  EXPECT_EQ(CountOf(log, "queued before the stop "), 3000u);
}

TEST_F(LoggerTest, TheCallerDropsByCachedLevelsUntilARefreshRaisesThem) {
  StartServer();
  SetLevels({{5, kLevelDebug}, {0, kLevelDebug2}}, kLevelError);
  auto logger = Fresh();
  logger->Log(1, kLevelInfo, L"");
  EXPECT_FALSE(logger->Initialized());
  // Before the first refresh: the registry's level (4 when missing).
  logger->Log(5, kLevelDebug, L"debug before the refresh");
  EXPECT_TRUE(logger->Initialized());
  logger->Log(5, kLevelGlobal, L"level 0 before the refresh");
  logger->WaitUntilSent();
  EXPECT_EQ(logger->GlobalLevel(), kLevelError);
  EXPECT_EQ(logger->SourceLevel(5), kLevelDebug);
  logger->Log(5, kLevelDebug, L"debug after the refresh");
  logger->Log(6, kLevelWarning, L"warning at global level 2");
  logger->Log(6, kLevelGlobal, L"level 0 at global level 2");
  StopLogger();
  ASSERT_EQ(FileOf(5), FileOf(6));
  ASSERT_TRUE(WaitForLines(FileOf(6), "level 0 at global level 2\r\n", 1));
  std::string log = ReadLog(FileOf(5));
  EXPECT_EQ(CountOf(log, "debug before"), 0u);
  EXPECT_EQ(CountOf(log, "level 0 before the refresh\r\n"), 1u);
  EXPECT_EQ(CountOf(log, "debug after the refresh\r\n"), 1u);
  EXPECT_EQ(CountOf(log, "warning at"), 0u);
}

TEST_F(LoggerTest, SourcesPastTheTableBecomeTwoDiagnosticLines) {
  StartServer();
  auto logger = Fresh();
  logger->Log(37, kLevelError, L"beyond {{the}} table");
  logger->Log(1, kLevelError, L"within the table");
  // Lines written while the Logger is destroyed find the FileLogger gone.
  logger->WaitUntilSent();
  StopLogger();
  ASSERT_TRUE(WaitForLines("Wayline.log", "within the table\r\n", 1));
  std::string diagnostics = OwnDiagnostics();
  EXPECT_EQ(CountOf(diagnostics, "Info:  "), 2u) << diagnostics;
  EXPECT_NE(diagnostics.find("Info:  ********** Logging source 37 out of range! **********\r\n"), std::string::npos)
      << diagnostics;
  EXPECT_NE(diagnostics.find("Info:  " + Prefix() + "beyond {the} table\r\n"), std::string::npos) << diagnostics;
  for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
    if (entry.path().extension() == ".log" && !entry.path().filename().string().starts_with("scribe_test")) {
      EXPECT_EQ(CountOf(test::ReadFileText(entry.path()), "beyond"), 0u) << entry.path();
    }
  }
}

// The faulty server fails GetLogLevel and notes the sources it is asked for.
TEST_F(LoggerTest, RefreshAsksSources1To36AndFallsBackToTheRegistry) {
  ASSERT_EQ(SetProductDword(L"TraceLevel", 7), 0u);
  StartServer({L"faulty"});
  SetLevels({{0, kLevelCritical}, {36, kLevelWarning}}, kLevelError);
  auto logger = Fresh();
  logger->Log(1, kLevelGlobal, L"takes the levels");
  logger->WaitUntilSent();
  EXPECT_EQ(logger->GlobalLevel(), 7u);
  EXPECT_EQ(logger->SourceLevel(0), 0u);
  EXPECT_EQ(logger->SourceLevel(36), kLevelWarning);
  // The server's own Logger may have asked too, in the same way.
  std::string asked;
  for (int source = 1; source <= 36; ++source) asked += std::to_string(source) + " ";
  std::string seen = test::ReadFileText(ComServerFile("asked"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen, asked + (seen.size() > asked.size() ? asked : ""));

  // Level 7 passes the cached threshold and fails in the service: only
  // that record is lost, the next goes through the same link.
  logger->Log(1, 7, L"refused by the service");
  logger->Log(1, kLevelError, L"after the refusal");
  logger->WaitUntilSent();
  StopLogger();
  ASSERT_TRUE(WaitForLines("Wayline.log", "after the refusal\r\n", 1));
  EXPECT_EQ(CountOf(ReadLog("Wayline.log"), "refused"), 0u);
  std::string diagnostics = OwnDiagnostics();
  EXPECT_EQ(CountOf(diagnostics,
                    "Error: Unable to get current log level from TraceLogManager! Error -2147467259 (0x80004005)"),
            1u)
      << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, "Error: Unable to send log message! Error -2147024809 (0x80070057)"), 1u)
      << diagnostics;
  EXPECT_EQ(CountOf(test::ReadFileText(ComServerFile("starts")), "\n"), 1u);
}

TEST_F(LoggerTest, ManyClientProcessesKeepEveryMessageOnceInOrder) {
  constexpr int kClients = 8;
  // On Windows each record is one synchronous call through the COM
  // runtime, about a millisecond under Wine: fewer messages there.
  const int messages = test::OnWindows() ? 2000 : 20000;
  ASSERT_EQ(SetProductDword(L"MaxLogFileSize", 1 << 20), 0u);
  StartServer();
  std::vector<std::unique_ptr<platform::ChildProcess>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(test::StartChild({L"log-client", std::to_wstring(c), std::to_wstring(messages)}));
    ASSERT_TRUE(clients.back() != nullptr);
  }
  for (auto& client : clients) EXPECT_EQ(client->Wait(), 0);
  // A stopping server drops what its writer has not taken.
  EXPECT_TRUE(WaitForLines(FileOf(3), ": client ", kClients * messages));
  StopServer();
  std::ifstream in(LogPath(Utf8(LogFileBaseName(FileIndexForSource(3)))));
  std::map<int, int> next;
  std::size_t lines = 0;
  const std::regex pattern(R"(: client (\d+) message (\d+)\r?$)");
  for (std::string line; std::getline(in, line);) {
    std::smatch parts;
    if (!std::regex_search(line, parts, pattern)) continue;
    ++lines;
    int client = std::stoi(parts[1]);
    ASSERT_EQ(std::stoi(parts[2]), next[client]++) << "client " << client;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kClients * messages));
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(next[c], messages) << c;
}

TEST_F(LoggerTest, WithoutAServiceRecordsAreBoundedThenHandedOverOnceItRuns) {
  test::UnregisterTestServer();
  ASSERT_EQ(test::SetDebugOutput(1), 0u);
  PassRefreshInterval();
  auto logger = Fresh();
  logger->Log(1, kLevelError, L"unlinked 0");
  logger->WaitUntilSent();
  for (int i = 1; i < 30000; ++i) logger->Log(1, kLevelError, Format(L"unlinked {}", i));
  logger->WaitUntilSent();
  bool reported = false;
  for (const auto& text : recorder_.Debug()) {
    reported |=
        text.starts_with(L"TESSEL: Unable to Create Instance of TraceLogManager! Error -2147221164 (0x80040154)");
  }
  EXPECT_TRUE(reported);

  // A million more while there is no link: the process keeps at most a
  // bounded number (each of these would take about 1 KB kept).
  auto residentKb = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return 0L;
  };
  if (!test::OnWindows()) {
    long before = residentKb();
    const std::wstring filler(240, L'x');
    for (int i = 0; i < 1'000'000; ++i) logger->Log(2, kLevelError, filler);
    logger->WaitUntilSent();
    EXPECT_LT(residentKb() - before, 500'000L);
  }

  // The service comes; after the retry interval the next record links again.
  ASSERT_EQ(test::RegisterTestServer(), S_OK);
  StartServer();
  clock_.AdvanceSeconds(Logger::kRelinkSeconds);
  logger->Log(1, kLevelError, L"after the link is back");
  logger->WaitUntilSent();
  StopLogger();
  ASSERT_TRUE(WaitForLines("Wayline.log", "after the link is back\r\n", 1));
  std::string log = ReadLog("Wayline.log");
  EXPECT_EQ(CountOf(log, ": unlinked "), Logger::kMaxHeldRecords);
  EXPECT_EQ(CountOf(log, ": unlinked 0\r\n"), 1u);
  EXPECT_EQ(CountOf(log, Format(": unlinked {}\r\n", Logger::kMaxHeldRecords - 1)), 1u);
  EXPECT_LT(log.find(": unlinked 9999\r\n"), log.find("after the link is back"));
  std::size_t dropped = 30000 - Logger::kMaxHeldRecords + (test::OnWindows() ? 0 : 1'000'000);
  std::string diagnostics = OwnDiagnostics();
  EXPECT_EQ(CountOf(diagnostics, "Error: Logger: the log service is unreachable"), 1u) << diagnostics;
  EXPECT_EQ(CountOf(diagnostics, "dropped while the log service was unreachable"), 1u);
  EXPECT_EQ(CountOf(diagnostics, Format("Error: Logger: {} log messages dropped", dropped)), 1u) << diagnostics;
}

// A flood that the link cannot keep up with fills the Logger's queue: what
// does not fit is dropped and counted, one diagnostic line per period.
TEST_F(LoggerTest, AFullQueueDropsWithACountReportedOncePerPeriod) {
  StartServer();
  LifetimeTracker::Instance().DestroyAll();
  SetFileOutput(true);
  // Room for about four records.
  auto logger = std::make_shared<Logger>(4096);
  const std::wstring filler(200, L'f');
  constexpr int kBurst = 20000;
  int next = 0;
  auto burst = [&] {
    for (int i = 0; i < kBurst; ++i) logger->Log(1, kLevelError, Format(L"flood {} ", next++) + filler);
    logger->WaitUntilSent();
  };
  const std::string report = " log messages dropped in the last 10 s";
  burst();
  EXPECT_EQ(CountOf(OwnDiagnostics(), report), 1u);
  // Within the period the count grows; the line waits for its end.
  burst();
  EXPECT_EQ(CountOf(OwnDiagnostics(), report), 1u);
  clock_.AdvanceSeconds(Logger::kFloodReportSeconds);
  logger->Log(1, kLevelError, L"after the flood");
  logger->WaitUntilSent();
  logger->Stop();
  logger.reset();
  ASSERT_TRUE(WaitForLines("Wayline.log", "after the flood\r\n", 1));

  std::string diagnostics = OwnDiagnostics();
  EXPECT_EQ(CountOf(diagnostics, report), 2u) << diagnostics;
  std::uint64_t dropped = 0;
  const std::regex count("Logger: (\\d+) log messages dropped in the last 10 s");
  for (std::sregex_iterator it(diagnostics.begin(), diagnostics.end(), count), end; it != end; ++it) {
    dropped += std::stoull((*it)[1]);
  }
  // Every message is either in the file or counted.
  EXPECT_EQ(CountOf(ReadLog("Wayline.log"), ": flood ") + dropped, std::uint64_t{2 * kBurst});
  EXPECT_GT(dropped, 0u);
}

// The server reaches its own object (no second server starts) from its
// Logger's thread; those references are not a client's, so they take no
// module lock.
TEST_F(LoggerTest, TheServiceLogsThroughItsOwnLogger) {
  StartServer({L"report-self"});
  std::string own = Format(" {:05x}-", server_->Id());
  ASSERT_TRUE(WaitForLines("Wayline.log", ": the server's own report\r\n", 1));
  EXPECT_EQ(test::ReadFileText(ComServerFile("locks")), "1");
  StopServer();
  std::string log = ReadLog("Wayline.log");
  std::size_t line = log.find(": the server's own report\r\n");
  ASSERT_NE(line, std::string::npos) << log;
  std::size_t begin = log.rfind("Wayline     ", line);
  EXPECT_EQ(log.substr(begin, 15), "Wayline     +E ");
  EXPECT_NE(log.substr(begin, line - begin).find(own), std::string::npos) << log;
  EXPECT_EQ(CountOf(test::ReadFileText(ComServerFile("starts")), "\n"), 1u);
}

// Once its class is revoked, a server's own report goes to its daily file:
// its Logger never activates the class, which would start a second server.
TEST_F(LoggerTest, AServerThatNoLongerServesReportsToItsDailyFile) {
  StartServer({L"report-late"});
  std::string own = Format(" {:05x}-", server_->Id());
  StopServer();
  EXPECT_EQ(CountOf(test::ReadFileText(ComServerFile("starts")), "\n"), 1u);
  // A line of the daily file, with the stamp the record was logged with.
  std::string daily = Diagnostics();
  std::size_t report = daily.find(": the server's report after it served\r\n");
  ASSERT_NE(report, std::string::npos) << daily;
  std::size_t line = daily.rfind('\n', report) + 1;
  EXPECT_EQ(daily.substr(line, 15), "[scribe_test_] ");
  EXPECT_NE(daily.substr(line, report - line).find(own), std::string::npos) << daily.substr(line, report - line);
  EXPECT_EQ(ReadLog("Wayline.log").find("the server's report after it served"), std::string::npos);
}

}  // namespace
}  // namespace wl
