// Fuzzes the splitting and joining of command lines. The bytes are read
// twice: as one command line (as the registry may hold it for a server or
// a service), which must split without a crash and whose words, joined
// again, must split into the same words; and as a list of words separated
// by null bytes, which joined and split must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/command_line.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> split = wl::platform::SplitCommandLine(bytes);
  Check(wl::platform::SplitCommandLine(wl::platform::JoinCommandLine(split)) == split);

  std::vector<std::string> words;
  for (std::size_t start = 0; start <= bytes.size();) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string_view::npos) end = bytes.size();
    words.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  Check(wl::platform::SplitCommandLine(wl::platform::JoinCommandLine(words)) == words);
  return 0;
}
