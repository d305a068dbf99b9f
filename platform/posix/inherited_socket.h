// Sockets that systemd passed to this process (socket activation).
#pragma once

#include <string>

namespace wl::platform::posix {

// The socket bound at path, of the given type (SOCK_STREAM: a listening
// one; SOCK_DGRAM), among those that systemd passed to this process
// (sd_listen_fds: $LISTEN_PID names this process, $LISTEN_FDS counts the
// descriptors from 3 on); -1 when none is. It is made non-blocking and
// closed on exec. systemd binds a socket unit's path itself and takes only
// paths that fit in a socket address (107 bytes).
int InheritedSocket(const std::string& path, int type);

}  // namespace wl::platform::posix
