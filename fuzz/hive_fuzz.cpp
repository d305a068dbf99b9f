// Fuzzes the reading of a registry hive file: any bytes as the file of the
// machine's hive, or of a user's hive when its first key line names one.
// Besides crashes, leaks and undefined behaviour it checks that a hive that
// reads cleanly is written out as a file that reads back to the same text:
// what the stand-in saves after a change is what it loads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "registry/registry_file.h"
#include "registry/registry_hive.h"

namespace {

using namespace wl::platform;

// The hive the file is taken for: HKEY_USERS\<name> when the first key line
// names one, else HKEY_LOCAL_MACHINE.
std::wstring HivePrefix(std::string_view bytes) {
  constexpr std::string_view kUsers = "[HKEY_USERS\\";
  auto at = bytes.find(kUsers);
  if (at == std::string_view::npos || bytes.find('[') != at) return L"HKEY_LOCAL_MACHINE";
  std::string_view rest = bytes.substr(at + kUsers.size());
  std::string_view name = rest.substr(0, rest.find_first_of("\\]\r\n"));
  return L"HKEY_USERS\\" + WideFromUtf8(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::wstring prefix = HivePrefix(bytes);
  HiveKey root;
  RegistryFileError error;
  if (!ParseHive(bytes, prefix, &root, &error)) {
    if (error.reason.empty()) std::abort();
    return 0;
  }
  std::string saved = FormatHive(root, prefix, "\n");
  HiveKey again;
  if (!ParseHive(saved, prefix, &again, &error) || FormatHive(again, prefix, "\n") != saved) std::abort();
  return 0;
}
