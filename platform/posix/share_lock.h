// Windows file sharing between the opens of this layer, built on Linux
// open-file-description locks. Each open holds a one-byte lock inside the
// marker regions that describe it ("reads", "writes", "denies reading",
// "denies writing", "denies deletion"); a new open, move or delete asks the
// kernel whether another description holds a lock in the region that would
// conflict with it. The regions lie far beyond any real file data, so they
// never touch byte-range locks on the data itself. Programs that do not use
// this layer take no markers and are not held back by them.
//
// Because the locks belong to open file descriptions, two descriptors of the
// same process conflict just as two processes do, and every lock goes away
// when its descriptor is closed or its process ends.
#pragma once

namespace wl::platform::posix {

inline constexpr unsigned kShareRead = 1;
inline constexpr unsigned kShareWrite = 2;

// Holds the file's gate for its lifetime, so that a check and the acquisition
// or the move that follows it are one step for every other user of the layer.
// An exclusive lock for descriptors that may write, a shared one otherwise
// (the kernel ties lock types to the access mode), so two read-only opens
// are not kept apart by the gate; ShareConflicts is then repeated after
// HoldShare (see text_file.cpp).
class ShareGate {
 public:
  explicit ShareGate(int descriptor);
  ~ShareGate();
  ShareGate(const ShareGate&) = delete;
  ShareGate& operator=(const ShareGate&) = delete;

 private:
  int descriptor_;
  bool held_ = false;
};

// True when an open with this access (kShareRead / kShareWrite bits for
// reading and writing) and share mode would conflict with an open that
// another description holds.
bool ShareConflicts(int descriptor, unsigned access, unsigned share);

// Records the open's access and share mode on its description; every open
// also denies deletion.
void HoldShare(int descriptor, unsigned access, unsigned share);

// True when an open made by the layer holds the file (no open shares deletion).
bool DeleteDenied(int descriptor);

}  // namespace wl::platform::posix
