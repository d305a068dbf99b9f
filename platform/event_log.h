// The event log: RegisterEventSourceW, ReportEventW and DeregisterEventSource
// on the local computer. On Linux syslog(3), the source's name as the
// identity and the texts unchanged (facility daemon; information events at
// LOG_INFO, warnings at LOG_WARNING, errors at LOG_ERR).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace wl::platform {

inline constexpr std::uint16_t kEventLogErrorType = 0x0001;
inline constexpr std::uint16_t kEventLogWarningType = 0x0002;
inline constexpr std::uint16_t kEventLogInformationType = 0x0004;

struct EventSourceObject;
using EventSourceHandle = EventSourceObject*;

// RegisterEventSourceW(nullptr, sourceName).
[[nodiscard]] Win32Error RegisterEventSourceW(std::wstring_view sourceName, EventSourceHandle* source);

// ReportEventW without a user and raw data; the strings are the event's
// insertion strings.
[[nodiscard]] Win32Error ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                                      std::uint32_t eventId, const std::vector<std::wstring>& strings);

// DeregisterEventSource.
[[nodiscard]] Win32Error DeregisterEventSource(EventSourceHandle source);

}  // namespace wl::platform
