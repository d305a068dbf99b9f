// FollowedFile: every line of a growing log file once, across rotation.
#include <gtest/gtest.h>

#include <fstream>

#include "bench/measure.h"
#include "tests/support/test_support.h"

namespace wl::bench {
namespace {

class FollowedFileTest : public ::testing::Test {
 protected:
  void Append(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
  }
  // Renames B.log to B_old.log, the older generations one further.
  void Rotate() {
    auto at = [&](const char* suffix) { return folder_.Path() / (std::string("B") + suffix + ".log"); };
    std::filesystem::remove(at("_oldest"));
    if (std::filesystem::exists(at("_older"))) std::filesystem::rename(at("_older"), at("_oldest"));
    if (std::filesystem::exists(at("_old"))) std::filesystem::rename(at("_old"), at("_older"));
    std::filesystem::rename(file_, at("_old"));
  }
  std::size_t Poll() { return followed_.Poll(); }

  test::TempFolder folder_;
  std::filesystem::path file_ = folder_.Path() / "B.log";
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
