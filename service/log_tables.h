// The constant tables of the log service: its 37 sources, 7 levels and 15
// log files, and the map from source to file.
#pragma once

#include <cstdint>

namespace wl {

using SourceNumber = std::uint16_t;
using LevelNumber = std::uint16_t;

inline constexpr SourceNumber kSourceCount = 37;
inline constexpr LevelNumber kLevelCount = 7;
inline constexpr std::uint16_t kLogFileCount = 15;

}  // namespace wl
