#include "platform/syslog_socket.h"

// Windows programs log to the event log, which plays the syslog intake's
// part there: no socket is offered.
namespace wl::platform {
namespace {

std::wstring NotOffered(const std::wstring& path) {
  return L"the socket " + path +
         L" is not offered: the syslog intake runs on Linux only (the event log plays its "
         L"part on Windows)";
}

}  // namespace

struct SyslogReceiver::State {};

bool SyslogReceiver::Supported() { return false; }
SyslogReceiver::SyslogReceiver() = default;
SyslogReceiver::~SyslogReceiver() = default;
std::wstring SyslogReceiver::OpenDatagram(const std::wstring& path) { return NotOffered(path); }
std::wstring SyslogReceiver::OpenStream(const std::wstring& path) { return NotOffered(path); }
std::wstring SyslogReceiver::TakeDatagram(const std::wstring& path) { return NotOffered(path); }
bool SyslogReceiver::Open() const { return false; }
void SyslogReceiver::Receive(std::uint32_t, SyslogSink&) {}
void SyslogReceiver::Wake() {}
void SyslogReceiver::Close() {}

}  // namespace wl::platform
