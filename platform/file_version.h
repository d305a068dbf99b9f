// File version resources: GetFileVersionInfoW and VerQueryValueW.
#pragma once

#include <string>
#include <string_view>

namespace wl::platform {

// The string `key` of the file's version resource for the first of its
// "\VarFileInfo\Translation" pairs whose "\StringFileInfo\<lang><cp>" table
// has it, copied up to its terminating null. False when the file has no
// version resource or no such string. Windows asks the system (with WOW64
// file-system redirection off in a 32-bit process on 64-bit Windows); Linux
// reads the file's bytes with FindPeVersionString, so only a Windows
// executable has a version there.
bool QueryFileVersionString(std::wstring_view path, std::wstring_view key, std::wstring* out);

}  // namespace wl::platform
