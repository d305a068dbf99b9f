// The service's small status files for operators: in <root>/run (without a
// root, as on Windows with no WAYLINE_ROOT: <data folder>\run), one
// name=value per line, UTF-8, LF, each replaced whole so that a reader never
// sees half of one. Two exist: forwarding.status (service/forwarder.h) and
// queue.status (service/trace_log_manager.h).
#pragma once

#include <string>
#include <string_view>

namespace wl {

// The full path of the status file `fileName`.
std::wstring StatusFilePath(std::wstring_view fileName);

// Replaces the status file `fileName` with `lines` (each "name=value\n")
// followed by pid= (this process) and updated= (the local time, to the
// second), making the folder when it is missing. A failure is ignored: the
// file is a courtesy to operators. Any thread.
void WriteStatusFile(std::wstring_view fileName, std::string lines);

}  // namespace wl
