// Starting and waiting for child processes (used by the host's activation of
// servers and by process-level tests).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace wl::platform {

// The suffix of executable file names: ".exe" on Windows, empty on Linux.
extern const wchar_t* const kExecutableSuffix;

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Waits for the process to end and returns its exit code (-1 when it was
  // ended by a signal or could not be waited for).
  [[nodiscard]] virtual int Wait() = 0;
  [[nodiscard]] virtual std::uint32_t Id() const = 0;
  // After Wait: the signal that ended the process on Linux (SIGSEGV, ...), 0
  // when it exited. Windows has no signals: its crashes show in the exit
  // code (the exception code), and this is always 0.
  [[nodiscard]] virtual int TerminatingSignal() const { return 0; }
  // Ends the process at once, as a crash would (SIGKILL, TerminateProcess).
  virtual bool Kill() = 0;
};

// Starts program with the arguments (quoted as needed on Windows). Returns
// null with *error set when it cannot be started.
std::unique_ptr<ChildProcess> StartProcess(std::wstring_view program, const std::vector<std::wstring>& arguments,
                                           Win32Error* error);

// Starts program as another account (its user, primary group and
// supplementary groups), with this process's environment. Needs the right to
// switch accounts (root on Linux). Null with *error set when it cannot be
// started: 1332 for an unknown account, 5 without the right, 50 where the
// system offers no such start (Windows, where it takes the account's logon).
std::unique_ptr<ChildProcess> StartProcessAsUser(std::wstring_view program, const std::vector<std::wstring>& arguments,
                                                 std::wstring_view account, Win32Error* error);

}  // namespace wl::platform
