// What the fatal-signal handler (crash.cpp) hands to the minidump writer
// (minidump.cpp), and the writer's parts that must be ready before a crash.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>

namespace wl::platform {

struct CrashInfo {
  int signal = 0;
  const siginfo_t* signalInfo = nullptr;
  const ucontext_t* context = nullptr;
  // The code of RaiseException, 0 for a signal of the system.
  std::uint32_t exceptionCode = 0;
  pid_t threadId = 0;
};

namespace posix {

// Facts of the machine for the dump's system information and the handler
// that lets other threads report their registers; call from a normal
// context before any crash.
void PrepareMinidumpWriter();

}  // namespace posix
}  // namespace wl::platform
