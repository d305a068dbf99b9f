// Translation of Linux errno values into the numbers the Windows side uses:
// Win32 error codes (GetLastError) and the C runtime's errno numbering. Every
// stand-in in this folder maps its errors through these two functions, so the
// tables live in one place (errors.cpp).
#pragma once

#include "platform/types.h"

namespace wl::platform::posix {

// The Win32 code that Windows reports for the same failure (ENOENT -> 2,
// EACCES -> 5, EEXIST -> 183, ENAMETOOLONG -> 206, ...); 0 for 0. Errors with
// no close counterpart become 31 (ERROR_GEN_FAILURE).
[[nodiscard]] Win32Error Win32FromErrno(int error);

// The errno value the Windows C runtime reports for the same failure
// (ENAMETOOLONG -> 38, EFBIG -> 27, a path through a file -> ENOENT, a
// directory opened for writing -> EACCES, ...). Errors the runtime has no
// number for become EINVAL (22), as its own DOS error mapping does.
int RuntimeErrnoFromErrno(int error);

}  // namespace wl::platform::posix
