// Output sinks for the library's own text, and the DebugOutput switch.
#pragma once

#include <string_view>

#include "diagnostics/scope_tracer.h"

namespace wl {

enum class LogOutput : int { Debug = 0 };

class LogOutputHelper {
 public:
  // The sink for a LogOutput value: Debug yields WriteDebugOutput.
  static OutputFunction GetLogOutput(LogOutput output);
};

// HKLM\Software\Kestrix\Wayline\CurrentInstall\DebugOutput, re-read when
// 11 seconds or more have passed since the last read.
bool IsDebugOutputEnabled();

// "TESSEL: {}\n" around SafeFormat(text), to the debug output when enabled.
void WriteDebugOutput(std::wstring_view text);

// "TESSEL: {}\n" around an already finished message, to the debug output
// when enabled.
void WriteDebugMessage(std::wstring_view message);

}  // namespace wl
