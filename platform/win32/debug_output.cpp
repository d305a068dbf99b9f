#include "platform/debug_output.h"

#include <windows.h>

#include <string>

namespace wl::platform {

void OutputDebugText(std::wstring_view text) { ::OutputDebugStringW(std::wstring(text).c_str()); }

}  // namespace wl::platform
