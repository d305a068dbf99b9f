// FollowedFile: every line of a growing log file once, across rotation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "bench/measure.h"

namespace wl::bench {
namespace {

class FollowedFileTest : public ::testing::Test {
 protected:
  // A fresh folder of this test's own.
  static std::filesystem::path MakeFolder() {
    static int count = 0;
    auto path = std::filesystem::temp_directory_path() /
                ("scribe-bench-test-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
  }
  ~FollowedFileTest() override { std::filesystem::remove_all(folder_); }

  void Append(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
  }
  // Renames B.log to B_old.log, the older generations one further.
  void Rotate() {
    auto at = [&](const char* suffix) { return folder_ / (std::string("B") + suffix + ".log"); };
    std::filesystem::remove(at("_oldest"));
    if (std::filesystem::exists(at("_older"))) std::filesystem::rename(at("_older"), at("_oldest"));
    if (std::filesystem::exists(at("_old"))) std::filesystem::rename(at("_old"), at("_older"));
    std::filesystem::rename(file_, at("_old"));
  }
  std::size_t Poll() { return followed_.Poll(); }

  std::filesystem::path folder_ = MakeFolder();
  std::filesystem::path file_ = folder_ / "B.log";
  std::vector<std::string> lines_;
  FollowedFile followed_{file_, [this](std::string_view line) { lines_.emplace_back(line); }};
};

TEST_F(FollowedFileTest, HandsOnWholeLinesOnceWithoutTheirLineEnds) {
  EXPECT_EQ(Poll(), 0u);  // no file yet
  Append(file_, "one\r\ntw");
  EXPECT_EQ(Poll(), 1u);
  EXPECT_EQ(Poll(), 0u);
  Append(file_, "o\r\nthree\n\r\n");
  EXPECT_EQ(Poll(), 3u);
  EXPECT_EQ(lines_, (std::vector<std::string>{"one", "two", "three", ""}));
}

TEST_F(FollowedFileTest, FollowsTheFileIntoItsBackupAndGoesOnWithTheNewOne) {
  Append(file_, "a\r\n");
  EXPECT_EQ(Poll(), 1u);
  // Written after the last poll, then rotated: read from the backup.
  Append(file_, "b\r\n");
  Rotate();
  Append(file_, "c\r\n");
  EXPECT_EQ(Poll(), 2u);
  Append(file_, "d\r\n");
  EXPECT_EQ(Poll(), 1u);
  EXPECT_EQ(lines_, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(FollowedFileTest, CatchesUpOnWholeGenerationsRotatedPastItBetweenPolls) {
  Append(file_, "a\r\n");
  EXPECT_EQ(Poll(), 1u);
  Append(file_, "b\r\n");
  Rotate();
  Append(file_, "c1\r\nc2\r\n");
  Rotate();
  Append(file_, "d\r\n");
  Rotate();
  Append(file_, "e\r\n");
  // The followed file is now B_oldest.log; B_older.log and B_old.log were
  // never read.
  EXPECT_EQ(Poll(), 5u);
  std::sort(lines_.begin() + 1, lines_.end());
  EXPECT_EQ(lines_, (std::vector<std::string>{"a", "b", "c1", "c2", "d", "e"}));
}

TEST_F(FollowedFileTest, AnUnfinishedLastLineOfARotatedFileStaysALineOfItsOwn) {
  Append(file_, "a\r\nhalf");
  EXPECT_EQ(Poll(), 1u);
  Rotate();
  Append(file_, "next\r\n");
  EXPECT_EQ(Poll(), 2u);
  EXPECT_EQ(lines_, (std::vector<std::string>{"a", "half", "next"}));
}

}  // namespace
}  // namespace wl::bench
