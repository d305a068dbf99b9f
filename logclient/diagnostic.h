// Diagnostic lines: "[name        ] MM/DD hh:mm:ss.mmm ppppp-ttttt: text",
// built locally and handed to the FileLogger, so they do not depend on the
// log service. Any thread may call these; none reports failure, and a line is
// dropped when the FileLogger singleton is gone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "diagnostics/error_text.h"
#include "diagnostics/trace_flags.h"
#include "platform/types.h"

namespace wl {

inline constexpr std::wstring_view kInfoPrefix = L"Info:  ";
inline constexpr std::wstring_view kErrorPrefix = L"Error: ";
inline constexpr std::wstring_view kDebugPrefix = L"Debug: ";

// Local time and thread of a diagnostic line.
struct TimeAndThread {
  LocalTime time;
  std::uint32_t threadId = 0;
};

// The 12-character name column: the name (or, when empty, the module's base
// name without extension) padded with blanks or cut.
std::wstring FormatDiagnosticName(std::wstring_view name);
// "{:02}/{:02} {:02}:{:02}:{:02}.{:03} {:05x}-{:05x}: " with this process's id.
std::wstring FormatDiagnosticPrefix(const TimeAndThread& timeAndThread);
// The same, appended to out: the Logger stamps every record this way, so it
// is written out by hand rather than through the formatter.
void AppendDiagnosticPrefix(std::wstring& out, const TimeAndThread& timeAndThread);
// "{:02}/{:02} {:02}:{:02}:{:02}.{:03}            : ".
std::wstring FormatTimestampPrefix(const LocalTime& localTime);

// The line "[" name column "] " prefix message, with a line feed added when
// the message has none; the message is not formatted. An empty name means
// the module's name.
void WriteDiagnostic(std::wstring_view message);
void WriteDiagnosticAs(std::wstring_view name, std::wstring_view message);

// How the library reports its own troubles as diagnostic lines, never to a
// caller and never into a component log file.
//
// "Error: " + SafeFormat(code, format, args...): the error suffix when the
// code is not 0, doubled braces become single ones, and an argument that
// cannot be formatted (a null text) yields the composer's replacement text.
template <typename... Args>
void DiagnosticError(std::uint32_t errorCode, std::wstring_view format, const Args&... args) {
  std::wstring text(kErrorPrefix);
  text += SafeFormat(errorCode, format, args...);
  WriteDiagnostic(text);
}
// "Debug: " + SafeFormat(format, args...), only while trace-flag bit 16 is
// set; nothing is built otherwise.
template <typename... Args>
void DiagnosticDebug(std::wstring_view format, const Args&... args) {
  if (!IsTraceFlagSet(kTraceFlagDebugDiagnostics)) return;
  std::wstring text(kDebugPrefix);
  text += SafeFormat(format, args...);
  WriteDiagnostic(text);
}

// Makes what the Linux COM transport reports about a server's connections
// diagnostic lines: "Error: " + the text for a refused connection or frame,
// "Debug: " + the text for each client's credentials, only while trace-flag
// bit 16 is set. For server processes, before their threads start (it makes
// the daily file's logger); nothing on Windows.
void SendComReportsToDiagnostics();

// Makes what the platform layer refused to use (platform/refusal_report.h:
// a registry hive, a status file or a program that another account could
// have planted) "Error: " diagnostic lines. For server processes.
void SendRefusalsToDiagnostics();

}  // namespace wl
