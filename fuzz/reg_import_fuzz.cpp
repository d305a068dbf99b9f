// Fuzzes the import of the registry tool ("wlreg import FILE" once the file
// is read): any bytes as a .reg file, imported into a registry under a
// machine root of this process's own in the temporary folder, never the
// machine's; the registry is emptied before each input. Besides crashes,
// leaks and undefined behaviour it checks that a file refused before the
// import changes nothing, and that importing a file a second time changes
// nothing either.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>

#include "platform/system.h"
#include "tools/registry_tool.h"

namespace {

namespace fs = std::filesystem;

void Check(bool condition) {
  if (!condition) std::abort();
}

const fs::path& Root() {
  static const fs::path root = [] {
    fs::path path = fs::temp_directory_path() / ("reg_import_fuzz-" + std::to_string(std::random_device{}()));
    fs::create_directories(path);
    wl::platform::SetEnvVar(L"WAYLINE_ROOT", path.wstring());
    return path;
  }();
  // The fuzzer ends by exit(); the root goes with the process.
  static const bool removed = std::atexit([] {
                                std::error_code error;
                                fs::remove_all(Root(), error);
                              }) == 0;
  (void)removed;
  return root;
}

// Every hive file of the registry and its bytes.
std::map<fs::path, std::string> Hives() {
  std::map<fs::path, std::string> hives;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(Root() / "registry", error); !error && it != fs::end(it);
       it.increment(error)) {
    if (it->path().extension() != ".reg") continue;
    std::ifstream in(it->path(), std::ios::binary);
    hives[it->path()] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return hives;
}

int Import(std::string_view bytes, std::wstring* errors) {
  wl::cli::Console console;
  console.out = [](std::string_view) { return true; };
  console.err = [errors](std::wstring_view text) { errors->append(text); };
  console.readLine = [] { return std::optional<std::string>(); };
  return wl::ImportRegistryText(bytes, L"fuzz.reg", console);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::error_code error;
  fs::remove_all(Root() / "registry", error);
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::wstring errors;
  if (Import(bytes, &errors) != wl::cli::kExitDone) {
    Check(errors.starts_with(L"ERROR: "));
    if (errors.find(L"Nothing was imported.") != std::wstring::npos) Check(Hives().empty());
    return 0;
  }
  auto once = Hives();
  errors.clear();
  Check(Import(bytes, &errors) == wl::cli::kExitDone && Hives() == once);
  return 0;
}
