// An owner for the Windows kernel handles of the platform layer (processes,
// threads, mutexes): null is no handle.
#pragma once

#include <windows.h>

#include "platform/unique_handle.h"

namespace wl::platform::win32 {

// CloseHandle, as a function of this module so that its address is a
// constant.
inline BOOL CloseKernelHandle(HANDLE handle) { return ::CloseHandle(handle); }

using KernelHandle = UniqueHandle<HANDLE, &CloseKernelHandle>;

}  // namespace wl::platform::win32
