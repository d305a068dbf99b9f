#include "platform/invalid_parameter.h"

#include <atomic>
#include <cstdlib>

namespace wl::platform {
namespace {

std::atomic<InvalidParameterCallback> invalidParameterCallback{nullptr};

}  // namespace

InvalidParameterCallback SetInvalidParameterCallback(InvalidParameterCallback callback) {
  // The runtime's own handler too, for a runtime that calls it.
  _set_invalid_parameter_handler(callback);
  return invalidParameterCallback.exchange(callback);
}

void ReportInvalidParameter() {
  if (InvalidParameterCallback callback = invalidParameterCallback.load()) callback(nullptr, nullptr, nullptr, 0, 0);
}

}  // namespace wl::platform
