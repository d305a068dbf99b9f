// The service control manager with Windows semantics and Win32 result codes:
// installing, opening, querying, stopping and deleting services. The calls
// take the shapes of OpenSCManagerW, CreateServiceW, OpenServiceW,
// QueryServiceConfigW, QueryServiceStatus, ControlService, DeleteService and
// CloseServiceHandle on the local machine's active database, and return 0
// or the code that Windows leaves in GetLastError (1060 no such service,
// 1072 marked for deletion, 1073 already exists, 1061 cannot accept the
// control now, 1062 not running, 1052 a control the service does not
// take, 5 for an operation the handle's access does not allow, 6 for a
// handle that is not open).
//
// On Windows this is the real service control manager. On Linux a stand-in
// keeps the database where Windows keeps it, in
// HKLM\SYSTEM\CurrentControlSet\Services\<name> of the registry stand-in
// (Type, Start, ErrorControl, ImagePath, DisplayName, DependOnService,
// ObjectName), and the state of each service in
// <root>/run/services/<name>.status, which a running service writes (see
// docs/platform.md). All calls are safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "platform/unique_handle.h"

namespace wl::platform {

struct ServiceHandleObject;
// SC_HANDLE: an open service control manager or service.
using ScHandle = ServiceHandleObject*;

// Access rights of the manager and of a service.
inline constexpr std::uint32_t kScManagerConnect = 0x0001;
inline constexpr std::uint32_t kScManagerCreateService = 0x0002;
inline constexpr std::uint32_t kScManagerEnumerateService = 0x0004;
inline constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kServiceQueryConfig = 0x0001;
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004;
inline constexpr std::uint32_t kServiceStart = 0x0010;
inline constexpr std::uint32_t kServiceStop = 0x0020;
inline constexpr std::uint32_t kServiceDelete = 0x10000;  // DELETE
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceAcceptStop = 1;

// Service states (SERVICE_STATUS::dwCurrentState).
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

// QUERY_SERVICE_CONFIGW, and what CreateServiceW takes.
struct ServiceConfig {
  std::uint32_t serviceType = 0;
  std::uint32_t startType = 0;
  std::uint32_t errorControl = 0;
  std::wstring binaryPathName;
  std::wstring loadOrderGroup;  // empty: none
  std::vector<std::wstring> dependencies;
  // The account; empty when creating means the local system account, which
  // a query reports as "LocalSystem".
  std::wstring serviceStartName;
  // Empty when creating: the service's name.
  std::wstring displayName;
};

// SERVICE_STATUS.
struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// OpenSCManagerW(nullptr, nullptr, access). Rights beyond connecting and
// enumerating need an administrator (5 otherwise); on Linux, whoever may
// write the machine root's service status folder.
[[nodiscard]] Win32Error OpenSCManagerW(std::uint32_t access, ScHandle* manager);

// CreateServiceW without a tag and with no password. The manager needs
// kScManagerCreateService. 1073 when a service of that name exists, 123
// for an unusable name, 87 without a program path.
[[nodiscard]] Win32Error CreateServiceW(ScHandle manager, std::wstring_view serviceName, const ServiceConfig& config,
                                        std::uint32_t access, ScHandle* service);

// OpenServiceW: 1060 when no such service is installed.
[[nodiscard]] Win32Error OpenServiceW(ScHandle manager, std::wstring_view serviceName, std::uint32_t access,
                                      ScHandle* service);

// QueryServiceConfigW (needs kServiceQueryConfig).
[[nodiscard]] Win32Error QueryServiceConfigW(ScHandle service, ServiceConfig* config);

// QueryServiceStatus (needs kServiceQueryStatus).
[[nodiscard]] Win32Error QueryServiceStatus(ScHandle service, ServiceStatus* status);

// ControlService: sends the control (kServiceControlStop needs kServiceStop)
// and stores the service's status, also when the result is 1061 or 1062.
[[nodiscard]] Win32Error ControlService(ScHandle service, std::uint32_t control, ServiceStatus* status);

// DeleteService (needs kServiceDelete): removes the service from the
// database; a running service keeps running until it stops. 1072 when it
// has been deleted already.
[[nodiscard]] Win32Error DeleteService(ScHandle service);

// CloseServiceHandle.
[[nodiscard]] Win32Error CloseServiceHandle(ScHandle handle);

// A manager or service handle that closes itself.
using ServiceHandle = UniqueHandle<ScHandle, &CloseServiceHandle>;

}  // namespace wl::platform
