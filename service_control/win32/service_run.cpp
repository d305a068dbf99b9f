// Running as a service on Windows: the system's service control dispatcher.
#include "service_control/service_run.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "platform/unique_handle.h"

namespace wl::platform {
namespace {

// The one service of this process: the dispatcher's entries reach it
// through these.
std::atomic<ServiceMainFunction> serviceMain{nullptr};
std::atomic<ServiceControlHandler> controlHandler{nullptr};

void WINAPI ServiceMainEntry(DWORD, LPWSTR*) {
  if (ServiceMainFunction main = serviceMain.load()) main();
}

void WINAPI HandlerEntry(DWORD control) {
  if (ServiceControlHandler handler = controlHandler.load()) handler(control);
}

BOOL CloseSystemServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(handle); }
using SystemServiceHandle = UniqueHandle<SC_HANDLE, &CloseSystemServiceHandle>;

}  // namespace

Win32Error StartServiceCtrlDispatcherW(std::wstring_view serviceName, ServiceMainFunction main) {
  if (main == nullptr || serviceName.empty()) return kErrorInvalidParameter;
  serviceMain = main;
  std::wstring name(serviceName);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), &ServiceMainEntry}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? kErrorSuccess : Win32Error(::GetLastError());
}

Win32Error RegisterServiceCtrlHandlerW(std::wstring_view serviceName, ServiceControlHandler handler,
                                       ServiceStatusHandle* handle) {
  if (handle == nullptr || handler == nullptr) return kErrorInvalidParameter;
  controlHandler = handler;
  SERVICE_STATUS_HANDLE system = ::RegisterServiceCtrlHandlerW(std::wstring(serviceName).c_str(), &HandlerEntry);
  *handle = reinterpret_cast<ServiceStatusHandle>(system);
  return system == nullptr ? Win32Error(::GetLastError()) : kErrorSuccess;
}

Win32Error SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS system{status.serviceType,
                        status.currentState,
                        status.controlsAccepted,
                        status.win32ExitCode,
                        status.serviceSpecificExitCode,
                        status.checkPoint,
                        status.waitHint};
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &system) ? kErrorSuccess
                                                                                      : Win32Error(::GetLastError());
}

Win32Error StartInstalledService(std::wstring_view serviceName) {
  SystemServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return ::GetLastError();
  SystemServiceHandle service(::OpenServiceW(manager.Get(), std::wstring(serviceName).c_str(), SERVICE_START));
  if (!service) return ::GetLastError();
  return ::StartServiceW(service.Get(), 0, nullptr) ? kErrorSuccess : Win32Error(::GetLastError());
}

Win32Error RunInstalledService(std::wstring_view) { return ERROR_NOT_SUPPORTED; }

bool ServiceRunsInForeground() { return false; }

}  // namespace wl::platform
