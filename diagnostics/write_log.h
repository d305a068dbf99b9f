// WriteLog: the library's way to hand a message to the process's Logger,
// which sends it to the log service.
//
// Declared here, below the Logger, so that the support functions of this
// folder can report; defined by the Logger itself (logclient/logger.cpp),
// which scribe_diagnostics names as a link dependency. A program that calls
// WriteLog therefore always links the Logger: the reference is what pulls
// the Logger's object file out of the static library, so no linker can drop
// it as unreferenced, and a program built without the client library fails
// to link instead of losing its reports.
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

// Hands a message to Singleton<Logger> (Logger::Log) with the given source
// and level; dropped when there is no Logger (while it is made, and once
// the process exits). Never fails visibly. Any thread.
void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text);
// The same with the Logger's default source (1).
void WriteLog(std::uint16_t level, std::wstring_view text);

}  // namespace wl
