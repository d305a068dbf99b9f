// How the log service core reports its own troubles: as diagnostic lines,
// never to its callers and never into a component log file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "logclient/diagnostic.h"
#include "diagnostics/error_text.h"
#include "diagnostics/trace_flags.h"

namespace wl {

// "Error: " and the composed text (with the error suffix when code is not
// 0) as a diagnostic line.
template <typename... Args>
void ReportError(std::uint32_t code, std::wstring_view format, const Args&... args) {
  std::wstring text(kErrorPrefix);
  text += SafeFormat(code, format, args...);
  WriteDiagnostic(text);
}

// "Debug: " and the composed text as a diagnostic line, only while the
// debug-diagnostics trace flag is set; nothing is built otherwise.
template <typename... Args>
void ReportDebug(std::wstring_view format, const Args&... args) {
  if (!IsTraceFlagSet(kTraceFlagDebugDiagnostics)) return;
  std::wstring text(kDebugPrefix);
  text += SafeFormat(format, args...);
  WriteDiagnostic(text);
}

}  // namespace wl
