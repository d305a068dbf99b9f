// The benchmarks' and transport tests' raw sockets do not exist here.
#include "platform/testing/raw_socket.h"

namespace wl::platform {

int RawListen(std::wstring_view, int) { return -1; }
int RawAccept(int) { return -1; }
int RawConnect(std::wstring_view, int) { return -1; }
int RawBindDatagram(std::wstring_view, int) { return -1; }
int RawSendDatagram(std::wstring_view, std::string_view) { return -1; }
long RawSend(int, const void*, std::size_t) { return -1; }
long RawReceive(int, void*, std::size_t) { return -1; }
void RawClose(int) {}

}  // namespace wl::platform
