#include "platform/posix/descriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace wl::platform::posix {
namespace {

// Runs call() until it ends otherwise than by an interruption: 0 or errno.
template <typename Call>
int Retrying(Call call) {
  while (call() != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

int CloseDescriptor(int descriptor) { return close(descriptor) != 0 && errno != EINTR ? errno : 0; }

Descriptor OpenDescriptor(const std::string& path, int flags, mode_t mode) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (descriptor < 0 && errno == EINTR);
  return Descriptor(descriptor);
}

int WriteAll(int descriptor, std::string_view bytes, std::size_t* written) {
  return WriteAllParts(descriptor, {&bytes, 1}, bytes.size(), written);
}

void AppendedRun::Locate(int descriptor) {
  if (pending_ == 0) return;
  // After a write to a descriptor opened with O_APPEND its position is just
  // past the bytes that write put at the end of the file.
  off_t position = lseek(descriptor, 0, SEEK_CUR);
  if (position < 0 || static_cast<std::uint64_t>(position) < pending_) {
    run_ = 0;
    end_ = -1;
  } else {
    std::int64_t start = position - static_cast<off_t>(pending_);
    run_ = start == end_ ? run_ + pending_ : pending_;
    end_ = position;
  }
  pending_ = 0;
}

int WriteAllParts(int descriptor, std::span<const std::string_view> parts, std::size_t limit, std::size_t* written,
                  AppendedRun* run) {
  constexpr std::size_t kMaxParts = IOV_MAX;
  iovec vector[kMaxParts];
  std::size_t done = 0;
  std::size_t part = 0;
  std::size_t offset = 0;  // into parts[part], after a partial write
  int failure = 0;
  while (done < limit && part < parts.size()) {
    // Gathers what is left, up to the limit, starting at the cut.
    int count = 0;
    std::size_t room = limit - done;
    for (std::size_t i = part; i < parts.size() && count < static_cast<int>(kMaxParts) && room > 0; ++i) {
      std::size_t skip = i == part ? offset : 0;
      std::size_t length = std::min(parts[i].size() - skip, room);
      if (length == 0) continue;
      vector[count++] = {const_cast<char*>(parts[i].data() + skip), length};
      room -= length;
    }
    if (count == 0) break;
    if (run != nullptr) run->Locate(descriptor);
    ssize_t result = writev(descriptor, vector, count);
    if (result < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      break;
    }
    done += static_cast<std::size_t>(result);
    if (run != nullptr) run->Add(static_cast<std::size_t>(result));
    // Moves the cut past what went in.
    auto left = static_cast<std::size_t>(result);
    while (part < parts.size() && left >= parts[part].size() - offset) {
      left -= parts[part].size() - offset;
      offset = 0;
      ++part;
    }
    offset += left;
  }
  if (written != nullptr) *written = done;
  return failure;
}

int ReadAll(int descriptor, std::string* bytes) {
  char buffer[65536];
  for (;;) {
    ssize_t count = read(descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) return 0;
    bytes->append(buffer, static_cast<std::size_t>(count));
  }
}

int SyncData(int descriptor) {
  return Retrying([descriptor] { return fdatasync(descriptor); });
}

int SyncAll(int descriptor) {
  return Retrying([descriptor] { return fsync(descriptor); });
}

int LockFile(int descriptor, int operation) {
  return Retrying([descriptor, operation] { return flock(descriptor, operation); });
}

int LockFileWithin(int descriptor, int operation, int milliseconds) {
  // flock has no time-out: it is asked without waiting, and asked again
  // after pauses that grow from 0.1 to 10 ms (locks are held for the
  // moments a hive takes to write).
  timespec pause{0, 100'000};
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::int64_t deadline = now.tv_sec * 1'000'000'000LL + now.tv_nsec + milliseconds * 1'000'000LL;
  for (;;) {
    if (flock(descriptor, operation | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errno;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec * 1'000'000'000LL + now.tv_nsec >= deadline) return ETIMEDOUT;
    nanosleep(&pause, nullptr);
    pause.tv_nsec = std::min<long>(pause.tv_nsec * 2, 10'000'000);
  }
}

}  // namespace wl::platform::posix
