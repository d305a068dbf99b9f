// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM) in language 1033.
#pragma once

#include <cstdint>
#include <string>

namespace wl::platform {

// The system's English message text for a Win32 code or an HRESULT, exactly
// as FormatMessageW returns it (with its CR LF ending), or empty when the
// system has none.
std::wstring FormatSystemMessage(std::uint32_t code);

}  // namespace wl::platform
