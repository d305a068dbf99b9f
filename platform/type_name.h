// The compiler's readable name of a type. Compiler-specific, hence here.
#pragma once

#include <string>
#include <typeinfo>

namespace wl::platform {

// The demangled name of the type ("wl::Logger"), or the raw name when it
// cannot be demangled. Any thread.
std::string DemangledTypeName(const std::type_info& type);

}  // namespace wl::platform
