// The queue of finished log lines between the callers of a TraceLogManager
// and its writer thread. Each entry is a source number and the finished line
// in UTF-8 with CR LF line ends, the bytes that a UTF-8 file receives (the
// compact form: the writer needs no conversion for such a file). Entries
// are packed one after the other into large blocks, so that queueing a
// line costs one copy and, once the blocks are warm, no allocation; a queue
// of a million 130-character lines takes about 140 MB.
//
// Not synchronised: the owner guards it (TraceLogManager's queueMutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace wl {

class LineQueue {
 public:
  LineQueue() = default;
  LineQueue(const LineQueue&) = delete;
  LineQueue& operator=(const LineQueue&) = delete;

  // Appends one entry at the back.
  void Append(std::uint16_t source, std::string_view utf8Line);

  [[nodiscard]] bool Empty() const { return count_ == 0; }
  [[nodiscard]] std::size_t Count() const { return count_; }
  // The bytes that the entries take in the blocks.
  [[nodiscard]] std::size_t Bytes() const { return bytes_; }
  // What Append of a line of `lineSize` bytes adds to Bytes().
  static constexpr std::size_t EntryBytes(std::size_t lineSize) { return kHeaderSize + lineSize; }

  // Exchanges the contents (and blocks) of two queues (named as the
  // containers name it, so that BackgroundWorker takes either).
  void swap(LineQueue& other) noexcept;

  // Calls visit(source, line) for each entry, front to back.
  template <typename Visitor>
  void ForEach(Visitor&& visit) const {
    for (std::size_t b = 0; b <= current_ && b < blocks_.size(); ++b) {
      const Block& block = blocks_[b];
      std::size_t offset = 0;
      while (offset < block.used) {
        std::uint16_t source;
        std::uint32_t length;
        std::memcpy(&source, block.data.get() + offset, sizeof source);
        std::memcpy(&length, block.data.get() + offset + sizeof source, sizeof length);
        offset += kHeaderSize;
        visit(source, std::string_view(block.data.get() + offset, length));
        offset += length;
      }
    }
  }

  // Empties the queue. Up to kKeptBlocks blocks of the standard size are
  // kept for reuse so that a steady flow allocates nothing; the rest (after
  // a burst, and every block made for one very long line) are freed.
  void Clear();

  // The bytes of all blocks held, used or not.
  [[nodiscard]] std::size_t ReservedBytes() const;

  static constexpr std::size_t kBlockSize = 64 * 1024;
  static constexpr std::size_t kKeptBlocks = 16;

 private:
  static constexpr std::size_t kHeaderSize = sizeof(std::uint16_t) + sizeof(std::uint32_t);

  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
  };

  std::vector<Block> blocks_;
  std::size_t current_ = 0;  // the block being filled
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace wl
