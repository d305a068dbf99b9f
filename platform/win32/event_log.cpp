// The event log on Windows: the system's own.
#include "platform/event_log.h"

#include <windows.h>

namespace wl::platform {

Win32Error RegisterEventSourceW(std::wstring_view sourceName, EventSourceHandle* source) {
  if (source == nullptr) return kErrorInvalidParameter;
  HANDLE handle = ::RegisterEventSourceW(nullptr, std::wstring(sourceName).c_str());
  *source = reinterpret_cast<EventSourceHandle>(handle);
  return handle == nullptr ? Win32Error(::GetLastError()) : kErrorSuccess;
}

Win32Error ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                        const std::vector<std::wstring>& strings) {
  std::vector<LPCWSTR> pointers;
  for (const auto& string : strings) pointers.push_back(string.c_str());
  BOOL done =
      ::ReportEventW(reinterpret_cast<HANDLE>(source), type, category, eventId, nullptr,
                     static_cast<WORD>(pointers.size()), 0, pointers.empty() ? nullptr : pointers.data(), nullptr);
  return done ? kErrorSuccess : Win32Error(::GetLastError());
}

Win32Error DeregisterEventSource(EventSourceHandle source) {
  return ::DeregisterEventSource(reinterpret_cast<HANDLE>(source)) ? kErrorSuccess : Win32Error(::GetLastError());
}

}  // namespace wl::platform
