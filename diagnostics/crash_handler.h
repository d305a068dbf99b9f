// Crash handling: a process that dies of a fault leaves a minidump in the
// product's folder under the common application data
// (<ProgramData>\Kestrix\Wayline\; for a process of an ordinary user, the
// same folder under the user's own data, see platform/known_folder.h), named
// "<program>_<version>_<YYYY_MM_DD_hh_mm_ss>.dmp" after the executable, the
// ProductVersion of the installed Wayline.exe (empty when it cannot be read)
// and the local time; runtime invalid-parameter faults are logged and turned
// into exception 0xE0000001, which leaves a dump the same way.
//
// The parts of the name and the DumpType value are read when the handlers
// are installed and again whenever the code runs in an ordinary context
// before a dump: on Windows in the filter itself, on both systems in the
// invalid-parameter handler before it raises. On Linux a fault's filter runs
// in a signal handler and uses what was read last (only the time is read at
// the crash), since reading files and the registry there is not safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crash/crash.h"
#include "platform/invalid_parameter.h"
#include "platform/types.h"

namespace wl {

// Raised (continuable, no arguments) after an invalid parameter.
inline constexpr std::uint32_t kInvalidParameterExceptionCode = 0xE0000001;

// Owned by the process entry for the life of the process: installs the
// handlers when made and restores the previous invalid-parameter handler
// when destroyed (the exception filter stays until the process ends).
class CrashHandlerScope {
 public:
  CrashHandlerScope();
  ~CrashHandlerScope();
  CrashHandlerScope(const CrashHandlerScope&) = delete;
  CrashHandlerScope& operator=(const CrashHandlerScope&) = delete;

  // The invalid-parameter handler that was installed before ours; null when
  // there was none or it has been restored.
  platform::InvalidParameterCallback previousHandler = nullptr;
};

// Sets OnUnhandledException as the process's exception filter and
// InvalidParameterHandler as the runtime's invalid-parameter handler, and
// keeps the previous one in scope (unless that was ours already, so that
// installing twice still restores the handler found first). Call from the
// main thread (on Linux it gets the alternate stack on which a stack
// overflow is caught).
void InstallCrashHandlers(CrashHandlerScope& scope);

// Reinstates the stored previous invalid-parameter handler, if one was
// stored, and clears it.
void RestoreCrashHandlers(CrashHandlerScope& scope);

// The exception filter: writes the dump; returns 0 (continue search), so
// the system's default handling ends the process.
std::int32_t OnUnhandledException(const platform::CrashInfo* info);

// Writes the dump (best effort: no file, no dump and no message); returns 0.
// info may be null (a dump without exception information).
std::int32_t WriteCrashDump(const platform::CrashInfo* info);

// Logs "Invalid parameter detected in function {}. File: {} Line: {}" (when
// function, file and line are given) and "Expression: {}" (when expression
// is) with source 1, level Critical, waits 250 ms for the Logger to deliver
// them and raises kInvalidParameterExceptionCode.
void InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                             std::uintptr_t reserved);

// HKLM\Software\Kestrix\Wayline\DumpType (32 bits), 0 when unreadable. The
// number is the dump writer's flag set, not checked.
std::uint32_t ReadDumpType();

// ProductVersion of Wayline.exe in the installation folder, or empty.
std::wstring GetProductVersion();

// Reads again what the dump's name and detail come from (folder, program
// name, product version, DumpType, the local time's offsets). Ordinary
// context only; any thread.
void RefreshCrashDumpSettings();

// "{}{}_{}_{}.dmp" of folder, program, version and the time stamp
// "{:04}_{:02}_{:02}_{:02}_{:02}_{:02}", null-terminated in out, without
// allocating (it runs in the signal handler on Linux). Returns the length,
// or 0 when it does not fit.
std::size_t FormatCrashDumpPath(std::span<wchar_t> out, std::wstring_view folder, std::wstring_view program,
                                std::wstring_view version, const LocalTime& time);

// The last component of an executable's path without its extension.
std::wstring_view ProgramNameFromPath(std::wstring_view path);

}  // namespace wl
