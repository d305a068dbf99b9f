// The version strings of executables: what the crash dumps' names carry.
#pragma once

#include <string>
#include <string_view>

namespace wl {

// The string resource `key` ("ProductVersion", ...) of the file's version
// resource, for the first translation that has it; true when found and
// copied to out (out is left alone otherwise). False for an empty path or
// key, a missing file, or a file without such a string. A failure of the
// existence check other than "not found" throws std::filesystem's error.
bool ReadFileVersionString(std::wstring_view filePath, std::wstring_view key, std::wstring& out);

}  // namespace wl
