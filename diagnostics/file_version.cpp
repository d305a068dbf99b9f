#include "diagnostics/file_version.h"

#include <filesystem>

#include "platform/file_version.h"

namespace wl {

bool ReadFileVersionString(std::wstring_view filePath, std::wstring_view key, std::wstring& out) {
  if (filePath.empty() || key.empty()) return false;
  if (!std::filesystem::exists(std::filesystem::path(filePath))) return false;
  std::wstring value;
  if (!platform::QueryFileVersionString(filePath, key, &value)) return false;
  out = std::move(value);
  return true;
}

}  // namespace wl
