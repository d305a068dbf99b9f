// The process's last line of defence: the unhandled-exception filter,
// RaiseException and the minidump writer. The C runtime's invalid-parameter
// callback, which the descriptor functions of text_file.h call, is in
// platform/invalid_parameter.h.
//
// Windows: SetUnhandledExceptionFilter, plus a SIGABRT handler (abort() ends
// a process without an exception) and, for stack overflows, a helper thread
// started at installation that runs the filter on a stack of its own;
// MiniDumpWriteDump.
// Linux: handlers of SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an
// alternate stack of the installing thread; RaiseException queues SIGABRT
// to the calling thread with the code attached; the minidump writer of
// crash/posix/minidump.cpp. There the filter runs inside a signal
// handler: it may only call what is async-signal-safe (no allocation, no
// locks), which includes every function of this header marked so.
//
// After the filter the process ends as it would have without it: the
// signal's default action on Linux, the system's unhandled-exception
// handling on Windows.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/types.h"

namespace wl::platform {

// What the filter receives: EXCEPTION_POINTERS and the faulting thread on
// Windows, the signal, its information and the thread's context on Linux.
struct CrashInfo;

// Returns EXCEPTION_CONTINUE_SEARCH (0) to let the default handling follow.
using CrashFilter = std::int32_t (*)(const CrashInfo* info);

// Installs the filter for the rest of the process (a second call replaces
// the filter). Call from a normal context, early, on the main thread: on
// Linux that thread gets the alternate stack on which a stack overflow is
// caught (other threads' stack overflows end the process without a dump).
// The filter runs at most once per process; a thread that faults while it
// runs waits for the process to end.
void InstallCrashFilter(CrashFilter filter);

// RaiseException(code, 0, 0, nullptr): a continuable exception without
// arguments. Unhandled, it reaches the filter and ends the process (on
// Linux with SIGABRT). Returns only if the exception is continued.
void RaiseException(std::uint32_t code);

// True where the filter may allocate and take locks (Windows, whose filter
// runs as an ordinary function); false on Linux.
bool CrashFilterMayAllocate();

// The local time, async-signal-safe on Linux: the real-time clock plus the
// UTC offset that PrepareCrashLocalTime found, including the next change of
// the offset (daylight saving time) after it was prepared.
LocalTime CrashLocalTime();
// Finds the UTC offsets for CrashLocalTime; InstallCrashFilter calls it, a
// long-running process may call it again (normal context). Nothing on
// Windows.
void PrepareCrashLocalTime();

// Checks the folder that dumps go to and keeps it open (Linux; nothing on
// Windows), so that a crash writes into that very folder without walking
// its path in the signal handler. folder ends with a separator. The folder
// is reached as every open of the layer reaches one (no link of another
// account followed, no folder of another ordinary user); while it does not
// exist, its nearest existing folder is kept and the rest is looked up at
// the crash, one folder at a time, each checked the same way. A refused
// folder means no dump. Normal context; any thread (the latest call
// counts).
void PrepareMinidumpFolder(std::wstring_view folder);

// Writes a minidump of this process into path: the file is created, or
// opened without truncation when it exists (OPEN_ALWAYS), read-write, not
// shared. dumpType is the MINIDUMP_TYPE flag set, passed unchanged (on
// Linux 2, MiniDumpWithFullMemory, adds all readable memory). info may be
// null (no exception information). False when the file cannot be opened or
// the dump cannot be written. On Linux path must lie in the folder that
// PrepareMinidumpFolder named last; the file is made 0600, and a link, a
// file that is not regular, one of another account or one with more than
// one link under the dump's name is not written to. Async-signal-safe on
// Linux.
bool WriteMinidump(const wchar_t* path, std::uint32_t dumpType, const CrashInfo* info);

}  // namespace wl::platform
