#include "logclient/diagnostic.h"

#include "com/com.h"
#include "diagnostics/clock.h"
#include "diagnostics/path_data.h"
#include "diagnostics/trace_flags.h"
#include "logclient/file_logger.h"
#include "platform/refusal_report.h"
#include "platform/system.h"
#include "platform/text.h"

namespace wl {
namespace {

constexpr std::size_t kNameColumnWidth = 12;

// The executable's file name without directories and without the extension
// (everything from the last dot of the name on).
std::wstring ModuleBaseName() {
  std::wstring path = GetExecutablePath();
  std::size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(dot);
  return name;
}

}  // namespace

std::wstring FormatDiagnosticName(std::wstring_view name) {
  std::wstring column = name.empty() ? ModuleBaseName() : std::wstring(name);
  column.resize(kNameColumnWidth, L' ');
  return column;
}

void AppendDiagnosticPrefix(std::wstring& out, const TimeAndThread& timeAndThread) {
  const LocalTime& time = timeAndThread.time;
  platform::AppendDecimal(out, time.month, 2);
  out += L'/';
  platform::AppendDecimal(out, time.day, 2);
  out += L' ';
  platform::AppendDecimal(out, time.hour, 2);
  out += L':';
  platform::AppendDecimal(out, time.minute, 2);
  out += L':';
  platform::AppendDecimal(out, time.second, 2);
  out += L'.';
  platform::AppendDecimal(out, time.milliseconds, 3);
  out += L' ';
  platform::AppendHex(out, platform::GetCurrentProcessId(), 5);
  out += L'-';
  platform::AppendHex(out, timeAndThread.threadId, 5);
  out += L": ";
}

std::wstring FormatDiagnosticPrefix(const TimeAndThread& timeAndThread) {
  std::wstring prefix;
  prefix.reserve(32);
  AppendDiagnosticPrefix(prefix, timeAndThread);
  return prefix;
}

std::wstring FormatTimestampPrefix(const LocalTime& localTime) {
  // Twelve blanks where the diagnostic prefix has its ids, so that the colon
  // falls in the same column.
  return Format(L"{:02}/{:02} {:02}:{:02}:{:02}.{:03}            : ", std::uint32_t{localTime.month},
                std::uint32_t{localTime.day}, std::uint32_t{localTime.hour}, std::uint32_t{localTime.minute},
                std::uint32_t{localTime.second}, std::uint32_t{localTime.milliseconds});
}

void WriteDiagnostic(std::wstring_view message) { WriteDiagnosticAs({}, message); }

void WriteDiagnosticAs(std::wstring_view name, std::wstring_view message) {
  TimeAndThread timeAndThread{LocalNow(), platform::GetCurrentThreadId()};
  std::wstring line = L"[";
  line += FormatDiagnosticName(name);
  line += L"] ";
  line += FormatDiagnosticPrefix(timeAndThread);
  line += message;
  if (line.back() != L'\n') line += L'\n';
  FileLog(line);
}

void SendComReportsToDiagnostics() {
  // The transport's threads report as soon as clients connect: the file's
  // logger exists before they do.
  MakeFileLogger();
  platform::SetComReportSink([](platform::ComReport kind, std::wstring_view text) {
    // The texts hold braces (a CLSID): they are written as they are, not formatted.
    if (kind == platform::ComReport::kError) {
      WriteDiagnostic(std::wstring(kErrorPrefix) + std::wstring(text));
    } else if (IsTraceFlagSet(kTraceFlagDebugDiagnostics)) {
      WriteDiagnostic(std::wstring(kDebugPrefix) + std::wstring(text));
    }
  });
}

void SendRefusalsToDiagnostics() {
  platform::SetRefusalSink(
      [](std::wstring_view text) { WriteDiagnostic(std::wstring(kErrorPrefix) + std::wstring(text)); });
}

}  // namespace wl
