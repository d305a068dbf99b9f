// Process, thread, time and environment facts from Linux.
#include "platform/system.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

// setenv and getenv are not safe against each other; this keeps at least the
// layer's own calls apart.
std::mutex environmentMutex;

std::string ReadLink(const char* path) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink(path, buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

// Every log line's stamp names the process and the thread: both are cached
// so that a line costs no system call. A child made by fork() forgets what
// its parent cached (a child of posix_spawn runs none of our code before it
// replaces itself).
std::atomic<std::uint32_t> cachedProcessId{0};
thread_local std::uint32_t cachedThreadId = 0;

void ForgetIdsInChild() {
  cachedProcessId.store(0, std::memory_order_relaxed);
  cachedThreadId = 0;
}

void RememberToForgetIdsAtFork() {
  [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, &ForgetIdsInChild);
}

}  // namespace

LocalTime GetLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // The conversion takes a process-wide lock inside the C library; every
  // log line reads the time, so each thread keeps the last second it
  // converted. Within one second the local fields cannot change.
  thread_local time_t convertedSecond = -1;
  thread_local tm local{};
  if (now.tv_sec != convertedSecond) {
    localtime_r(&now.tv_sec, &local);
    convertedSecond = now.tv_sec;
  }
  LocalTime result;
  result.year = static_cast<std::uint16_t>(local.tm_year + 1900);
  result.month = static_cast<std::uint16_t>(local.tm_mon + 1);
  result.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
  result.day = static_cast<std::uint16_t>(local.tm_mday);
  result.hour = static_cast<std::uint16_t>(local.tm_hour);
  result.minute = static_cast<std::uint16_t>(local.tm_min);
  // A leap second shows as 60 here; the Windows record never goes past 59.
  result.second = static_cast<std::uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
  result.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1'000'000);
  return result;
}

std::int64_t SteadyClockNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::uint32_t GetCurrentProcessId() {
  RememberToForgetIdsAtFork();
  std::uint32_t id = cachedProcessId.load(std::memory_order_relaxed);
  if (id == 0) {
    id = static_cast<std::uint32_t>(getpid());
    cachedProcessId.store(id, std::memory_order_relaxed);
  }
  return id;
}

std::uint32_t GetCurrentThreadId() {
  RememberToForgetIdsAtFork();
  if (cachedThreadId == 0) cachedThreadId = static_cast<std::uint32_t>(gettid());
  return cachedThreadId;
}

std::wstring GetExecutableFileName() {
  // Linux names a program whose file was deleted or replaced (as a package
  // upgrade does) "<path> (deleted)"; the program's path is the same.
  constexpr std::string_view kDeleted = " (deleted)";
  std::string path = ReadLink("/proc/self/exe");
  if (path.ends_with(kDeleted)) path.erase(path.size() - kDeleted.size());
  return WideFromUtf8(path);
}

std::wstring GetLibraryModuleFileName() {
  Dl_info info{};
  link_map* module = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&GetLibraryModuleFileName), &info, reinterpret_cast<void**>(&module),
              RTLD_DL_LINKMAP) == 0 ||
      module == nullptr || module->l_name == nullptr || module->l_name[0] == '\0') {
    // The main program has no name in its link map: the library is linked
    // into the executable.
    return GetExecutableFileName();
  }
  char* resolved = realpath(module->l_name, nullptr);
  if (resolved == nullptr) return WideFromUtf8(module->l_name);
  std::wstring path = WideFromUtf8(resolved);
  std::free(resolved);
  return path;
}

Win32Error GetLastSystemError() { return posix::Win32FromErrno(errno); }

std::optional<std::wstring> GetEnvVar(std::wstring_view name) {
  std::string narrowName = Utf8FromWide(name);
  std::lock_guard lock(environmentMutex);
  const char* value = std::getenv(narrowName.c_str());
  if (value == nullptr) return std::nullopt;
  return WideFromUtf8(value);
}

bool SetEnvVar(std::wstring_view name, std::wstring_view value) {
  if (name.empty() || name.find(L'=') != std::wstring_view::npos) return false;
  std::string narrowName = Utf8FromWide(name);
  std::string narrowValue = Utf8FromWide(value);
  std::lock_guard lock(environmentMutex);
  return setenv(narrowName.c_str(), narrowValue.c_str(), 1) == 0;
}

bool UnsetEnvVar(std::wstring_view name) {
  if (name.empty() || name.find(L'=') != std::wstring_view::npos) return false;
  std::string narrowName = Utf8FromWide(name);
  std::lock_guard lock(environmentMutex);
  return unsetenv(narrowName.c_str()) == 0;
}

bool SetCurrentThreadBackground() {
  // A batch thread keeps its fair share but never preempts the running one
  // when it wakes; on a busy machine each such preemption can cost the
  // preempted thread a whole time slice. The policy is per thread on Linux.
  sched_param parameters{};
  return sched_setscheduler(0, SCHED_BATCH, &parameters) == 0;
}

void SleepMilliseconds(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1'000'000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::optional<std::wstring> WineVersion() { return std::nullopt; }

}  // namespace wl::platform
