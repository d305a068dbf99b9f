// Who may change the service's levels and reset its logs. Every local user
// may, as the interface's rule has it; the setting RestrictControl (a
// non-zero REG_DWORD under HKLM\Software\Kestrix\Wayline, read again at
// most every 11 seconds) narrows it to SYSTEM. A refused call is reported
// as a diagnostic line once per caller and minute, with the count of the
// calls refused since the caller's last report; never once per call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "com/com.h"
#include "diagnostics/refreshed_value.h"

namespace wl {

// The period of the refusal reports of one caller.
inline constexpr std::int64_t kRefusalReportSeconds = 60;

class ControlGate {
 public:
  // caller says who makes the call in progress (tests give their own).
  explicit ControlGate(std::function<platform::ComCaller()> caller = platform::GetComCaller)
      : caller_(std::move(caller)) {}

  // Whether the caller of the call in progress may make it (method names it
  // for the report). Any thread.
  bool Allows(std::wstring_view method);

 private:
  struct Refusals {
    std::int64_t reportedAt = 0;
    std::uint64_t since = 0;
  };

  std::function<platform::ComCaller()> caller_;
  RefreshedValue restricted_{kSettingStaleAfterSeconds};
  std::mutex mutex_;
  std::map<std::wstring, Refusals> refusals_;
};

}  // namespace wl
