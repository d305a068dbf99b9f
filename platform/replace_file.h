// Whole-file reads and replacements: small status files that other
// processes read, the registry tool's exports and imports, the log files
// that the scribe tool shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace wl::platform {

// Atomically replaces the file at path with the given bytes (a temporary
// file beside it, then a rename over it), so a reader sees the old or the new
// contents, never a mix. The new file may be written by its owner only and
// read by everyone. 0 or a Win32 code. On Linux the folder is reached as
// every open of the layer reaches one (platform/posix/checked_open.h) and
// the temporary file is made afresh, never opened through a link; a refusal
// is 5 with its reason in *refusal (when given).
[[nodiscard]] Win32Error ReplaceFileContents(std::wstring_view path, std::string_view bytes,
                                             std::wstring* refusal = nullptr);

// Reads the whole file at path into *bytes. On Linux the open is checked as
// every open of the layer is: no symbolic link followed, a regular file
// only (a FIFO never blocks), no file or folder of another ordinary user; a
// refusal is 5 with its reason in *refusal (when given). 0 or a Win32 code.
[[nodiscard]] Win32Error ReadFileContents(std::wstring_view path, std::string* bytes, std::wstring* refusal = nullptr);

// Reads, from one open of the file at path (checked as ReadFileContents
// checks it), its first headSize bytes into *head, the bytes from offset
// `from` to its end into *rest and its size into *size. 0 or a Win32 code.
[[nodiscard]] Win32Error ReadFileParts(std::wstring_view path, std::size_t headSize, std::uint64_t from,
                                       std::string* head, std::string* rest, std::uint64_t* size,
                                       std::wstring* refusal = nullptr);

}  // namespace wl::platform
