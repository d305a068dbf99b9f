// Process, thread, time and environment facts from the operating system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace wl::platform {

// GetLocalTime: the current local date and time.
LocalTime GetLocalTime();

// QueryPerformanceCounter converted to nanoseconds: a monotonic clock that
// counts from the machine's start.
std::int64_t SteadyClockNanoseconds();

// GetCurrentProcessId / GetCurrentThreadId.
std::uint32_t GetCurrentProcessId();
std::uint32_t GetCurrentThreadId();

// GetModuleFileNameW(nullptr): the full path of the running executable.
std::wstring GetExecutableFileName();

// GetModuleFileNameW of the module that holds this library (the executable
// itself when the library is linked statically into it).
std::wstring GetLibraryModuleFileName();

// The last system error of the calling thread (GetLastError / errno mapped to
// a Win32 code).
[[nodiscard]] Win32Error GetLastSystemError();

// Environment variables of this process; an unset variable is nullopt.
std::optional<std::wstring> GetEnvVar(std::wstring_view name);
bool SetEnvVar(std::wstring_view name, std::wstring_view value);
bool UnsetEnvVar(std::wstring_view name);

// Marks the calling thread as background work (the log files' flushing): it
// keeps its share of the processor but does not interrupt a running thread
// when it wakes. False when the system has no such mode or refuses.
bool SetCurrentThreadBackground();

// Suspends the calling thread.
void SleepMilliseconds(std::uint32_t milliseconds);

// The version of Wine ("8.0") when this Windows program runs under it;
// nullopt on Windows itself and on Linux. Wine words the system's message
// texts its own way, so checks of the exact Windows texts skip under it.
std::optional<std::wstring> WineVersion();

}  // namespace wl::platform
