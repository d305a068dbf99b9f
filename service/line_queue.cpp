#include "service/line_queue.h"

#include <algorithm>
#include <utility>

namespace wl {

void LineQueue::Append(std::uint16_t source, std::string_view utf8Line) {
  std::size_t needed = kHeaderSize + utf8Line.size();
  if (blocks_.empty() || blocks_[current_].capacity - blocks_[current_].used < needed) {
    if (!blocks_.empty() && blocks_[current_].used != 0) ++current_;
    // A reused block that is too small for a very long line is replaced.
    if (current_ < blocks_.size() && blocks_[current_].capacity < needed) {
      blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(current_));
    }
    if (current_ >= blocks_.size()) {
      Block block;
      block.capacity = std::max(kBlockSize, needed);
      block.data.reset(new char[block.capacity]);
      blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(current_), std::move(block));
    }
  }
  Block& block = blocks_[current_];
  char* out = block.data.get() + block.used;
  auto length = static_cast<std::uint32_t>(utf8Line.size());
  std::memcpy(out, &source, sizeof source);
  std::memcpy(out + sizeof source, &length, sizeof length);
  if (!utf8Line.empty()) std::memcpy(out + kHeaderSize, utf8Line.data(), utf8Line.size());
  block.used += needed;
  ++count_;
}

void LineQueue::Swap(LineQueue& other) noexcept {
  blocks_.swap(other.blocks_);
  std::swap(current_, other.current_);
  std::swap(count_, other.count_);
}

void LineQueue::Clear() {
  if (blocks_.size() > kKeptBlocks) blocks_.resize(kKeptBlocks);
  for (Block& block : blocks_) block.used = 0;
  current_ = 0;
  count_ = 0;
}

}  // namespace wl
