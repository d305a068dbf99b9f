#include "platform/posix/descriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    (void)Close();
    descriptor_ = other.Release();
  }
  return *this;
}

int Descriptor::Release() {
  int released = descriptor_;
  descriptor_ = -1;
  return released;
}

int Descriptor::Close() {
  if (descriptor_ < 0) return 0;
  int closing = Release();
  return close(closing) != 0 && errno != EINTR ? errno : 0;
}

Descriptor OpenDescriptor(const std::string& path, int flags, mode_t mode) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (descriptor < 0 && errno == EINTR);
  return Descriptor(descriptor);
}

int WriteAll(int descriptor, std::string_view bytes, std::size_t* written) {
  std::size_t done = 0;
  int failure = 0;
  while (done < bytes.size()) {
    ssize_t count = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      break;
    }
    done += static_cast<std::size_t>(count);
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

}  // namespace wl::platform::posix
