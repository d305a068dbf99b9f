// The version resource of a Windows executable (a PE file), read from its
// bytes: the StringFileInfo value that GetFileVersionInfoW and VerQueryValueW
// would give for "\StringFileInfo\<lang><cp>\<key>", trying the languages of
// "\VarFileInfo\Translation" in their stored order. Portable, allocation
// only for the result. Every offset and length read from the image is
// checked against the bytes given: a truncated or hostile image yields "not
// found", never a read outside the buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace wl::platform {

// True with the value (up to its terminating null) in *out when the image
// has a version resource whose first translation with that key has it. Keys
// compare without regard to the case of ASCII letters, as the system does.
bool FindPeVersionString(std::span<const std::uint8_t> image, std::u16string_view key, std::u16string* out);

}  // namespace wl::platform
