// The Windows build has no RELP library: a relp:// target is refused when
// the forwarding settings are read, and these calls all fail.
#include "platform/relp_client.h"

namespace wl::platform {
namespace {
constexpr Win32Error kNotSupported = 50;
}  // namespace

struct RelpClient::State {};

RelpClient::RelpClient() = default;
RelpClient::~RelpClient() = default;
bool RelpClient::Supported() { return false; }
Win32Error RelpClient::Connect(std::string_view, std::uint16_t, std::uint32_t, const TlsSettings*) {
  return kNotSupported;
}
Win32Error RelpClient::Send(std::string_view) { return kNotSupported; }
Win32Error RelpClient::Reconnect() { return kNotSupported; }
void RelpClient::Close() {}
bool RelpClient::Connected() const { return false; }
std::string RelpClient::LastError() const { return "this build has no RELP"; }

}  // namespace wl::platform
