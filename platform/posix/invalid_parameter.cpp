#include "platform/invalid_parameter.h"

#include <atomic>

namespace wl::platform {
namespace {

std::atomic<InvalidParameterCallback> invalidParameterCallback{nullptr};

}  // namespace

InvalidParameterCallback SetInvalidParameterCallback(InvalidParameterCallback callback) {
  return invalidParameterCallback.exchange(callback);
}

void ReportInvalidParameter() {
  if (InvalidParameterCallback callback = invalidParameterCallback.load()) callback(nullptr, nullptr, nullptr, 0, 0);
}

}  // namespace wl::platform
