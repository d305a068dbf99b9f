#include "logclient/file_logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "diagnostics/path_data.h"
#include "tests/support/library_test_support.h"

namespace wl {
namespace {

namespace fs = std::filesystem;

const std::string kBom = "\xEF\xBB\xBF";

class FileLoggerTest : public test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    folder_ = fs::path(GetDataFolder());
    // Under Wine the data folder is the prefix's own and outlives the root.
    for (const auto& file : Files("scribe_test")) fs::remove(file);
  }

  // The day files of the data folder whose names start with prefix.
  std::vector<fs::path> Files(const std::string& prefix) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      if (entry.path().filename().string().starts_with(prefix)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  std::string Read(const char* date) {
    return test::ReadFileText(folder_ / ("scribe_tests_logclient_" + std::string(date) + ".log"));
  }

  static std::string Marker(const char* word, const wchar_t* program = L"scribe_tests_logclient") {
    return Format("{} Log - {}{}\r\n", word, platform::Utf8FromWide(program),
                  platform::Utf8FromWide(platform::kExecutableSuffix));
  }

  fs::path folder_;
};

TEST_F(FileLoggerTest, FirstLineOfTheDayCreatesTheFileWithBomAndMarkers) {
  clock_.SetLocalTime({2027, 1, 2, 5, 8, 9, 10, 11});
  SetFileOutput(true);
  FileLog(L"first \u00e9\u20ac\n");
  FileLog(L"no line end");
  FileLog(L" continues\n");
  LifetimeTracker::Instance().DestroyAll();
  EXPECT_EQ(Read("2027-01-05"),
            kBom + Marker("Begin") + "first \xC3\xA9\xE2\x82\xAC\r\nno line end continues\r\n" + Marker("End"));
}

TEST_F(FileLoggerTest, SwitchedOffItCreatesAndShowsNothing) {
  ASSERT_EQ(test::SetDebugOutput(1), 0u);
  FileLog(L"dropped\n");
  LifetimeTracker::Instance().DestroyAll();
  EXPECT_TRUE(Files("scribe_tests").empty());
  EXPECT_TRUE(recorder_.Debug().empty());
}

TEST_F(FileLoggerTest, DayChangeWhileRunningEndsOneFileAndBeginsTheNext) {
  clock_.SetLocalTime({2026, 12, 5, 4, 23, 59, 59, 900});
  SetFileOutput(true);
  FileLog(L"late\n");
  // The writer must have taken the first line before the day changes.
  ASSERT_TRUE(test::WaitUntil([&] { return Read("2026-12-04").ends_with("late\r\n"); }));
  clock_.SetLocalTime({2026, 12, 6, 5, 0, 0, 0, 100});
  FileLog(L"early\n");
  LifetimeTracker::Instance().DestroyAll();
  EXPECT_EQ(Read("2026-12-04"), kBom + Marker("Begin") + "late\r\n" + Marker("End"));
  EXPECT_EQ(Read("2026-12-05"), kBom + Marker("Begin") + "early\r\n" + Marker("End"));
}

TEST_F(FileLoggerTest, UncreatableDataFolderLosesLinesAndSaysSoOnTheDebugOutput) {
  if (test::OnWindows()) GTEST_SKIP() << "under Wine the data folder is the prefix's, used by other suites meanwhile";
  fs::path vendor = folder_.parent_path();
  fs::remove_all(vendor);
  std::ofstream(vendor) << "a file where the vendor folder belongs";
  LifetimeTracker::Instance().DestroyAll();
  ASSERT_EQ(test::SetDebugOutput(1), 0u);
  SetFileOutput(true);
  FileLog(L"lost\n");
  LifetimeTracker::Instance().DestroyAll();
  fs::remove(vendor);
  // Each line is copied to the debug output, then its file fails to open.
  auto texts = recorder_.Debug();
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[2], L"lost\n");
  std::wstring failure =
      L"TESSEL: Error opening log file: " + (folder_ / "scribe_tests_logclient_2026-12-04.log").wstring();
  for (int i = 1; i < 6; i += 2) EXPECT_TRUE(texts[i].starts_with(failure + L" - ")) << texts[i];
}

// Two real processes (and a second run of one of them) append to the same
// day's file under the named mutex; each run ends when its process exits.
TEST_F(FileLoggerTest, ProcessesShareTheDaysFileLineByLine) {
  constexpr int kLines = 10000;
  auto first = test::StartChild({L"file-logger-lines", L"A", std::to_wstring(kLines)});
  auto second = test::StartChild({L"file-logger-lines", L"B", std::to_wstring(kLines)});
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0);
  ASSERT_EQ(test::RunChild({L"file-logger-lines", L"C", L"1"}), 0);

  std::string filler = platform::Utf8FromWide(test::kFileLoggerFiller);
  std::string begin = Marker("Begin", L"scribe_test_child"), end = Marker("End", L"scribe_test_child");
  std::map<std::string, int> next{{"A", 0}, {"B", 0}, {"C", 0}};
  std::map<std::string, int> markers;
  std::string lastText;
  int wrong = 0;
  // A run across midnight spreads the lines over two files.
  for (const auto& file : Files("scribe_test_child_")) {
    std::string text = test::ReadFileText(file);
    ASSERT_TRUE(text.starts_with(kBom));
    for (std::size_t position = kBom.size(), lineEnd; position < text.size(); position = lineEnd + 2) {
      lineEnd = text.find("\r\n", position);
      ASSERT_NE(lineEnd, std::string::npos) << "incomplete last line";
      std::string line = text.substr(position, lineEnd + 2 - position), tag = line.substr(0, 1);
      if (line == begin || line == end || line == "\r\n") {
        ++markers[line];
      } else if (next.count(tag) != 0 && line == Format("{} {:05} {}\r\n", tag, next[tag], filler)) {
        ++next[tag];
      } else if (++wrong < 5) {
        ADD_FAILURE() << "unexpected line: " << line;
      }
    }
    lastText = text;
  }
  EXPECT_EQ(next["A"], kLines);
  EXPECT_EQ(next["B"], kLines);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(markers[begin], 3);
  EXPECT_EQ(markers[end], 3);
  EXPECT_TRUE(lastText.ends_with("\r\n" + begin + "C 00000 " + filler + "\r\n" + end)) << lastText.size();
}

}  // namespace
}  // namespace wl
