// Crash handling on Linux: the fatal signals run the installed filter on an
// alternate stack, then end the process with the signal's default action.
// RaiseException queues SIGABRT to the calling thread with the exception
// code as the signal's value, so the filter can tell it from abort().
#include "crash/crash.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "crash/posix/crash_state.h"

namespace wl::platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Room for the filter's own frames; its buffers are static, not on the stack.
constexpr std::size_t kAlternateStackSize = 256 * 1024;

std::atomic<CrashFilter> installedFilter{nullptr};
// The thread that runs the filter; 0 until a crash.
std::atomic<pid_t> crashingThread{0};

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The UTC offsets of the local time, prepared in a normal context: the
// offset now, and the next change of it (daylight saving time) within a
// year. Two slots so that a crash never reads a half-written one.
struct TimeZoneSlot {
  std::int64_t changeAt = INT64_MAX;
  std::int64_t offsetBefore = 0;
  std::int64_t offsetAfter = 0;
};
TimeZoneSlot timeZoneSlots[2];
std::atomic<int> timeZoneSlot{0};

std::int64_t OffsetAt(std::time_t when) {
  tm local{};
  localtime_r(&when, &local);
  return local.tm_gmtoff;
}

std::uint32_t RaisedCode(const siginfo_t* info) {
  if (info == nullptr || info->si_signo != SIGABRT || info->si_code != SI_QUEUE || info->si_pid != getpid()) {
    return 0;
  }
  return static_cast<std::uint32_t>(info->si_value.sival_int);
}

void RestoreDefault(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

void OnFatalSignal(int signal, siginfo_t* info, void* context) {
  pid_t self = ThreadId();
  pid_t expected = 0;
  if (!crashingThread.compare_exchange_strong(expected, self)) {
    // Another thread writes the dump and then ends the process.
    for (;;) pause();
  }
  CrashInfo crash;
  crash.signal = signal;
  crash.signalInfo = info;
  crash.context = static_cast<const ucontext_t*>(context);
  crash.exceptionCode = RaisedCode(info);
  crash.threadId = self;
  if (CrashFilter filter = installedFilter.load()) filter(&crash);
  RestoreDefault(signal);
  // A fault happens again when the instruction is retried, now without us;
  // a signal that a process sent (abort, raise, RaiseException) is sent
  // again, and arrives when this handler returns.
  if (info == nullptr || info->si_code <= 0) syscall(SYS_tgkill, getpid(), self, signal);
}

void InstallAlternateStack() {
  static char* stack = nullptr;
  if (stack == nullptr) stack = new char[kAlternateStackSize];
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = kAlternateStackSize;
  sigaltstack(&alternate, nullptr);
}

}  // namespace

void InstallCrashFilter(CrashFilter filter) {
  PrepareCrashLocalTime();
  posix::PrepareMinidumpWriter();
  InstallAlternateStack();
  installedFilter.store(filter);
  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // A second fault of another kind inside the filter is blocked, which makes
  // the kernel end the process at once instead of nesting.
  sigemptyset(&action.sa_mask);
  for (int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

void RaiseException(std::uint32_t code) {
  siginfo_t info{};
  info.si_signo = SIGABRT;
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_int = static_cast<int>(code);
  // Queued to this thread alone, so it is delivered before the call returns.
  syscall(SYS_rt_tgsigqueueinfo, getpid(), ThreadId(), SIGABRT, &info);
}

bool CrashFilterMayAllocate() { return false; }

void PrepareCrashLocalTime() {
  std::time_t now = std::time(nullptr);
  TimeZoneSlot slot;
  slot.offsetBefore = OffsetAt(now);
  slot.offsetAfter = slot.offsetBefore;
  // Offsets change at most a few times a year and never twice within a
  // day: a day-by-day walk finds the next change, halving finds its second.
  constexpr std::time_t kDay = 86400;
  for (std::time_t day = now + kDay; day <= now + 400 * kDay; day += kDay) {
    if (OffsetAt(day) == slot.offsetBefore) continue;
    std::time_t before = day - kDay;
    std::time_t after = day;
    while (after - before > 1) {
      std::time_t middle = before + (after - before) / 2;
      (OffsetAt(middle) == slot.offsetBefore ? before : after) = middle;
    }
    slot.changeAt = after;
    slot.offsetAfter = OffsetAt(after);
    break;
  }
  int next = 1 - timeZoneSlot.load();
  timeZoneSlots[next] = slot;
  timeZoneSlot.store(next);
}

LocalTime CrashLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const TimeZoneSlot& zone = timeZoneSlots[timeZoneSlot.load()];
  std::int64_t seconds = now.tv_sec + (now.tv_sec >= zone.changeAt ? zone.offsetAfter : zone.offsetBefore);
  std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  std::int64_t secondOfDay = seconds - days * 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  std::int64_t shifted = days + 719468;
  std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  std::int64_t dayOfEra = shifted - era * 146097;
  std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  LocalTime result;
  result.year = static_cast<std::uint16_t>(year);
  result.month = static_cast<std::uint16_t>(month);
  result.day = static_cast<std::uint16_t>(day);
  result.dayOfWeek = static_cast<std::uint16_t>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday (4)
  result.hour = static_cast<std::uint16_t>(secondOfDay / 3600);
  result.minute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
  result.second = static_cast<std::uint16_t>(secondOfDay % 60);
  result.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1'000'000);
  return result;
}

}  // namespace wl::platform
