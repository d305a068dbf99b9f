#include "platform/testing/raw_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/socket_address.h"
#include "platform/text.h"

namespace wl::platform {

int RawListen(std::wstring_view path, int backlog) {
  posix::SocketAddress address;
  if (address.Set(Utf8FromWide(path)) != 0) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(address.Path());
  if (fd < 0 || bind(fd, address.Get(), address.Size()) != 0 || listen(fd, backlog) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

int RawBindDatagram(std::wstring_view path, int timeoutMilliseconds) {
  posix::SocketAddress address;
  if (address.Set(Utf8FromWide(path)) != 0) return -1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  unlink(address.Path());
  timeval timeout{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
  if (fd < 0 || bind(fd, address.Get(), address.Size()) != 0 || chmod(address.Path(), 0666) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

int RawSendDatagram(std::wstring_view path, std::string_view bytes) {
  posix::SocketAddress address;
  if (int error = address.Set(Utf8FromWide(path)); error != 0) return error;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int error = sendto(fd, bytes.data(), bytes.size(), 0, address.Get(), address.Size()) < 0 ? errno : 0;
  close(fd);
  return error;
}

int RawAccept(int listener) { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

int RawConnect(std::wstring_view path, int receiveTimeoutMilliseconds) {
  posix::SocketAddress address;
  if (address.Set(Utf8FromWide(path)) != 0) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{receiveTimeoutMilliseconds / 1000, (receiveTimeoutMilliseconds % 1000) * 1000};
  if (fd < 0 || connect(fd, address.Get(), address.Size()) != 0 ||
      (receiveTimeoutMilliseconds > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

long RawSend(int socket, const void* data, std::size_t size) {
  ssize_t sent;
  do {
    sent = send(socket, data, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

long RawReceive(int socket, void* data, std::size_t size) {
  ssize_t got;
  do {
    got = recv(socket, data, size, 0);
  } while (got < 0 && errno == EINTR);
  return got;
}

void RawClose(int socket) { close(socket); }

}  // namespace wl::platform
