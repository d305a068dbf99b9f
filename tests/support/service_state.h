// The state of an installed service as the service control reports it, for
// tests that start and stop the real service.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "service_control/service_control.h"
#include "tests/support/test_support.h"

namespace wl::test {

// The service's current state; 0 when it cannot be opened or queried.
inline std::uint32_t ServiceState(std::wstring_view name) {
  platform::ServiceHandle manager, service;
  platform::ServiceStatus status;
  if (platform::OpenSCManagerW(platform::kScManagerConnect, manager.Receive()) != 0 ||
      platform::OpenServiceW(manager.Get(), name, platform::kServiceQueryStatus, service.Receive()) != 0 ||
      platform::QueryServiceStatus(service.Get(), &status) != 0) {
    return 0;
  }
  return status.currentState;
}

// Waits up to 30 s until the service is in the state.
inline bool WaitForServiceState(std::wstring_view name, std::uint32_t state) {
  return WaitUntil([&] { return ServiceState(name) == state; }, std::chrono::seconds(30));
}

}  // namespace wl::test
