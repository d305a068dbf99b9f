// The address of a Unix-domain socket at any path. A socket address holds a
// path of at most 107 bytes (sun_path), and a machine root may be longer:
// such a socket is reached through its folder, opened (O_PATH) by the
// address, as /proc/self/fd/N/<name>. That name means the same file in every
// thread of the process while the address lives, so binding and connecting
// need no change of the working folder. A path that fits is used as it is.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "platform/posix/descriptor.h"

namespace wl::platform::posix {

class SocketAddress {
 public:
  // Makes the address of the socket file at path ('@' first: an abstract
  // name, as in $NOTIFY_SOCKET). Returns 0 or the errno: ENAMETOOLONG when
  // the file name alone does not fit, or when the folder's path is longer
  // than the system takes (PATH_MAX); the error of opening the folder.
  [[nodiscard]] int Set(const std::string& path);

  [[nodiscard]] const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&address_); }
  [[nodiscard]] socklen_t Size() const { return size_; }
  // The path as the system resolves it here (for unlink and chmod of the
  // socket file, which then also work past PATH_MAX).
  [[nodiscard]] const char* Path() const { return address_.sun_path; }

 private:
  sockaddr_un address_{};
  socklen_t size_ = 0;
  Descriptor folder_;
};

// What a failed Set means for the path, for a report: the path, its length
// and the limit it broke.
std::wstring SocketAddressError(const std::string& path, int error);

}  // namespace wl::platform::posix
