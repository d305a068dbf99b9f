// The operator's tool (scribe) as a library: it logs messages, shows and
// sets levels, resets the logs, lists the log files and follows one of
// them, reaching the one TraceLogManager object as any client does. It
// talks to the user only through a console of the tools' kit, so that the
// tests run its commands in-process:
//   log [-s SOURCE] [-l LEVEL] [TEXT...]
//   level [[SOURCE] LEVEL]
//   reset
//   files
//   follow [-n LINES] COMPONENT
// See docs/running.md. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logclient/log_tables.h"
#include "tools/cli/cli.h"

namespace wl {

// Exit codes of the tool: those of the kit (cli::kExitDone; cli::kExitUsage
// for a bad command line: unknown command, source, level, number;
// cli::kExitFailed when a call, a file or the standard output failed), and
// one of its own:
inline constexpr int kScribeUnreachable = 3;  // the log service cannot be reached

// How often follow looks at the file.
inline constexpr std::uint32_t kFollowPollMilliseconds = 200;

// Runs one command line (the arguments after the program name) and returns
// one of the exit codes above, after a message on err for any but success.
// follow goes on while the console is running, looking every
// pollMilliseconds.
[[nodiscard]] int RunScribeTool(const std::vector<std::wstring>& arguments, const cli::Console& console,
                                std::uint32_t pollMilliseconds = kFollowPollMilliseconds);

// A source by number (0 to 36, decimal or 0x) or by name without regard to
// case. nullopt with a message for an unknown, ambiguous or out-of-range one.
std::optional<SourceNumber> ParseSourceArgument(std::wstring_view text, std::wstring* message);
// A level by number (0 to 6), name or one-letter code, without regard to
// case; nullopt with a message.
std::optional<LevelNumber> ParseLevelArgument(std::wstring_view text, std::wstring* message);
// A log file by base name (with or without ".log"), or the file of a
// source given by name or number; nullopt with a message.
std::optional<std::uint16_t> ParseComponentArgument(std::wstring_view text, std::wstring* message);

// The longest message that one call carries, in wide characters; longer
// texts go as several messages, cut between characters.
inline constexpr std::size_t kMaxMessageCharacters = 1u << 19;
// A text cut into pieces of at most `limit` characters, never between the
// two halves of a surrogate pair. An empty text gives one empty piece.
std::vector<std::wstring_view> SplitMessage(std::wstring_view text, std::size_t limit = kMaxMessageCharacters);

// Turns bytes read from a log file into the lines to print: a byte-order
// mark at the file's start (atFileStart) is left out and every CR LF
// becomes LF.
std::string PrintableLogBytes(std::string_view bytes, bool atFileStart);

}  // namespace wl
