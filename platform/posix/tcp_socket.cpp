// TCP sockets on Linux, with the Winsock error numbers Windows gives.
#include "platform/tcp_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace wl::platform {
namespace {

Win32Error WinsockFromErrno(int error) {
  switch (error) {
    case ECONNREFUSED:
      return 10061;
    case ETIMEDOUT:
      return 10060;
    case ENETUNREACH:
      return 10051;
    case EHOSTUNREACH:
      return 10065;
    case ECONNRESET:
      return 10054;
    case EADDRINUSE:
      return 10048;
    case EACCES:
      return 10013;
    default:
      return 10022;  // WSAEINVAL
  }
}

// Waits for events on one descriptor; the events seen, 0 on time-out.
short WaitFor(int fd, short events, std::uint32_t timeoutMs) {
  pollfd entry{fd, events, 0};
  int ready;
  do {
    ready = poll(&entry, 1, static_cast<int>(timeoutMs));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return 0;
  return entry.revents;
}

Win32Error ConnectOne(const addrinfo* address, std::uint32_t timeoutMs, int* out) {
  int fd = socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return WinsockFromErrno(errno);
  if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      int error = errno;
      close(fd);
      return WinsockFromErrno(error);
    }
    if (WaitFor(fd, POLLOUT, timeoutMs) == 0) {
      close(fd);
      return 10060;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      close(fd);
      return WinsockFromErrno(error != 0 ? error : errno);
    }
  }
  int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  *out = fd;
  return 0;
}

}  // namespace

Win32Error TcpConnect(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs, SocketHandle* socket) {
  *socket = kNoSocket;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(std::string(host).c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    return 11001;  // WSAHOST_NOT_FOUND
  }
  Win32Error result = 11001;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    int fd = -1;
    result = ConnectOne(address, timeoutMs, &fd);
    if (result == 0) {
      *socket = fd;
      break;
    }
  }
  freeaddrinfo(found);
  return result;
}

long TcpSend(SocketHandle socket, const void* data, std::size_t size, std::uint32_t timeoutMs) {
  int fd = static_cast<int>(socket);
  short events = WaitFor(fd, POLLOUT, timeoutMs);
  if (events == 0) return 0;
  if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (events & POLLOUT) == 0) return -1;
  ssize_t sent;
  do {
    sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return static_cast<long>(sent);
}

long TcpReceive(SocketHandle socket, void* data, std::size_t size, std::uint32_t timeoutMs) {
  int fd = static_cast<int>(socket);
  if (WaitFor(fd, POLLIN, timeoutMs) == 0) return -2;
  ssize_t got;
  do {
    got = recv(fd, data, size, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
  return static_cast<long>(got);
}

void TcpAcknowledgeAtOnce(SocketHandle socket) {
  int on = 1;
  (void)setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool TcpPeerGone(SocketHandle socket) {
  int fd = static_cast<int>(socket);
  short events = WaitFor(fd, POLLIN | POLLRDHUP, 0);
  if (events == 0) return false;
  if ((events & (POLLERR | POLLHUP | POLLRDHUP | POLLNVAL)) != 0) return true;
  char byte;
  ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

Win32Error TcpListenLoopback(std::uint16_t port, SocketHandle* socket, std::uint16_t* boundPort) {
  *socket = kNoSocket;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return WinsockFromErrno(errno);
  int on = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    close(fd);
    return WinsockFromErrno(error);
  }
  *socket = fd;
  *boundPort = ntohs(address.sin_port);
  return 0;
}

SocketHandle TcpAccept(SocketHandle listener, std::uint32_t timeoutMs) {
  int fd = static_cast<int>(listener);
  if (WaitFor(fd, POLLIN, timeoutMs) == 0) return kNoSocket;
  int accepted = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  return accepted < 0 ? kNoSocket : accepted;
}

void TcpClose(SocketHandle socket) {
  if (socket != kNoSocket) close(static_cast<int>(socket));
}

std::string LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace wl::platform
