// WriteLog: the library's way to report a message at a level to the log
// service, through the process's Logger.
//
// Declared here, below the Logger, so that the support functions of this
// folder can report; the Logger lives above (logclient/), so this layer owns
// only a sink, which a program sets once at its start to route the reports
// to its Logger (logclient/logger.h: SendReportsToLogger). Until a sink is
// set, and in a program that never sets one, a report is dropped.
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

// Hands a message to the sink with the given source and level; dropped when
// there is none. Never fails visibly. Any thread.
void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text);
// The same with the default source (1).
void WriteLog(std::uint16_t level, std::wstring_view text);

// Where WriteLog hands its messages. A plain function, so that nothing needs
// to be destroyed when the process exits: the sink itself decides what to do
// with a message then.
using LogSink = void (*)(std::uint16_t source, std::uint16_t level, std::wstring_view text);
// Makes `sink` receive every WriteLog from now on (null: drop them) and
// returns the sink it replaces. WriteLog reads it without a lock; a call
// already in the replaced sink may still finish there. Any thread.
LogSink SetLogSink(LogSink sink);

}  // namespace wl
