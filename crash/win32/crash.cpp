// Crash handling on the Windows API. The unhandled-exception filter runs the
// installed filter on the crashing thread. Two faults never reach it and get
// their own paths: abort() ends the process through SIGABRT without an
// exception, and a stack overflow leaves too little stack for the system's
// dispatch to get that far. For the latter a vectored handler hands the
// crash to a thread started at installation, which runs the filter on its
// own stack while the faulting thread waits.
#include "crash/crash.h"

#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

namespace wl::platform {

struct CrashInfo {
  EXCEPTION_POINTERS* pointers = nullptr;
  DWORD threadId = 0;
};

namespace {

// abort() reports this code where it reports one (the fail-fast of newer
// runtimes); the dump of an abort carries it in its exception record.
constexpr DWORD kAbortExceptionCode = 0x40000015;  // STATUS_FATAL_APP_EXIT

std::atomic<CrashFilter> installedFilter{nullptr};
// Set by the first crash; a later one (another thread, or a fault inside the
// filter) leaves the dump that is being written alone.
std::atomic<bool> crashed{false};

HANDLE overflowRequest = nullptr;
HANDLE overflowDone = nullptr;
CrashInfo overflowCrash;

void RunFilter(const CrashInfo& crash) {
  if (crashed.exchange(true)) return;
  if (CrashFilter filter = installedFilter.load()) filter(&crash);
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* pointers) {
  CrashInfo crash{pointers, ::GetCurrentThreadId()};
  RunFilter(crash);
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI OverflowThread(void*) {
  ::WaitForSingleObject(overflowRequest, INFINITE);
  RunFilter(overflowCrash);
  HANDLE faulting = ::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, overflowCrash.threadId);
  ::SetEvent(overflowDone);
  // Windows ends the process when the faulting thread's dispatch fails; if
  // only that thread ends (as under Wine), this one must not keep the
  // process alive: it ends it with the faulting thread's exit code.
  if (faulting != nullptr && ::WaitForSingleObject(faulting, INFINITE) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeThread(faulting, &code);
    ::TerminateProcess(::GetCurrentProcess(), code);
  }
  for (;;) ::Sleep(INFINITE);
}

// Uses next to no stack: the faulting thread has a page or so left.
LONG WINAPI OnStackOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW || crashed.load()) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  overflowCrash = CrashInfo{pointers, ::GetCurrentThreadId()};
  ::SetEvent(overflowRequest);
  ::WaitForSingleObject(overflowDone, INFINITE);
  return EXCEPTION_CONTINUE_SEARCH;
}

void OnAbort(int) {
  static CONTEXT context;
  static EXCEPTION_RECORD record;
  static EXCEPTION_POINTERS pointers;
  ::RtlCaptureContext(&context);
  record.ExceptionCode = kAbortExceptionCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
  pointers = EXCEPTION_POINTERS{&record, &context};
  RunFilter(CrashInfo{&pointers, ::GetCurrentThreadId()});
  // The runtime's own ending of abort(), as without this handler.
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

}  // namespace

void InstallCrashFilter(CrashFilter filter) {
  installedFilter.store(filter);
  ::SetUnhandledExceptionFilter(OnUnhandled);
  std::signal(SIGABRT, OnAbort);
  if (overflowRequest == nullptr) {
    overflowRequest = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    overflowDone = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = ::CreateThread(nullptr, 0, OverflowThread, nullptr, 0, nullptr);
    if (thread != nullptr) ::CloseHandle(thread);
    ::AddVectoredExceptionHandler(1, OnStackOverflow);
  }
}

void RaiseException(std::uint32_t code) { ::RaiseException(code, 0, 0, nullptr); }

bool CrashFilterMayAllocate() { return true; }

LocalTime CrashLocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                   now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

void PrepareCrashLocalTime() {}

// The folder's access rules decide on Windows.
void PrepareMinidumpFolder(std::wstring_view) {}

bool WriteMinidump(const wchar_t* path, std::uint32_t dumpType, const CrashInfo* info) {
  HANDLE file =
      ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  if (info != nullptr) {
    exception.ThreadId = info->threadId;
    exception.ExceptionPointers = info->pointers;
    exception.ClientPointers = FALSE;
  }
  BOOL written =
      ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, static_cast<MINIDUMP_TYPE>(dumpType),
                          info != nullptr && info->pointers != nullptr ? &exception : nullptr, nullptr, nullptr);
  ::CloseHandle(file);
  return written != FALSE;
}

}  // namespace wl::platform
