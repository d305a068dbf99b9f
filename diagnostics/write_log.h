// WriteLog: the library's way to hand a message to the process's Logger. The
// Logger lives above this folder (logclient/) and installs itself as the
// target of WriteLog; until a target is installed, messages go nowhere.
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

// Hands a message to the installed target with the given source and level;
// dropped when there is none. Never fails visibly. Any thread.
void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text);
// The same with the Logger's default source (1).
void WriteLog(std::uint16_t level, std::wstring_view text);

// Receives every WriteLog call (source, level, text) on the calling thread;
// it must not call WriteLog itself.
using WriteLogTarget = std::function<void(std::uint16_t, std::uint16_t, std::wstring_view)>;

// Installs the target of WriteLog for the whole process (an empty function
// removes it) and returns the one it replaces, so that a test can put it
// back. Any thread; a call in progress finishes with the previous target.
WriteLogTarget SetWriteLogTarget(WriteLogTarget target);

}  // namespace wl
