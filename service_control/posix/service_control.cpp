// The service control manager on Linux. The database is where Windows keeps
// it, HKLM\SYSTEM\CurrentControlSet\Services\<name> in the registry stand-in,
// with the values Windows writes there; a key counts as a service when it
// has a Type value (the same folder also holds other keys, such as the
// event log's). The state of a service is the file
// <root>/run/services/<name>.status that the running service writes
// ("state=4\npid=...\n...", see service_status.h); no file means stopped.
#include "service_control/service_control.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "platform/named_mutex.h"
#include "platform/posix/directories.h"
#include "platform/posix/errors.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service_control/posix/service_status.h"

namespace wl::platform {

struct ServiceHandleObject {
  bool manager = false;
  std::uint32_t access = 0;
  std::wstring name;  // a service's name
  bool deleted = false;
};

namespace {

constexpr std::wstring_view kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";
// What a manager handle may do without being an administrator: connect,
// enumerate, query the lock status, read its security, GENERIC_READ.
constexpr std::uint32_t kManagerReadAccess = 0x0001 | 0x0004 | 0x0010 | 0x20000 | 0x80000000;

std::mutex& HandlesLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::set<ScHandle>& Handles() {
  static auto* handles = new std::set<ScHandle>;
  return *handles;
}

ScHandle NewHandle(ServiceHandleObject object) {
  auto* handle = new ServiceHandleObject(std::move(object));
  std::lock_guard lock(HandlesLock());
  Handles().insert(handle);
  return handle;
}

// The object behind a live handle of the kind asked for, or null.
ServiceHandleObject* Live(ScHandle handle, bool manager) {
  std::lock_guard lock(HandlesLock());
  if (Handles().count(handle) == 0 || handle->manager != manager) return nullptr;
  return handle;
}

std::wstring ServiceKey(std::wstring_view name) { return std::wstring(kServicesKey) + L"\\" + std::wstring(name); }

// Names with a separator cannot be keys of the database.
bool UsableName(std::wstring_view name) {
  return !name.empty() && name.size() <= 256 && name.find_first_of(L"\\/") == std::wstring_view::npos;
}

// Creations and deletions of services take turns across processes, so that
// of two installs of one name one gets 1073.
class DatabaseLock {
 public:
  DatabaseLock() : mutex_(CreateNamedMutex(L"ScribeServiceDatabase", &error_)) {
    if (mutex_) mutex_->Lock();
  }
  ~DatabaseLock() {
    if (mutex_) mutex_->Unlock();
  }
  [[nodiscard]] Win32Error Error() const { return mutex_ ? kErrorSuccess : error_; }

 private:
  Win32Error error_ = 0;
  std::unique_ptr<NamedMutex> mutex_;
};

class Key {
 public:
  Win32Error Open(std::wstring_view name) {
    return RegistryOpenKey(kHKeyLocalMachine, ServiceKey(name), kKeyRead, key_.Receive());
  }

  Win32Error Read(std::wstring_view value, std::uint32_t* type, std::vector<std::uint8_t>* data) const {
    std::uint32_t size = 0;
    if (Win32Error result = RegistryQueryValue(key_.Get(), value, type, nullptr, &size)) return result;
    data->assign(size, 0);
    return RegistryQueryValue(key_.Get(), value, type, data->data(), &size);
  }

  [[nodiscard]] std::uint32_t Number(std::wstring_view value) const {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (Read(value, &type, &data) != 0 || type != kRegDword || data.size() != 4) return 0;
    return LoadLittleEndian32(data.data());
  }

  // The strings of a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value.
  [[nodiscard]] std::vector<std::wstring> Strings(std::wstring_view value) const {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    std::vector<std::wstring> strings;
    if (Read(value, &type, &data) != 0) return strings;
    std::u16string units = Utf16FromLeBytes(data);
    for (std::size_t start = 0; start < units.size();) {
      std::size_t end = units.find(u'\0', start);
      if (end == std::u16string::npos) end = units.size();
      if (end == start && type == kRegMultiSz) break;
      strings.push_back(WideFromUtf16(std::u16string_view(units).substr(start, end - start)));
      if (type != kRegMultiSz) break;
      start = end + 1;
    }
    return strings;
  }

  [[nodiscard]] std::wstring Text(std::wstring_view value) const {
    auto strings = Strings(value);
    return strings.empty() ? std::wstring() : strings.front();
  }

 private:
  UniqueKey key_;
};

// Whether a service of that name is installed: 0, 1060, or the registry's
// failure.
Win32Error FindService(std::wstring_view name) {
  Key key;
  Win32Error result = key.Open(name);
  if (result == kErrorFileNotFound) return kErrorServiceDoesNotExist;
  if (result != kErrorSuccess) return result;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  result = key.Read(L"Type", &type, &data);
  return result == kErrorFileNotFound ? kErrorServiceDoesNotExist : result;
}

RegistryFileValue TextValue(std::wstring_view name, std::uint32_t type, std::wstring_view text) {
  return {std::wstring(name), false, type, Utf16LeStringData(text)};
}

RegistryFileValue NumberValue(std::wstring_view name, std::uint32_t number) {
  std::vector<std::uint8_t> data;
  AppendLittleEndian(number, 4, data);
  return {std::wstring(name), false, kRegDword, data};
}

// The service's state as its status file tells it: stopped when there is no
// file, it cannot be read or the process that wrote it is gone.
ServiceStatus CurrentStatus(std::wstring_view name, std::uint32_t serviceType, posix::ServiceProcess* process) {
  ServiceStatus status;
  status.serviceType = serviceType;
  status.currentState = kServiceStopped;
  status.win32ExitCode = kErrorServiceNeverStarted;
  posix::ServiceProcess writer;
  ServiceStatus reported;
  if (posix::ReadServiceStatus(name, &reported, &writer)) {
    if (reported.currentState == kServiceStopped || posix::ServiceProcessAlive(writer)) {
      status = reported;
      status.serviceType = serviceType;
    } else {
      status.win32ExitCode = 1067;  // "The process terminated unexpectedly."
    }
  }
  if (process != nullptr) *process = writer;
  return status;
}

}  // namespace

Win32Error OpenSCManagerW(std::uint32_t access, ScHandle* manager) {
  if (manager == nullptr) return kErrorInvalidParameter;
  *manager = nullptr;
  if ((access & ~kManagerReadAccess) != 0) {
    // Changing the database is for whoever may keep the services' status.
    std::string folder = posix::ServiceStatusFolder();
    if (int error = posix::MakeDirectories(folder)) return posix::Win32FromErrno(error);
    if (::access(folder.c_str(), W_OK) != 0) return posix::Win32FromErrno(errno);
  }
  *manager = NewHandle({true, access, {}, false});
  return kErrorSuccess;
}

Win32Error CreateServiceW(ScHandle manager, std::wstring_view serviceName, const ServiceConfig& config,
                          std::uint32_t access, ScHandle* service) {
  if (service == nullptr) return kErrorInvalidParameter;
  *service = nullptr;
  ServiceHandleObject* object = Live(manager, true);
  if (object == nullptr) return kErrorInvalidHandle;
  if ((object->access & kScManagerCreateService) == 0) return kErrorAccessDenied;
  if (!UsableName(serviceName)) return kErrorInvalidName;
  if (config.binaryPathName.empty()) return kErrorInvalidParameter;
  DatabaseLock lock;
  if (Win32Error error = lock.Error()) return error;
  Win32Error found = FindService(serviceName);
  if (found == kErrorSuccess) return kErrorServiceExists;
  if (found != kErrorServiceDoesNotExist) return found;

  RegistryFileSection section;
  section.path = L"HKEY_LOCAL_MACHINE\\" + ServiceKey(serviceName);
  section.values.push_back(NumberValue(L"Type", config.serviceType));
  section.values.push_back(NumberValue(L"Start", config.startType));
  section.values.push_back(NumberValue(L"ErrorControl", config.errorControl));
  section.values.push_back(TextValue(L"ImagePath", kRegExpandSz, config.binaryPathName));
  section.values.push_back(
      TextValue(L"DisplayName", kRegSz, config.displayName.empty() ? serviceName : config.displayName));
  if (!config.loadOrderGroup.empty()) section.values.push_back(TextValue(L"Group", kRegSz, config.loadOrderGroup));
  if (!config.dependencies.empty()) {
    std::vector<std::uint8_t> list;
    for (const auto& dependency : config.dependencies) {
      std::vector<std::uint8_t> one = Utf16LeStringData(dependency);
      list.insert(list.end(), one.begin(), one.end());
    }
    list.insert(list.end(), {0, 0});
    section.values.push_back({L"DependOnService", false, kRegMultiSz, list});
  }
  section.values.push_back(
      TextValue(L"ObjectName", kRegSz, config.serviceStartName.empty() ? L"LocalSystem" : config.serviceStartName));
  // One update of the hive: a service is installed with all its values or
  // not at all.
  RegistryFileError error;
  if (Win32Error result = RegistryImport({section}, &error)) return result;
  *service = NewHandle({false, access, std::wstring(serviceName), false});
  return kErrorSuccess;
}

Win32Error OpenServiceW(ScHandle manager, std::wstring_view serviceName, std::uint32_t access, ScHandle* service) {
  if (service == nullptr) return kErrorInvalidParameter;
  *service = nullptr;
  if (Live(manager, true) == nullptr) return kErrorInvalidHandle;
  if (!UsableName(serviceName)) return kErrorInvalidName;
  if (Win32Error result = FindService(serviceName)) return result;
  *service = NewHandle({false, access, std::wstring(serviceName), false});
  return kErrorSuccess;
}

Win32Error QueryServiceConfigW(ScHandle service, ServiceConfig* config) {
  ServiceHandleObject* object = Live(service, false);
  if (object == nullptr) return kErrorInvalidHandle;
  if ((object->access & kServiceQueryConfig) == 0) return kErrorAccessDenied;
  if (config == nullptr) return kErrorInvalidParameter;
  if (object->deleted) return kErrorServiceMarkedForDelete;
  Key key;
  Win32Error result = key.Open(object->name);
  if (result == kErrorFileNotFound) return kErrorServiceMarkedForDelete;
  if (result != kErrorSuccess) return result;
  config->serviceType = key.Number(L"Type");
  config->startType = key.Number(L"Start");
  config->errorControl = key.Number(L"ErrorControl");
  config->binaryPathName = key.Text(L"ImagePath");
  config->loadOrderGroup = key.Text(L"Group");
  config->dependencies = key.Strings(L"DependOnService");
  config->serviceStartName = key.Text(L"ObjectName");
  config->displayName = key.Text(L"DisplayName");
  return kErrorSuccess;
}

Win32Error QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  ServiceHandleObject* object = Live(service, false);
  if (object == nullptr) return kErrorInvalidHandle;
  if ((object->access & kServiceQueryStatus) == 0) return kErrorAccessDenied;
  if (status == nullptr) return kErrorInvalidParameter;
  Key key;
  std::uint32_t type = key.Open(object->name) == kErrorSuccess ? key.Number(L"Type") : kServiceWin32OwnProcess;
  *status = CurrentStatus(object->name, type, nullptr);
  return kErrorSuccess;
}

Win32Error ControlService(ScHandle service, std::uint32_t control, ServiceStatus* status) {
  ServiceHandleObject* object = Live(service, false);
  if (object == nullptr) return kErrorInvalidHandle;
  if (status == nullptr) return kErrorInvalidParameter;
  std::uint32_t needed = control == kServiceControlStop          ? kServiceStop
                         : control == kServiceControlInterrogate ? 0x0080  // SERVICE_INTERROGATE
                         : control >= 128                        ? 0x0100  // SERVICE_USER_DEFINED_CONTROL
                                                                 : 0x0040;                        // SERVICE_PAUSE_CONTINUE
  if ((object->access & needed) == 0) return kErrorAccessDenied;
  Key key;
  std::uint32_t type = key.Open(object->name) == kErrorSuccess ? key.Number(L"Type") : kServiceWin32OwnProcess;
  posix::ServiceProcess process;
  *status = CurrentStatus(object->name, type, &process);
  if (status->currentState == kServiceStopped) return kErrorServiceNotActive;
  if (control == kServiceControlInterrogate) return kErrorSuccess;
  if (control != kServiceControlStop) return kErrorInvalidServiceControl;
  if (status->currentState == kServiceStopPending || (status->controlsAccepted & kServiceAcceptStop) == 0) {
    return kErrorServiceCannotAcceptControl;
  }
  // The running service turns SIGTERM into its stop control and reports
  // stop pending itself; this call does not wait for that report.
  if (kill(static_cast<pid_t>(process.id), SIGTERM) != 0) return posix::Win32FromErrno(errno);
  status->currentState = kServiceStopPending;
  return kErrorSuccess;
}

Win32Error DeleteService(ScHandle service) {
  ServiceHandleObject* object = Live(service, false);
  if (object == nullptr) return kErrorInvalidHandle;
  if ((object->access & kServiceDelete) == 0) return kErrorAccessDenied;
  if (object->deleted) return kErrorServiceMarkedForDelete;
  DatabaseLock lock;
  if (Win32Error error = lock.Error()) return error;
  Win32Error result = FindService(object->name);
  if (result == kErrorServiceDoesNotExist) return kErrorServiceMarkedForDelete;
  if (result != kErrorSuccess) return result;
  if (Win32Error removed = RegistryDeleteKeyTree(kHKeyLocalMachine, ServiceKey(object->name))) return removed;
  object->deleted = true;
  // A running service keeps its status file until it reports stopped.
  if (CurrentStatus(object->name, 0, nullptr).currentState == kServiceStopped) {
    posix::RemoveServiceStatus(object->name);
  }
  return kErrorSuccess;
}

Win32Error CloseServiceHandle(ScHandle handle) {
  {
    std::lock_guard lock(HandlesLock());
    if (Handles().erase(handle) == 0) return kErrorInvalidHandle;
  }
  delete handle;
  return kErrorSuccess;
}

}  // namespace wl::platform
