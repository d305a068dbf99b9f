// Resources on Windows: those of the executable file.
#include "platform/module_resource.h"

#include <windows.h>

#include <string>

namespace wl::platform {

std::optional<std::span<const std::uint8_t>> FindModuleResource(std::wstring_view type, std::uint32_t id) {
  std::wstring typeName(type);
  HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), typeName.c_str());
  if (found == nullptr) return std::nullopt;
  HGLOBAL loaded = ::LoadResource(nullptr, found);
  if (loaded == nullptr) return std::nullopt;
  const void* bytes = ::LockResource(loaded);
  if (bytes == nullptr) return std::nullopt;
  return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), ::SizeofResource(nullptr, found));
}

void AddBuiltInResource(std::wstring_view, std::uint32_t, std::span<const std::uint8_t>) {}

}  // namespace wl::platform
