// The ANSI code page of a Linux process is UTF-8.
#include "platform/text.h"

namespace wl::platform {

std::wstring WideFromAnsi(std::string_view text) { return WideFromUtf8(text); }

}  // namespace wl::platform
