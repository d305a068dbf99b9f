// Resources on Linux: a table of the bytes that the program compiled in.
#include "platform/module_resource.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/text.h"

namespace wl::platform {
namespace {

using Key = std::pair<std::wstring, std::uint32_t>;

std::mutex& TableLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

// Filled by static initialisers, so made on first use; never destroyed, so
// that a lookup during process exit still works.
std::map<Key, std::span<const std::uint8_t>>& Table() {
  static auto* table = new std::map<Key, std::span<const std::uint8_t>>;
  return *table;
}

// Resource type names compare without case, as on Windows.
std::wstring TypeKey(std::wstring_view type) {
  std::wstring key(type);
  for (wchar_t& c : key) c = RegistryUpperCase(c);
  return key;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> FindModuleResource(std::wstring_view type, std::uint32_t id) {
  std::lock_guard lock(TableLock());
  auto found = Table().find({TypeKey(type), id});
  if (found == Table().end()) return std::nullopt;
  return found->second;
}

void AddBuiltInResource(std::wstring_view type, std::uint32_t id, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(TableLock());
  Table()[{TypeKey(type), id}] = bytes;
}

}  // namespace wl::platform
