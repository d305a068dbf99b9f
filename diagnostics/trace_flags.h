// Per-user trace flags (TraceFlags, refreshed at most every 11 seconds), the
// machine-wide trace level (TraceLevel) and the logged-on user's SID.
// Any thread may call these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace wl {

inline constexpr std::uint32_t kTraceFlagDebugDiagnostics = 16;
inline constexpr std::uint32_t kTraceFlagDigest = 31;
inline constexpr std::uint32_t kTraceFlagAlways = 32;

// The flag set, read from the registry when more than 10 whole seconds have
// passed since the last read; 0 when nothing can be read.
std::uint32_t GetTraceFlags();

// True for bit 32 (without reading anything); otherwise the bit numbered by
// the low five bits of `bit` in GetTraceFlags().
bool IsTraceFlagSet(std::uint32_t bit);

// A 32-bit value under the user's (or, for SYSTEM, the logged-on user's)
// Software\Kestrix\Wayline\CurrentInstall; 0 when missing.
std::uint32_t ReadUserSettingDword(std::wstring_view valueName);

// The SID string of an account; returns the Win32 code of the failure.
[[nodiscard]] Win32Error GetUserSidString(std::wstring_view accountName, std::wstring& out);

// HKLM\Software\Kestrix\Wayline\TraceLevel (low 16 bits); 4 when missing.
std::uint16_t ReadTraceLevel();

}  // namespace wl
