// Both builds use the g++ and clang ABI (mingw-w64 too), which names types
// in mangled form and offers the demangler.
#include "platform/type_name.h"

#include <cxxabi.h>

#include <cstdlib>

namespace wl::platform {

std::string DemangledTypeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  return name;
}

}  // namespace wl::platform
