// Whole-file replacement for small status files that other processes read.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace wl::platform {

// Atomically replaces the file at path with the given bytes (a temporary
// file beside it, then a rename over it), so a reader sees the old or the new
// contents, never a mix. 0 or a Win32 code.
[[nodiscard]] Win32Error ReplaceFileContents(std::wstring_view path, std::string_view bytes);

}  // namespace wl::platform
