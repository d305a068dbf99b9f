// Descriptors of the Linux layer: a descriptor that closes itself, and the
// system calls on descriptors with their interruption (EINTR) loops written
// once. Results are Linux errno values (0: success).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_handle.h"

namespace wl::platform::posix {

// close(2): 0 or the errno of a failed close (the descriptor is gone either
// way; Linux frees it even when close reports EINTR).
[[nodiscard]] int CloseDescriptor(int descriptor);

// An open descriptor that closes itself; Close() returns CloseDescriptor's
// result.
using Descriptor = UniqueHandle<int, &CloseDescriptor, -1>;

// open(2) with O_CLOEXEC added; an invalid descriptor with errno set when it
// fails.
Descriptor OpenDescriptor(const std::string& path, int flags, mode_t mode = 0);

// Writes all bytes, continuing after partial writes and interruptions: 0 or
// the errno. *written (may be null) gets how many bytes went in.
[[nodiscard]] int WriteAll(int descriptor, std::string_view bytes, std::size_t* written = nullptr);

// Where the writes on a descriptor opened with O_APPEND landed: each goes to
// the end of the file as it is at that moment, and another process may have
// appended between two of them. Knows the run of our own bytes, unbroken by
// anyone else's, that ends at the descriptor's position, so that a caller can
// cut back its own bytes and nothing else. Locating a write costs a position
// query; WriteAllParts locates a write only when another one follows it.
class AppendedRun {
 public:
  // Before a write: locates the write before it, if any is pending.
  void Locate(int descriptor);
  // After a write of `bytes` bytes (not yet located).
  void Add(std::size_t bytes) { pending_ += bytes; }
  // After Locate: the length of the run and the offset just past it (-1
  // when nothing was written or a position could not be read).
  [[nodiscard]] std::size_t Bytes() const { return run_; }
  [[nodiscard]] std::int64_t End() const { return end_; }

 private:
  std::size_t run_ = 0;
  std::size_t pending_ = 0;
  std::int64_t end_ = -1;
};

// The same for several parts, in order, with as few vectored writes as the
// system allows, and at most the first `limit` bytes of them. With `run`,
// follows where the writes landed (Locate it again afterwards for the last).
[[nodiscard]] int WriteAllParts(int descriptor, std::span<const std::string_view> parts, std::size_t limit,
                                std::size_t* written = nullptr, AppendedRun* run = nullptr);

// Reads from the current position to the end, appending to *bytes: 0 or the
// errno.
[[nodiscard]] int ReadAll(int descriptor, std::string* bytes);

// fdatasync(2) (the data and the size needed to read it back) and fsync(2)
// (everything): 0 or the errno.
[[nodiscard]] int SyncData(int descriptor);
[[nodiscard]] int SyncAll(int descriptor);

// flock(2), waiting: 0 or the errno.
[[nodiscard]] int LockFile(int descriptor, int operation);

// flock(2), waiting at most `milliseconds`: 0, ETIMEDOUT when the lock
// stayed held that long, or the errno. For locks whose file another
// account may hold open, so that no one can make the caller wait forever.
[[nodiscard]] int LockFileWithin(int descriptor, int operation, int milliseconds);

}  // namespace wl::platform::posix
