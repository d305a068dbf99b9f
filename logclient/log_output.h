// Output sinks for the library's own text (scope traces, the FileLogger's and
// the link's failure messages), and the DebugOutput switch that lets that
// text reach the debug output. Any thread may call these.
#pragma once

#include <functional>
#include <string_view>

#include "diagnostics/scope_tracer.h"

namespace wl {

// Names an output sink. Debug (0) is the debug output, the only sink there is.
enum class LogOutput : int { Debug = 0 };

class LogOutputHelper {
 public:
  // The sink for a LogOutput value, as a callable that keeps no state:
  // WriteDebugOutput (for every value, since it is the only sink).
  static OutputFunction GetLogOutput(LogOutput output);
};

// HKLM\Software\Kestrix\Wayline\CurrentInstall\DebugOutput (non-zero = on),
// re-read when 11 seconds or more have passed since the last read; a key that
// cannot be opened keeps the previous answer. Off until first read.
bool IsDebugOutputEnabled();

// Passes the text through SafeFormat (so "{{" shows as "{"), puts
// "TESSEL: {}\n" around it and sends it to the debug output when enabled.
void WriteDebugOutput(std::wstring_view text);

// "TESSEL: {}\n" around an already finished message (no SafeFormat step), to
// the debug output when enabled.
void WriteDebugMessage(std::wstring_view message);

// Sends text to the debug output as it is, without the prefix and without
// asking the switch (callers ask IsDebugOutputEnabled themselves).
void SendToDebugOutput(std::wstring_view text);

// Replaces the debug output (OutputDebugStringW) for the whole process, so
// that tests can see what reaches it. An empty function restores the real
// one. The sink runs on the calling thread.
using DebugOutputSink = std::function<void(std::wstring_view)>;
void SetDebugOutputSinkForTesting(DebugOutputSink sink);

}  // namespace wl
