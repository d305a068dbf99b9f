// Child commands of the process tests.
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/text.h"
#include "tests/test_support.h"

namespace wl::test {
namespace {

// write-arguments PATH ARGS...: writes each of ARGS to PATH in UTF-8, each
// followed by a null byte, so that the test sees exactly what arrived.
int WriteArguments(const std::vector<std::wstring>& arguments) {
  if (arguments.empty()) return 2;
  std::ofstream out(std::filesystem::path(arguments[0]), std::ios::binary);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    out << platform::Utf8FromWide(arguments[i]) << '\0';
  }
  return out.good() ? 0 : 1;
}

const ChildCommand writeArguments(L"write-arguments", WriteArguments);

}  // namespace
}  // namespace wl::test
