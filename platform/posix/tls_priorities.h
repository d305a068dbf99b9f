// The TLS versions and ciphers that forwarding offers (GnuTLS's syntax):
// the library's usual set, TLS 1.2 and 1.3 only.
#pragma once

namespace wl::platform::posix {

inline constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

}  // namespace wl::platform::posix
