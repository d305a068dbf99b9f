// TCP connections for forwarding log messages to a collector, and a loopback
// listener for the tests that stand in for one. Every wait is bounded, so a
// thread that sends to a collector which never reads can still be stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace wl::platform {

// A connected or listening socket; kNoSocket when there is none.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Connects to host (a name or an address) on port, waiting at most
// timeoutMs. 0 and the socket, or a Win32 code (10061 refused, 10060 timed
// out, 11001 host not found, ...).
[[nodiscard]] Win32Error TcpConnect(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
                                    SocketHandle* socket);

// Waits at most timeoutMs until the socket takes data, then sends what it
// takes: the count sent, 0 when the time ran out, -1 when the connection
// failed.
long TcpSend(SocketHandle socket, const void* data, std::size_t size, std::uint32_t timeoutMs);

// Waits at most timeoutMs for data: the count received, 0 at the end of the
// stream, -1 when the connection failed, -2 when the time ran out.
long TcpReceive(SocketHandle socket, void* data, std::size_t size, std::uint32_t timeoutMs);

// Makes the socket acknowledge what comes next at once, not after the
// delayed-acknowledgement timer: a peer that sends small answers and waits
// for each to be acknowledged before the next (Nagle's rule) must not make
// a client that waits for those answers wait 40 ms. A hint; lasts until the
// system falls back to delaying, so it is given before each wait.
void TcpAcknowledgeAtOnce(SocketHandle socket);

// True when the peer has closed or reset the connection (checked without
// waiting and without taking data). A collector never sends on a plain TCP
// connection, so anything readable means its end is gone.
bool TcpPeerGone(SocketHandle socket);

// Listens on 127.0.0.1, on port (0: any free one); boundPort gets the port.
[[nodiscard]] Win32Error TcpListenLoopback(std::uint16_t port, SocketHandle* socket, std::uint16_t* boundPort);

// Waits at most timeoutMs for a connection; kNoSocket when none came.
SocketHandle TcpAccept(SocketHandle listener, std::uint32_t timeoutMs);

void TcpClose(SocketHandle socket);

// The machine's host name (as gethostname gives it); empty when unknown.
std::string LocalHostName();

}  // namespace wl::platform
