// Descriptors of the Linux layer: a descriptor that closes itself, and the
// system calls on descriptors with their interruption (EINTR) loops written
// once. Results are Linux errno values (0: success).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace wl::platform::posix {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() { (void)Close(); }
  Descriptor(Descriptor&& other) noexcept : descriptor_(other.Release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  bool Valid() const { return descriptor_ >= 0; }
  int Get() const { return descriptor_; }
  // Gives the descriptor up without closing it.
  int Release();
  // Closes it now: 0 or the errno of a failed close (the descriptor is gone
  // either way; Linux frees it even when close reports EINTR).
  [[nodiscard]] int Close();

 private:
  int descriptor_ = -1;
};

// open(2) with O_CLOEXEC added; an invalid descriptor with errno set when it
// fails.
Descriptor OpenDescriptor(const std::string& path, int flags, mode_t mode = 0);

// Writes all bytes, continuing after partial writes and interruptions: 0 or
// the errno. *written (may be null) gets how many bytes went in.
[[nodiscard]] int WriteAll(int descriptor, std::string_view bytes, std::size_t* written = nullptr);

// The same for several parts, in order, with as few vectored writes as the
// system allows, and at most the first `limit` bytes of them.
[[nodiscard]] int WriteAllParts(int descriptor, std::span<const std::string_view> parts, std::size_t limit,
                                std::size_t* written = nullptr);

// Reads from the current position to the end, appending to *bytes: 0 or the
// errno.
[[nodiscard]] int ReadAll(int descriptor, std::string* bytes);

// fdatasync(2) (the data and the size needed to read it back) and fsync(2)
// (everything): 0 or the errno.
[[nodiscard]] int SyncData(int descriptor);
[[nodiscard]] int SyncAll(int descriptor);

// flock(2), waiting: 0 or the errno.
[[nodiscard]] int LockFile(int descriptor, int operation);

}  // namespace wl::platform::posix
