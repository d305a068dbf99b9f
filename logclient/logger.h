// The library's way to log through the process's Logger. The Logger itself
// (queue, sender thread, link to the service) arrives later; until then
// WriteLog delivers nowhere.
#pragma once

#include <cstdint>
#include <functional>
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

// Hands a message to the process's Logger with the given source and level;
// dropped when there is no Logger. Never fails visibly. Any thread.
void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text);
// The same with the Logger's default source (1).
void WriteLog(std::uint16_t level, std::wstring_view text);

// Sees every WriteLog call (source, level, text) before it is delivered, so
// that tests can check the library's reports. An empty function removes the
// observer. The observer runs on the calling thread and must not call
// WriteLog itself.
using WriteLogObserver = std::function<void(std::uint16_t, std::uint16_t, std::wstring_view)>;
void SetWriteLogObserverForTesting(WriteLogObserver observer);

}  // namespace wl
