#include "service/status_file.h"

#include "diagnostics/format.h"
#include "diagnostics/path_data.h"
#include "platform/file_system.h"
#include "platform/machine_root.h"
#include "platform/replace_file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/wall_clock.h"

namespace wl {
namespace {

std::wstring StatusFolder() {
  std::wstring root = platform::MachineRoot();
  if (root.empty()) root = GetDataFolder();
  return platform::JoinPath(root, L"run");
}

}  // namespace

std::wstring StatusFilePath(std::wstring_view fileName) { return platform::JoinPath(StatusFolder(), fileName); }

void WriteStatusFile(std::wstring_view fileName, std::string lines) {
  lines += "pid=" + std::to_string(platform::GetCurrentProcessId()) + "\n";
  platform::CivilTime now = platform::LocalCivilTime(platform::WallClockMicroseconds());
  lines += platform::Utf8FromWide(Format(L"updated={:04}-{:02}-{:02}T{:02}:{:02}:{:02}\n", now.year, now.month, now.day,
                                         now.hour, now.minute, now.second));
  (void)platform::MakeDirectory(StatusFolder());
  (void)platform::ReplaceFileContents(StatusFilePath(fileName), lines);
}

}  // namespace wl
