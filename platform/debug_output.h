// OutputDebugStringW: text for an attached debugger (standard error, UTF-8,
// on Linux).
#pragma once

#include <string_view>

namespace wl::platform {

void OutputDebugText(std::wstring_view text);

}  // namespace wl::platform
