#include "logclient/log_tables.h"

#include <algorithm>
#include <array>

#include "diagnostics/write_log.h"

namespace wl {
namespace {

struct SourceRow {
  SourceNumber number;
  std::wstring_view name;
};

struct LevelRow {
  LevelNumber number;
  std::wstring_view name;
  std::wstring_view code;
};

struct SourceFilePair {
  SourceNumber source;
  std::uint16_t fileIndex;
};

// Sources 1 and 36, and 8 and 9, share a name: they are different sources
// that render the same.
constexpr std::array<SourceRow, kSourceCount> kSources{{
    {0, L"** Global **"}, {1, L"Wayline"},  {2, L"Gantry"},    {3, L"Metronome"}, {4, L"Refresher"},   {5, L"Harbor"},
    {6, L"Tailor"},       {7, L"Lift"},     {8, L"Patchwork"}, {9, L"Patchwork"}, {10, L"Setter"},     {11, L"Watcher"},
    {12, L"Glance"},      {13, L"Dial"},    {14, L"Tunnel"},   {15, L"Hoist"},    {16, L"Hoist Host"}, {17, L"Rampart"},
    {18, L"Sieve"},       {19, L"Ledger"},  {20, L"Seal"},     {21, L"Lookout"},  {22, L"Steward"},    {23, L"Parcel"},
    {24, L"Mover"},       {25, L"Envoy"},   {26, L"Keyring"},  {27, L"AirPass"},  {28, L"Tally"},      {29, L"Tracer"},
    {30, L"Cipher"},      {31, L"Airwave"}, {32, L"Warrant"},  {33, L"DevCtl"},   {34, L"Compass"},    {35, L"Bridge"},
    {36, L"Wayline"},
}};

// The levels that WriteLog takes are the rows of this table.
static_assert(kLevelCount == kLevelDebug2 + 1);
constexpr std::array<LevelRow, kLevelCount> kLevels{{
    {0, L"Global", L"N"},
    {1, L"Critical", L"C"},
    {2, L"Error", L"E"},
    {3, L"Warning", L"W"},
    {4, L"Info", L"I"},
    {5, L"Debug", L"D"},
    {6, L"Debug2", L"2"},
}};

// No source maps to file 7 or 14; source 36 reaches file 14 only through
// the writer's trace-flag route.
constexpr std::array<SourceFilePair, kSourceCount> kSourceFiles{{
    {0, 0},  {1, 0},  {2, 0},  {3, 1},  {4, 1},   {5, 1},   {6, 1},  {7, 0},   {8, 1},   {9, 0},
    {10, 5}, {11, 4}, {12, 5}, {13, 5}, {14, 2},  {15, 6},  {16, 6}, {17, 1},  {18, 1},  {19, 5},
    {20, 2}, {21, 3}, {22, 8}, {23, 9}, {24, 10}, {25, 11}, {26, 2}, {27, 12}, {28, 13}, {29, 0},
    {30, 2}, {31, 5}, {32, 0}, {33, 2}, {34, 2},  {35, 1},  {36, 0},
}};

constexpr std::array<std::wstring_view, kLogFileCount> kFileNames{{
    L"Wayline",
    L"WaylineSvc",
    L"Tunnel",
    L"Lookout",
    L"Watcher",
    L"SetterCfg",
    L"Sentry",
    L"tslfw",
    L"Keeper",
    L"Parcel",
    L"Mover",
    L"EnvoyMsg",
    L"AirPass",
    L"Tally",
    L"Digest",
}};

// The first row whose number is not less than `number`, or end.
template <typename Table, typename Key>
auto LowerBound(const Table& table, std::uint16_t number, Key key) {
  return std::lower_bound(table.begin(), table.end(), number,
                          [key](const auto& row, std::uint16_t wanted) { return key(row) < wanted; });
}

}  // namespace

std::wstring_view LookupSourceName(SourceNumber source) {
  auto row = LowerBound(kSources, source, [](const SourceRow& r) { return r.number; });
  return row != kSources.end() && row->number == source ? row->name : std::wstring_view();
}

LevelText LookupLevel(LevelNumber level) {
  auto row = LowerBound(kLevels, level, [](const LevelRow& r) { return r.number; });
  if (row == kLevels.end() || row->number != level) return {};
  return {row->name, row->code};
}

std::wstring_view LevelCode(LevelNumber level) { return LookupLevel(level).code; }

std::uint16_t FileIndexForSource(SourceNumber source) {
  auto pair = LowerBound(kSourceFiles, source, [](const SourceFilePair& p) { return p.source; });
  return pair != kSourceFiles.end() ? pair->fileIndex : 0;
}

std::wstring_view LogFileBaseName(std::uint16_t index) {
  return index < kFileNames.size() ? kFileNames[index] : std::wstring_view();
}

}  // namespace wl
