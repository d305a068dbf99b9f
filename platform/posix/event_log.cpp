// The event log on Linux: syslog(3), facility daemon, with the source's name
// as the identity and the process id in each line.
#include "platform/event_log.h"

#include <syslog.h>

#include <mutex>
#include <string>

#include "platform/text.h"

namespace wl::platform {

struct EventSourceObject {
  std::string identity;
};

namespace {

// openlog keeps the identity pointer and the connection is process-wide,
// so reports take turns.
std::mutex& SyslogLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

int Priority(std::uint16_t type) {
  if ((type & kEventLogErrorType) != 0) return LOG_ERR;
  if ((type & kEventLogWarningType) != 0) return LOG_WARNING;
  return LOG_INFO;
}

}  // namespace

Win32Error RegisterEventSourceW(std::wstring_view sourceName, EventSourceHandle* source) {
  if (source == nullptr) return kErrorInvalidParameter;
  *source = nullptr;
  if (sourceName.empty()) return kErrorInvalidParameter;
  *source = new EventSourceObject{Utf8FromWide(sourceName)};
  return kErrorSuccess;
}

Win32Error ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint16_t, std::uint32_t,
                        const std::vector<std::wstring>& strings) {
  if (source == nullptr) return kErrorInvalidHandle;
  std::string text;
  for (const auto& string : strings) {
    if (!text.empty()) text += ' ';
    text += Utf8FromWide(string);
  }
  std::lock_guard lock(SyslogLock());
  openlog(source->identity.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(Priority(type), "%s", text.c_str());
  closelog();
  return kErrorSuccess;
}

Win32Error DeregisterEventSource(EventSourceHandle source) {
  if (source == nullptr) return kErrorInvalidHandle;
  delete source;
  return kErrorSuccess;
}

}  // namespace wl::platform
