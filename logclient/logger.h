// The library's way to log through the process's Logger. The Logger itself
// (queue, sender thread, link to the service) arrives later; until then
// WriteLog delivers nowhere.
#pragma once

#include <cstdint>
#include <string_view>

namespace wl {

inline constexpr std::uint16_t kLevelGlobal = 0;
inline constexpr std::uint16_t kLevelCritical = 1;
inline constexpr std::uint16_t kLevelError = 2;
inline constexpr std::uint16_t kLevelWarning = 3;
inline constexpr std::uint16_t kLevelInfo = 4;
inline constexpr std::uint16_t kLevelDebug = 5;
inline constexpr std::uint16_t kLevelDebug2 = 6;
inline constexpr std::uint16_t kDefaultLogSource = 1;

void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text);
void WriteLog(std::uint16_t level, std::wstring_view text);

}  // namespace wl
