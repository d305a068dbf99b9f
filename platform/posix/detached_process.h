// Starting a process that outlives its starter: a session of its own, the
// standard streams on /dev/null, the signals unblocked; and starting one as
// another account.
#pragma once

#include <sys/types.h>

#include <functional>

#include "platform/posix/account_posix.h"

namespace wl::platform::posix {

// Starts argv[0] with the arguments and environment (null-terminated
// arrays). 0 and the process id, or the errno of the failed start. A thread
// of this process reaps the child when it ends and then calls ended, if any.
// With an account, the program runs as it (which needs root), from the
// folder "/".
int StartDetachedProcess(char* const argv[], char* const envp[], pid_t* pid, std::function<void()> ended = {},
                         const AccountIdentity* account = nullptr);

// Starts argv[0] as the account (which needs root); detached: as
// StartDetachedProcess does, but the caller waits for the child. 0 and the
// process id, or the errno of the step that failed (the switch of account or
// the start of the program), when the child has ended.
int StartProcessAs(char* const argv[], char* const envp[], const AccountIdentity& account, bool detached, pid_t* pid);

}  // namespace wl::platform::posix
