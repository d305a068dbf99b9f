#include "service/line_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wl {
namespace {

// The entries of a queue as (source, line) pairs, front to back.
std::vector<std::pair<std::uint16_t, std::string>> Entries(const LineQueue& queue) {
  std::vector<std::pair<std::uint16_t, std::string>> entries;
  queue.ForEach([&](std::uint16_t source, std::string_view line) { entries.emplace_back(source, line); });
  return entries;
}

// A line whose every byte tells its place, so that a shifted or overwritten
// byte shows.
std::string Patterned(std::size_t size, char seed) {
  std::string line(size, '\0');
  for (std::size_t i = 0; i < size; ++i) line[i] = static_cast<char>(seed + static_cast<char>(i % 61));
  return line;
}

TEST(LineQueue, LinesOfAnyLengthAfterRecycledBlocksArriveWhole) {
  LineQueue queue;
  // A burst fills several blocks; clearing keeps them for reuse.
  std::string filler(1000, 'f');
  for (int i = 0; i < 400; ++i) queue.Append(1, filler);
  queue.Clear();
  std::vector<std::pair<std::uint16_t, std::string>> expected;
  for (std::size_t size : {LineQueue::kBlockSize - 1, LineQueue::kBlockSize, LineQueue::kBlockSize + 1,
                           std::size_t{1} << 20, std::size_t{70'000}}) {
    expected.emplace_back(2, "short");
    expected.emplace_back(static_cast<std::uint16_t>(size % 37), Patterned(size, static_cast<char>('A' + size % 7)));
  }
  expected.emplace_back(3, "last");
  for (const auto& [source, line] : expected) queue.Append(source, line);
  EXPECT_EQ(queue.Count(), expected.size());
  EXPECT_TRUE(Entries(queue) == expected);

  // And once more after the long lines went through a clear.
  queue.Clear();
  for (const auto& [source, line] : expected) queue.Append(source, line);
  EXPECT_TRUE(Entries(queue) == expected);
}

TEST(LineQueue, KeepsOnlyStandardBlocksForReuse) {
  LineQueue queue;
  queue.Append(1, std::string(50'000'000, 'h'));  // NOLINT(bugprone-string-constructor): a block past the standard size
  queue.Append(1, "small");
  queue.Clear();
  EXPECT_LE(queue.ReservedBytes(), LineQueue::kKeptBlocks * LineQueue::kBlockSize);
  for (int i = 0; i < 2000; ++i) queue.Append(1, std::string(1000, 'x'));
  queue.Clear();
  EXPECT_LE(queue.ReservedBytes(), LineQueue::kKeptBlocks * LineQueue::kBlockSize);
  EXPECT_GT(queue.ReservedBytes(), 0u);
  // An exchange hands the blocks over with the lines.
  LineQueue other;
  queue.Append(4, "swapped");
  other.swap(queue);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(Entries(other), (std::vector<std::pair<std::uint16_t, std::string>>{{4, "swapped"}}));
}

}  // namespace
}  // namespace wl
