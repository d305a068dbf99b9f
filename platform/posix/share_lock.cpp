#include "platform/posix/share_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace wl::platform::posix {
namespace {

// Region k starts at kBase + k * kStride and is kRegion bytes long. A
// description that can read locks the region's first byte shared; one that can
// only write (the kernel allows exclusive locks only then) locks a byte of its
// own inside the region, so holders never collide with each other.
constexpr off_t kBase = off_t{1} << 62;
constexpr off_t kStride = off_t{1} << 44;
constexpr off_t kRegion = off_t{1} << 43;

enum Marker { kGate = 0, kReads, kWrites, kDeniesRead, kDeniesWrite, kDeniesDelete };

off_t RegionStart(Marker marker) { return kBase + marker * kStride; }

int AccessMode(int descriptor) {
  int flags = fcntl(descriptor, F_GETFL);
  return flags < 0 ? -1 : flags & O_ACCMODE;
}

bool Lock(int descriptor, int command, short type, off_t start, off_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  for (;;) {
    if (fcntl(descriptor, command, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// A byte inside each region that no other description uses.
off_t OwnOffset() {
  static std::atomic<std::uint32_t> counter{0};
  auto process = static_cast<std::uint64_t>(getpid()) & 0x3FFFFF;
  auto serial = counter.fetch_add(1, std::memory_order_relaxed) & 0xFFFFF;
  return static_cast<off_t>(1 + ((process << 20) | serial));
}

// True when another description holds any lock inside the region.
bool Held(int descriptor, Marker marker) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = RegionStart(marker);
  probe.l_len = kRegion;
  // A file system without these locks gives no sharing protection.
  if (fcntl(descriptor, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

}  // namespace

ShareGate::ShareGate(int descriptor) : descriptor_(descriptor) {
  int mode = AccessMode(descriptor);
  if (mode < 0) return;
  short type = mode == O_RDONLY ? F_RDLCK : F_WRLCK;
  held_ = Lock(descriptor, F_OFD_SETLKW, type, RegionStart(kGate), 1);
}

ShareGate::~ShareGate() {
  if (held_) Lock(descriptor_, F_OFD_SETLK, F_UNLCK, RegionStart(kGate), 1);
}

bool ShareConflicts(int descriptor, unsigned access, unsigned share) {
  return ((access & kShareRead) != 0 && Held(descriptor, kDeniesRead)) ||
         ((access & kShareWrite) != 0 && Held(descriptor, kDeniesWrite)) ||
         ((share & kShareRead) == 0 && Held(descriptor, kReads)) ||
         ((share & kShareWrite) == 0 && Held(descriptor, kWrites));
}

void HoldShare(int descriptor, unsigned access, unsigned share) {
  int mode = AccessMode(descriptor);
  if (mode < 0) return;
  bool readable = mode != O_WRONLY;
  off_t ownOffset = readable ? 0 : OwnOffset();
  auto hold = [&](Marker marker) {
    Lock(descriptor, F_OFD_SETLK, readable ? F_RDLCK : F_WRLCK, RegionStart(marker) + ownOffset, 1);
  };
  if ((access & kShareRead) != 0) hold(kReads);
  if ((access & kShareWrite) != 0) hold(kWrites);
  if ((share & kShareRead) == 0) hold(kDeniesRead);
  if ((share & kShareWrite) == 0) hold(kDeniesWrite);
  hold(kDeniesDelete);
}

bool DeleteDenied(int descriptor) { return Held(descriptor, kDeniesDelete); }

}  // namespace wl::platform::posix
