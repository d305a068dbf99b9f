// The Windows build offers no TLS to forward with: a tls:// or relp+tls://
// target is refused when the forwarding settings are read, and a handshake
// here always fails with the same words.
#include "platform/tls_client.h"

namespace wl::platform {
namespace {
constexpr Win32Error kNotSupported = 50;
constexpr const char* kNotOffered = "forwarding over TLS is not offered in the Windows build";
}  // namespace

struct TlsClient::State {};

TlsClient::TlsClient() = default;
TlsClient::~TlsClient() = default;
bool TlsClient::Supported() { return false; }
std::string TlsFilesRefusal(const TlsSettings&) { return kNotOffered; }

Win32Error TlsClient::Handshake(SocketHandle socket, const std::string&, const TlsSettings&, std::uint32_t,
                                std::string* why) {
  TcpClose(socket);
  *why = kNotOffered;
  return kNotSupported;
}

long TlsClient::Send(const void*, std::size_t, std::uint32_t) { return -1; }
long TlsClient::Receive(void*, std::size_t, std::uint32_t) { return -1; }
bool TlsClient::PeerGone() { return true; }
void TlsClient::Close() {}

}  // namespace wl::platform
