#include "logclient/log_tables.h"

#include <gtest/gtest.h>

#include "diagnostics/format.h"

namespace wl {
namespace {

TEST(LogTables, SourcesRenderTheirNamesAndPickTheirFiles) {
  struct Row {
    SourceNumber source;
    std::wstring_view name;
    std::uint16_t file;
  };
  // Pairs that share a name are different sources: 1 and 36 share a file,
  // 8 and 9 do not.
  for (const Row& row : {Row{0, L"** Global **", 0}, Row{36, L"Wayline", 0}, Row{8, L"Patchwork", 1},
                         Row{9, L"Patchwork", 0}, Row{16, L"Hoist Host", 6}}) {
    EXPECT_EQ(LookupSourceName(row.source), row.name) << row.source;
    EXPECT_EQ(FileIndexForSource(row.source), row.file) << row.source;
  }
  EXPECT_EQ(LookupSourceName(37), L"");
  EXPECT_EQ(LookupSourceName(65535), L"");
  EXPECT_EQ(FileIndexForSource(37), 0);
  EXPECT_EQ(LogFileBaseName(2), L"Tunnel");
  EXPECT_EQ(LogFileBaseName(14), L"Digest");
  EXPECT_EQ(LogFileBaseName(15), L"");
}

TEST(LogTables, FormattersRenderLikeStrings) {
  EXPECT_EQ(Format(L"[{:<12}]", LogSource{21}), L"[Lookout     ]");
  EXPECT_EQ(Format(L"[{:>9}]", LogSource{3}), L"[Metronome]");
  EXPECT_EQ(Format(L"[{:^5}]", LogLevel{3}), L"[  W  ]");
  EXPECT_EQ(Format(L"[{}]", LogLevel{9}), L"[]");
  EXPECT_EQ(Format(L"[{}]", LogSource{40}), L"[]");
  EXPECT_EQ(Format(L"source {} level {}", LogSource{0}, LogLevel{6}), L"source ** Global ** level 2");
}

}  // namespace
}  // namespace wl
