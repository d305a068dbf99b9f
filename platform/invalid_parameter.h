// The C runtime's invalid-parameter callback (_set_invalid_parameter_handler)
// and the report that the runtime-like descriptor functions of text_file.h
// make through it. It sits below the crash handling, which installs a
// callback that ends the process with a dump.
#pragma once

#include <cstdint>

namespace wl::platform {

// The callback: expression, function, file, line, reserved; any of them may
// be null or 0.
using InvalidParameterCallback = void (*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t);

// _set_invalid_parameter_handler: installs the callback (null: none) and
// returns the previous one. The Windows C runtime of the mingw build never
// calls it itself, and Linux has no such runtime: on both, the runtime-like
// descriptor functions of text_file.h (write, close, commit, tell) call it
// for a descriptor that is not open, as the Windows runtime does, and then
// fail with EBADF if it returns.
InvalidParameterCallback SetInvalidParameterCallback(InvalidParameterCallback callback);

// What the runtime does on an invalid parameter: calls the installed
// callback with all arguments null or 0; nothing when none is installed.
void ReportInvalidParameter();

}  // namespace wl::platform
