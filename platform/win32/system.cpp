// Process, thread, time and environment facts from the Windows API.
#include "platform/system.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/text.h"

namespace wl::platform {
namespace {

// GetModuleFileNameW into a buffer that grows until the whole path fits
// (the call truncates silently apart from ERROR_INSUFFICIENT_BUFFER).
std::wstring ModuleFileName(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::int64_t PerformanceFrequency() {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

}  // namespace

LocalTime GetLocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                   now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

std::int64_t SteadyClockNanoseconds() {
  static const std::int64_t frequency = PerformanceFrequency();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  // Whole seconds and the remainder apart, so that counter * 10^9 cannot
  // overflow after a long uptime.
  std::int64_t seconds = counter.QuadPart / frequency;
  std::int64_t remainder = counter.QuadPart % frequency;
  return seconds * 1'000'000'000 + remainder * 1'000'000'000 / frequency;
}

std::uint32_t GetCurrentProcessId() { return ::GetCurrentProcessId(); }

std::uint32_t GetCurrentThreadId() { return ::GetCurrentThreadId(); }

std::wstring GetExecutableFileName() { return ModuleFileName(nullptr); }

std::wstring GetLibraryModuleFileName() {
  HMODULE module = nullptr;
  // Any address inside this library names the module that holds it.
  static const int anchor = 0;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&anchor), &module)) {
    return {};
  }
  return ModuleFileName(module);
}

Win32Error GetLastSystemError() { return ::GetLastError(); }

std::optional<std::wstring> GetEnvVar(std::wstring_view name) {
  std::wstring key(name);
  std::wstring value(64, L'\0');
  for (;;) {
    ::SetLastError(0);
    DWORD length = ::GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      // 0 is also the length of a variable set to the empty string.
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

// The process environment block is what children inherit and what the
// system reads (GetTempPathW and the like); the C runtime keeps a copy of its
// own, updated too so that getenv agrees.
bool SetEnvVar(std::wstring_view name, std::wstring_view value) {
  std::wstring key(name);
  std::wstring text(value);
  if (!::SetEnvironmentVariableW(key.c_str(), text.c_str())) return false;
  if (!text.empty()) _wputenv_s(key.c_str(), text.c_str());
  return true;
}

bool UnsetEnvVar(std::wstring_view name) {
  std::wstring key(name);
  _wputenv_s(key.c_str(), L"");
  return ::SetEnvironmentVariableW(key.c_str(), nullptr) || ::GetLastError() == ERROR_ENVVAR_NOT_FOUND;
}

// Windows has no mode that only gives up the wake-up preemption; a lower
// priority could starve the thread on a busy machine, so it stays as it is.
bool SetCurrentThreadBackground() { return false; }

void SleepMilliseconds(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::optional<std::wstring> WineVersion() {
  // Wine's ntdll exports its version; Windows' ntdll has no such function.
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  FARPROC address = ntdll != nullptr ? ::GetProcAddress(ntdll, "wine_get_version") : nullptr;
  if (address == nullptr) return std::nullopt;
  // Through the generic function pointer type, which converts to any other
  // without a cast-function-type warning.
  auto getVersion = reinterpret_cast<const char* (*)()>(reinterpret_cast<void (*)()>(address));
  const char* version = getVersion();
  return version != nullptr ? WideFromAnsi(version) : std::wstring();
}

}  // namespace wl::platform
