// Starting a process that outlives its starter: a session of its own, the
// standard streams on /dev/null, the signals unblocked.
#pragma once

#include <sys/types.h>

#include <functional>

namespace wl::platform::posix {

// Starts argv[0] with the arguments and environment (null-terminated
// arrays). 0 and the process id, or the errno of the failed start. A thread
// of this process reaps the child when it ends and then calls ended, if any.
int StartDetachedProcess(char* const argv[], char* const envp[], pid_t* pid, std::function<void()> ended = {});

}  // namespace wl::platform::posix
