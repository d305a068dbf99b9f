#include "service/line_queue.h"

#include <algorithm>
#include <utility>

namespace wl {

void LineQueue::Append(std::uint16_t source, std::string_view utf8Line) {
  std::size_t needed = kHeaderSize + utf8Line.size();
  if (blocks_.empty() || blocks_[current_].capacity - blocks_[current_].used < needed) {
    if (!blocks_.empty() && blocks_[current_].used != 0) ++current_;
    // The next block is a kept one, empty since the last Clear, or a new
    // one. A kept block too small for a very long line is replaced in its
    // place; the blocks after it stay empty for the lines to come.
    if (current_ >= blocks_.size()) {
      blocks_.emplace_back();
    } else if (blocks_[current_].capacity < needed) {
      blocks_[current_] = Block();
    }
    Block& fresh = blocks_[current_];
    if (fresh.capacity == 0) {
      fresh.capacity = std::max(kBlockSize, needed);
      fresh.data.reset(new char[fresh.capacity]);
    }
  }
  Block& block = blocks_[current_];
  char* out = block.data.get() + block.used;
  auto length = static_cast<std::uint32_t>(utf8Line.size());
  std::memcpy(out, &source, sizeof source);
  std::memcpy(out + sizeof source, &length, sizeof length);
  if (!utf8Line.empty()) std::memcpy(out + kHeaderSize, utf8Line.data(), utf8Line.size());
  block.used += needed;
  bytes_ += needed;
  ++count_;
}

void LineQueue::swap(LineQueue& other) noexcept {
  blocks_.swap(other.blocks_);
  std::swap(current_, other.current_);
  std::swap(count_, other.count_);
  std::swap(bytes_, other.bytes_);
}

void LineQueue::Clear() {
  // Only standard blocks are kept: one made for a huge line would pin its
  // memory until the queue ends.
  std::erase_if(blocks_, [](const Block& block) { return block.capacity != kBlockSize; });
  if (blocks_.size() > kKeptBlocks) blocks_.resize(kKeptBlocks);
  for (Block& block : blocks_) block.used = 0;
  current_ = 0;
  count_ = 0;
  bytes_ = 0;
}

std::size_t LineQueue::ReservedBytes() const {
  std::size_t total = 0;
  for (const Block& block : blocks_) total += block.capacity;
  return total;
}

}  // namespace wl
