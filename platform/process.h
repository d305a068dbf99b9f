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
  virtual int Wait() = 0;
  virtual std::uint32_t Id() const = 0;
  // Ends the process at once, as a crash would (SIGKILL, TerminateProcess).
  virtual bool Kill() = 0;
};

// Starts program with the arguments (quoted as needed on Windows). Returns
// null with *error set when it cannot be started.
std::unique_ptr<ChildProcess> StartProcess(std::wstring_view program,
                                           const std::vector<std::wstring>& arguments,
                                           Win32Error* error);

}  // namespace wl::platform
