// TCP sockets on Winsock. Winsock is started once, on the first use.
#include "platform/tcp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

namespace wl::platform {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Raw(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Waits for a socket to become readable or writable; false on time-out.
bool WaitFor(SOCKET socket, bool write, std::uint32_t timeoutMs, bool* failed = nullptr) {
  fd_set ready;
  fd_set errors;
  FD_ZERO(&ready);
  FD_ZERO(&errors);
  FD_SET(socket, &ready);
  FD_SET(socket, &errors);
  timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  int count = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &errors, &limit);
  if (failed != nullptr) *failed = count > 0 && FD_ISSET(socket, &errors);
  return count > 0;
}

}  // namespace

Win32Error TcpConnect(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs, SocketHandle* socket) {
  *socket = kNoSocket;
  if (!StartWinsock()) return 10093;  // WSANOTINITIALISED
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (::getaddrinfo(std::string(host).c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    return 11001;
  }
  Win32Error result = 11001;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    SOCKET raw = ::socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (raw == INVALID_SOCKET) {
      result = ::WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(raw, FIONBIO, &nonBlocking);
    if (::connect(raw, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
      result = ::WSAGetLastError();
      ::closesocket(raw);
      continue;
    }
    bool failed = false;
    if (!WaitFor(raw, true, timeoutMs, &failed) || failed) {
      int error = 0;
      int length = sizeof error;
      ::getsockopt(raw, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      result = failed ? (error != 0 ? error : WSAECONNREFUSED) : WSAETIMEDOUT;
      ::closesocket(raw);
      continue;
    }
    BOOL on = TRUE;
    ::setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    *socket = static_cast<SocketHandle>(raw);
    result = 0;
    break;
  }
  ::freeaddrinfo(found);
  return result;
}

long TcpSend(SocketHandle socket, const void* data, std::size_t size, std::uint32_t timeoutMs) {
  bool failed = false;
  if (!WaitFor(Raw(socket), true, timeoutMs, &failed)) return 0;
  if (failed) return -1;
  int chunk = size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
  int sent = ::send(Raw(socket), static_cast<const char*>(data), chunk, 0);
  if (sent == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  return sent;
}

long TcpReceive(SocketHandle socket, void* data, std::size_t size, std::uint32_t timeoutMs) {
  if (!WaitFor(Raw(socket), false, timeoutMs)) return -2;
  int chunk = size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
  int got = ::recv(Raw(socket), static_cast<char*>(data), chunk, 0);
  if (got == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
  return got;
}

// Windows has no per-wait switch; its delayed acknowledgement is left as
// the system sets it.
void TcpAcknowledgeAtOnce(SocketHandle) {}

bool TcpPeerGone(SocketHandle socket) {
  bool failed = false;
  if (!WaitFor(Raw(socket), false, 0, &failed)) return false;
  if (failed) return true;
  char byte;
  int got = ::recv(Raw(socket), &byte, 1, MSG_PEEK);
  return got == 0 || (got == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

Win32Error TcpListenLoopback(std::uint16_t port, SocketHandle* socket, std::uint16_t* boundPort) {
  *socket = kNoSocket;
  if (!StartWinsock()) return 10093;
  SOCKET raw = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (raw == INVALID_SOCKET) return ::WSAGetLastError();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(port);
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (::bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(raw, 16) != 0 ||
      ::getsockname(raw, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Win32Error error = ::WSAGetLastError();
    ::closesocket(raw);
    return error;
  }
  *socket = static_cast<SocketHandle>(raw);
  *boundPort = ::ntohs(address.sin_port);
  return 0;
}

SocketHandle TcpAccept(SocketHandle listener, std::uint32_t timeoutMs) {
  if (!WaitFor(Raw(listener), false, timeoutMs)) return kNoSocket;
  SOCKET accepted = ::accept(Raw(listener), nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return kNoSocket;
  u_long nonBlocking = 1;
  ::ioctlsocket(accepted, FIONBIO, &nonBlocking);
  return static_cast<SocketHandle>(accepted);
}

void TcpClose(SocketHandle socket) {
  if (socket != kNoSocket) ::closesocket(Raw(socket));
}

std::string LocalHostName() {
  if (!StartWinsock()) return {};
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace wl::platform
