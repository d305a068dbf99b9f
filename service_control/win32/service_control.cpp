// The service control manager on Windows: the system's own.
#include "service_control/service_control.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace wl::platform {
namespace {

SC_HANDLE System(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
ScHandle Ours(SC_HANDLE handle) { return reinterpret_cast<ScHandle>(handle); }

Win32Error Result(BOOL done) { return done ? kErrorSuccess : Win32Error(::GetLastError()); }

std::wstring Text(const wchar_t* text) { return text == nullptr ? std::wstring() : std::wstring(text); }

ServiceStatus Convert(const SERVICE_STATUS& status) {
  return {status.dwServiceType,
          status.dwCurrentState,
          status.dwControlsAccepted,
          status.dwWin32ExitCode,
          status.dwServiceSpecificExitCode,
          status.dwCheckPoint,
          status.dwWaitHint};
}

}  // namespace

Win32Error OpenSCManagerW(std::uint32_t access, ScHandle* manager) {
  if (manager == nullptr) return kErrorInvalidParameter;
  SC_HANDLE handle = ::OpenSCManagerW(nullptr, nullptr, access);
  *manager = Ours(handle);
  return handle == nullptr ? Win32Error(::GetLastError()) : kErrorSuccess;
}

Win32Error CreateServiceW(ScHandle manager, std::wstring_view serviceName, const ServiceConfig& config,
                          std::uint32_t access, ScHandle* service) {
  if (service == nullptr) return kErrorInvalidParameter;
  std::wstring name(serviceName);
  std::wstring dependencies;
  for (const auto& dependency : config.dependencies) dependencies += dependency + L'\0';
  dependencies += L'\0';
  auto orNull = [](const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); };
  SC_HANDLE handle = ::CreateServiceW(
      System(manager), name.c_str(), orNull(config.displayName), access, config.serviceType, config.startType,
      config.errorControl, config.binaryPathName.c_str(), orNull(config.loadOrderGroup), nullptr,
      config.dependencies.empty() ? nullptr : dependencies.c_str(), orNull(config.serviceStartName), nullptr);
  *service = Ours(handle);
  return handle == nullptr ? Win32Error(::GetLastError()) : kErrorSuccess;
}

Win32Error OpenServiceW(ScHandle manager, std::wstring_view serviceName, std::uint32_t access, ScHandle* service) {
  if (service == nullptr) return kErrorInvalidParameter;
  SC_HANDLE handle = ::OpenServiceW(System(manager), std::wstring(serviceName).c_str(), access);
  *service = Ours(handle);
  return handle == nullptr ? Win32Error(::GetLastError()) : kErrorSuccess;
}

Win32Error QueryServiceConfigW(ScHandle service, ServiceConfig* config) {
  if (config == nullptr) return kErrorInvalidParameter;
  DWORD needed = 0;
  if (::QueryServiceConfigW(System(service), nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return ::GetLastError();
  }
  // QUERY_SERVICE_CONFIGW wants pointer alignment.
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
  auto* raw = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(System(service), raw, static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)),
                             &needed)) {
    return ::GetLastError();
  }
  config->serviceType = raw->dwServiceType;
  config->startType = raw->dwStartType;
  config->errorControl = raw->dwErrorControl;
  config->binaryPathName = Text(raw->lpBinaryPathName);
  config->loadOrderGroup = Text(raw->lpLoadOrderGroup);
  config->dependencies.clear();
  for (const wchar_t* entry = raw->lpDependencies; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
    config->dependencies.emplace_back(entry);
  }
  config->serviceStartName = Text(raw->lpServiceStartName);
  config->displayName = Text(raw->lpDisplayName);
  return kErrorSuccess;
}

Win32Error QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  if (status == nullptr) return kErrorInvalidParameter;
  SERVICE_STATUS system{};
  BOOL done = ::QueryServiceStatus(System(service), &system);
  *status = Convert(system);
  return Result(done);
}

Win32Error ControlService(ScHandle service, std::uint32_t control, ServiceStatus* status) {
  if (status == nullptr) return kErrorInvalidParameter;
  SERVICE_STATUS system{};
  BOOL done = ::ControlService(System(service), control, &system);
  *status = Convert(system);
  return Result(done);
}

Win32Error DeleteService(ScHandle service) { return Result(::DeleteService(System(service))); }

Win32Error CloseServiceHandle(ScHandle handle) { return Result(::CloseServiceHandle(System(handle))); }

}  // namespace wl::platform
