// The daily fallback file: diagnostic lines appended, under the cross-process
// mutex "TesselFileLogger", to <data folder>/<program>_YYYY-MM-DD.log while
// file output is switched on (it starts off).
#pragma once

#include <string>
#include <string_view>

namespace wl {

class FileLogger;

// Queues one finished line for the process's FileLogger (dropped when the
// singleton is gone). Any thread.
void FileLog(std::wstring_view line);

// The file-output switch of the process's FileLogger.
void SetFileOutput(bool on);

}  // namespace wl
