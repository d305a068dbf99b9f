// What the command-line tools (wlreg, wlsc, scribe) share: the console their
// commands talk through, the exit codes, the spelling of a request for help,
// and the parsing of the numbers and file names they take. A tool's commands
// live in a library that talks only through a Console, so that the tests run
// them in-process; its program is a thin main that calls RunProgram.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wl::cli {

// Exit codes of every tool. A tool exits with kExitUsage exactly when it
// printed its usage or pointed to it; scribe adds one code of its own for
// the service that cannot be reached.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Where a command's text goes and where its input comes from.
struct Console {
  // Writes UTF-8 bytes to the standard output; false when they cannot be
  // written (a closed pipe, a full disk).
  std::function<bool(std::string_view)> out;
  std::function<void(std::wstring_view)> err;
  // One line of the standard input without its line feed (a CR before it
  // stays); nullopt at the end of the input.
  std::function<std::optional<std::string>()> readLine;
  // A command that goes on until it is stopped asks this between its
  // steps; the programs answer true until the process is interrupted.
  std::function<bool()> running = [] { return true; };

  // Writes wide text to the standard output as UTF-8; false as out.
  [[nodiscard]] bool Print(std::wstring_view text) const;
};

// Whether a tool follows Windows habits (switches such as /v, help as /?)
// or Unix ones.
enum class Habits { kUnix, kWindows };

// "-h" and "--help" for every tool, and "/?" for one with Windows habits.
bool IsHelp(std::wstring_view argument, Habits habits);

// Decimal digits, or 0x and hexadecimal digits (either case), at most
// `limit`; nullopt for anything else: a sign, a blank, a digit that is not
// ASCII, an empty text or a value above the limit.
std::optional<std::uint64_t> ParseNumber(std::wstring_view text, std::uint64_t limit);

// A file name as a path of the standard library, whatever its characters.
std::filesystem::path FilePath(std::wstring_view name);

// The main of a tool's program: runs `tool` with the arguments after the
// program name and a console on the standard streams, and returns its exit
// code. The standard output is flushed after every write, so that a
// question is seen before its answer is read and a followed line reaches a
// pipe as it comes.
int RunProgram(int argc, char** argv, const std::function<int(const std::vector<std::wstring>&, const Console&)>& tool);

}  // namespace wl::cli
