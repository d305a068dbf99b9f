// The resources of the running executable, by type and number
// (FindResourceW, LoadResource, LockResource, SizeofResource). On Windows
// they are those that windres put into the executable; on Linux those that
// the program compiled in and announced with AddBuiltInResource (CMake
// generates that code from the same files that the Windows build embeds).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace wl::platform {

// The bytes of the resource of that type (a name such as "REGISTRY") and
// number in the executable; nullopt when it has none. The bytes stay valid
// for the life of the process. Any thread.
std::optional<std::span<const std::uint8_t>> FindModuleResource(std::wstring_view type, std::uint32_t id);

// Linux: makes bytes that the program carries known as a resource of the
// executable (they must outlive the process's use of them; a later call
// for the same type and number replaces the earlier). Does nothing on
// Windows, where resources live in the executable file.
void AddBuiltInResource(std::wstring_view type, std::uint32_t id, std::span<const std::uint8_t> bytes);

}  // namespace wl::platform
