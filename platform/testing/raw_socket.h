// Plain Unix-domain stream sockets, for the benchmarks (the yardstick of the
// COM transport) and for the transport's tests, which speak to a server
// byte by byte. Never used by the product. Linux only: on Windows every
// call fails.
#pragma once

#include <cstddef>
#include <string_view>

namespace wl::platform {

// Each returns a descriptor, or -1 on failure. A listener queues at most
// `backlog` connections that it has not accepted (0: one).
int RawListen(std::wstring_view path, int backlog = 16);
int RawAccept(int listener);
// With a time-out, a receive on the socket fails (-1) when nothing came
// within it.
int RawConnect(std::wstring_view path, int receiveTimeoutMilliseconds = 0);
// A bound datagram socket (such as a syslog socket) whose receives fail
// when nothing came within the time-out.
int RawBindDatagram(std::wstring_view path, int timeoutMilliseconds);
// Sends one datagram to the socket at path from a socket of its own: 0, or
// the errno of the failure.
int RawSendDatagram(std::wstring_view path, std::string_view bytes);
// One send or receive call (blocking); the count, 0 at the end of the
// stream, -1 on failure.
long RawSend(int socket, const void* data, std::size_t size);
long RawReceive(int socket, void* data, std::size_t size);
void RawClose(int socket);

}  // namespace wl::platform
