#include "platform/posix/inherited_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace wl::platform::posix {

int InheritedSocket(const std::string& path, int type) {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || std::strtol(pid, nullptr, 10) != getpid()) return -1;
  long fds = std::strtol(count, nullptr, 10);
  for (int fd = 3; fd < 3 + fds && fd < 3 + 64; ++fd) {
    sockaddr_un address{};
    socklen_t length = sizeof(address);
    int socketType = 0;
    socklen_t size = sizeof(socketType);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sun_family != AF_UNIX ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &socketType, &size) != 0 || socketType != type) {
      continue;
    }
    if (type == SOCK_STREAM) {
      int listening = 0;
      size = sizeof(listening);
      if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) continue;
    }
    std::size_t pathLength = length > offsetof(sockaddr_un, sun_path) ? length - offsetof(sockaddr_un, sun_path) : 0;
    std::string bound(address.sun_path, strnlen(address.sun_path, pathLength));
    if (bound != path) continue;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
  }
  return -1;
}

}  // namespace wl::platform::posix
