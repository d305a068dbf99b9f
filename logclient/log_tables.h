// The constant tables of the log: its 37 sources, 7 levels and 15 log
// files, and the map from source to file. The client's Logger and the
// service both read them. The tables are compiled in, ordered by number, and
// never change; any thread may read them.
#pragma once

#include <cstdint>
#include <string_view>

#include "diagnostics/format.h"

namespace wl {

using SourceNumber = std::uint16_t;
using LevelNumber = std::uint16_t;

inline constexpr SourceNumber kSourceCount = 37;
inline constexpr LevelNumber kLevelCount = 7;
inline constexpr std::uint16_t kLogFileCount = 15;

// The pseudo-source of the service as a whole, "** Global **" (file 0).
inline constexpr SourceNumber kGlobalSource = 0;

// The source whose lines also go to the digest file while trace-flag bit 31
// is set, and that file's index.
inline constexpr SourceNumber kDigestSource = 36;
inline constexpr std::uint16_t kDigestFileIndex = 14;

// The longest source name; the name column of a log line is this wide.
inline constexpr std::size_t kSourceNameWidth = 12;

// The name of a source ("** Global **", "Wayline", ...); empty for a number
// that is not in the table (37 and above).
std::wstring_view LookupSourceName(SourceNumber source);

struct LevelText {
  std::wstring_view name;
  std::wstring_view code;
};

// The name and one-character code of a level ("Warning", "W"); two empty
// texts for a number that is not in the table (7 and above).
LevelText LookupLevel(LevelNumber level);
// Only the code of a level; empty for a number that is not in the table.
std::wstring_view LevelCode(LevelNumber level);

// The index of the log file that receives a source's lines; 0 for a number
// past the end of the map.
std::uint16_t FileIndexForSource(SourceNumber source);

// The base name of log file `index` ("Wayline", "Tunnel", ...); empty past
// the end of the table.
std::wstring_view LogFileBaseName(std::uint16_t index);

// A source number that formats as its name: with wl::Format, "{:<12}" of
// LogSource{21} gives "Lookout     ". Width and alignment apply to the name
// as they would to a string.
struct LogSource {
  SourceNumber value = 0;
};

// A level that formats as its one-character code ("W" for 3, empty text for
// a level outside the table), with width and alignment as for a string.
struct LogLevel {
  LevelNumber value = 0;
};

}  // namespace wl

template <>
struct fmt::formatter<wl::LogSource, wchar_t> : wl::WideStringFormatter {
  template <typename FormatContext>
  auto format(wl::LogSource source, FormatContext& context) const {
    return wl::WideStringFormatter::format(wl::LookupSourceName(source.value), context);
  }
};

template <>
struct fmt::formatter<wl::LogLevel, wchar_t> : wl::WideStringFormatter {
  template <typename FormatContext>
  auto format(wl::LogLevel level, FormatContext& context) const {
    return wl::WideStringFormatter::format(wl::LevelCode(level.value), context);
  }
};
