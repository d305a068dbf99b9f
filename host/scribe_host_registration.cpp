#include "host/scribe_host_registration.h"

#include <array>

#include "com/com.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "host/registry_target.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/access_rules.h"
#include "platform/message_box.h"
#include "platform/module_resource.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service_control/service_control.h"

namespace wl {
namespace {

using platform::ServiceHandle;

constexpr Win32Error kErrorResourceTypeNotFound = 1813;
// MAX_PATH: Install refuses a longer program path.
constexpr std::size_t kMaxPath = 260;

using ScopedKey = platform::UniqueKey;

std::wstring DoubleQuotes(std::wstring_view text) {
  std::wstring doubled;
  for (wchar_t c : text) {
    doubled += c;
    if (c == L'\'') doubled += L'\'';
  }
  return doubled;
}

struct SwitchWord {
  std::wstring_view word;
  HostSwitch value;
};

constexpr std::array<SwitchWord, 4> kFirstPass = {{
    {L"UnregServer", HostSwitch::kUnregServer},
    {L"RegServer", HostSwitch::kRegServer},
    {L"UnregServerPerUser", HostSwitch::kUnregServerPerUser},
    {L"RegServerPerUser", HostSwitch::kRegServerPerUser},
}};

// Whether the text at `at` is the word, ending at the end, a blank or a tab.
bool WordAt(std::wstring_view line, std::size_t at, std::wstring_view word) {
  if (line.size() - at < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (platform::RegistryUpperCase(line[at + i]) != platform::RegistryUpperCase(word[i])) return false;
  }
  std::size_t end = at + word.size();
  return end == line.size() || line[end] == L' ' || line[end] == L'\t';
}

}  // namespace

HostSwitch FindHostSwitch(std::wstring_view commandLine) {
  for (int pass = 1; pass <= 2; ++pass) {
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
      if (commandLine[i] != L'-' && commandLine[i] != L'/') continue;
      if (pass == 2) {
        if (WordAt(commandLine, i + 1, L"Service")) return HostSwitch::kService;
        continue;
      }
      for (const SwitchWord& candidate : kFirstPass) {
        if (WordAt(commandLine, i + 1, candidate.word)) return candidate.value;
      }
    }
  }
  return HostSwitch::kNone;
}

std::vector<RegistrarVariable> ScriptVariables(std::wstring_view modulePath) {
  std::wstring raw = DoubleQuotes(modulePath);
  return {{L"APPID", std::wstring(kAppId)}, {L"MODULE", L"\"" + raw + L"\""}, {L"MODULE_RAW", raw}};
}

ScribeHostRegistration::ScribeHostRegistration(std::wstring modulePath) : modulePath_(std::move(modulePath)) {}

bool ScribeHostRegistration::ParseCommandLine(std::wstring_view commandLine, HResult* result) {
  switch (FindHostSwitch(commandLine)) {
    case HostSwitch::kNone:
      *result = kSOk;
      return true;
    case HostSwitch::kRegServerPerUser:
      SetPerUser(true);
      [[fallthrough]];
    case HostSwitch::kRegServer:
      *result = RegisterSequence(false);
      return false;
    case HostSwitch::kUnregServerPerUser:
      SetPerUser(true);
      [[fallthrough]];
    case HostSwitch::kUnregServer:
      *result = UnregisterSequence();
      return false;
    case HostSwitch::kService:
      *result = RegisterSequence(true);
      return false;
  }
  return true;
}

HResult ScribeHostRegistration::RegisterSequence(bool asService) {
  HResult result = RegisterConfiguration();
  if (result == kSOk) result = RegisterAppId(asService);
  return result == kSOk ? RegisterServer() : result;
}

HResult ScribeHostRegistration::UnregisterSequence() {
  HResult result = UnregisterServer();
  if (result == kSOk) result = UnregisterAppId();
  if (result == kSOk) UnregisterConfiguration();
  return result;
}

HResult ScribeHostRegistration::RegisterConfiguration() {
  ScopedKey product;
  if (Win32Error error = platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyRead,
                                                     product.Receive(), nullptr)) {
    return HResultFromWin32(error);
  }
  // Ordinary users read the settings and change none of them.
  (void)platform::ProtectMachineObject(platform::MachineObject::kKey, kProductKey);
  // The service makes the folder too, when it first writes; made now, the
  // tools find it on a machine whose service has not run yet. Best effort,
  // as are its access rules, which a registration by an ordinary user cannot
  // set.
  std::wstring folder;
  (void)MakeDataFolder(&folder);
  (void)ProtectDataFolder();
  return kSOk;
}

void ScribeHostRegistration::UnregisterConfiguration() {
  for (std::wstring_view key : {kProductKey, kProductKey.substr(0, kProductKey.rfind(L'\\'))}) {
    bool empty = false;
    {
      ScopedKey open;
      if (platform::RegistryOpenKey(platform::kHKeyLocalMachine, key, platform::kKeyRead, open.Receive()) != 0) return;
      std::wstring name;
      std::uint32_t type = 0;
      std::vector<std::uint8_t> data;
      empty = platform::RegistryEnumKey(open.Get(), 0, &name) == kErrorNoMoreItems &&
              platform::RegistryEnumValue(open.Get(), 0, &name, &type, &data) == kErrorNoMoreItems;
    }
    if (!empty || platform::RegistryDeleteKeyTree(platform::kHKeyLocalMachine, key) != kErrorSuccess) return;
  }
}

HResult ScribeHostRegistration::UpdateRegistryFromResource(std::uint32_t id, RegistrarMode mode) {
  lastFailure_.clear();
  auto bytes = platform::FindModuleResource(L"REGISTRY", id);
  if (!bytes) {
    lastFailure_ = L"the executable has no registration script " + std::to_wstring(id);
    return HResultFromWin32(kErrorResourceTypeNotFound);
  }
  std::wstring script =
      platform::WideFromAnsi(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  SystemRegistryTarget target;
  RegistrarFailure failure;
  HResult result = RunRegistryScript(script, mode, ScriptVariables(modulePath_), perUser_, target, &failure);
  if (result != kSOk) lastFailure_ = L"script " + std::to_wstring(id) + L": " + failure.reason;
  return result;
}

HResult ScribeHostRegistration::RegisterAppId(bool asService) {
  if (!Uninstall()) return kEFail;
  if (HResult result = UpdateRegistryFromResource(kAppIdScript, RegistrarMode::kRegister); result != kSOk) {
    return result;
  }
  ScopedKey appIds, appId;
  if (Win32Error error =
          platform::RegistryOpenKey(platform::kHKeyClassesRoot, L"AppID", platform::kKeyWrite, appIds.Receive())) {
    return HResultFromWin32(error);
  }
  if (Win32Error error = platform::RegistryCreateKey(appIds.Get(), kAppId, 0x2001F, appId.Receive(), nullptr)) {
    return HResultFromWin32(error);
  }
  // Absent already when the program was not a service: nothing to report.
  (void)platform::RegistryDeleteValue(appId.Get(), L"LocalService");
  if (!asService) return kSOk;
  std::vector<std::uint8_t> name = platform::Utf16LeStringData(kServiceName);
  if (Win32Error error = platform::RegistrySetValue(appId.Get(), L"LocalService", platform::kRegSz, name.data(),
                                                    static_cast<std::uint32_t>(name.size()))) {
    return HResultFromWin32(error);
  }
  return Install() ? kSOk : kEFail;
}

HResult ScribeHostRegistration::UnregisterAppId() {
  if (!Uninstall()) return kEFail;
  ScopedKey appIds, appId;
  if (Win32Error error =
          platform::RegistryOpenKey(platform::kHKeyClassesRoot, L"AppID", platform::kKeyWrite, appIds.Receive())) {
    return HResultFromWin32(error);
  }
  if (Win32Error error = platform::RegistryOpenKey(appIds.Get(), kAppId, platform::kKeyWrite, appId.Receive())) {
    return HResultFromWin32(error);
  }
  (void)platform::RegistryDeleteValue(appId.Get(), L"LocalService");
  return UpdateRegistryFromResource(kAppIdScript, RegistrarMode::kUnregister);
}

HResult ScribeHostRegistration::RegisterServer() {
  if (HResult result = UpdateRegistryFromResource(kClassScript, RegistrarMode::kRegister); result != kSOk) {
    return result;
  }
  // The class declares no component categories: nothing to register.
  return platform::RegisterTypeLibrary(ScribeHostTypeLib(), modulePath_, perUser_);
}

HResult ScribeHostRegistration::UnregisterServer() {
  // The class declares no component categories; empty category keys left
  // below the class key go.
  platform::HKey classes = perUser_ ? platform::kHKeyCurrentUser : platform::kHKeyClassesRoot;
  std::wstring classKey =
      std::wstring(perUser_ ? L"Software\\Classes\\" : L"") + L"CLSID\\" + platform::GuidText(kTraceLogManagerClsid);
  for (std::wstring_view category : {L"Implemented Categories", L"Required Categories"}) {
    std::wstring key = classKey + L"\\" + std::wstring(category);
    ScopedKey open;
    if (platform::RegistryOpenKey(classes, key, platform::kKeyRead, open.Receive()) != kErrorSuccess) continue;
    std::wstring name;
    if (platform::RegistryEnumKey(open.Get(), 0, &name) == kErrorNoMoreItems) {
      (void)platform::RegistryDeleteKeyTree(classes, key);
    }
  }
  if (HResult result = UpdateRegistryFromResource(kClassScript, RegistrarMode::kUnregister); result != kSOk) {
    return result;
  }
  return platform::UnregisterTypeLibrary(ScribeHostTypeLib(), modulePath_, perUser_);
}

void ScribeHostRegistration::Show(std::uint32_t, std::wstring_view text) {
  // The program carries no string resources that would replace the texts.
  platform::ShowMessageBox(kServiceName, text);
}

bool ScribeHostRegistration::IsInstalled() {
  ServiceHandle manager, service;
  if (platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()) != kErrorSuccess) return false;
  return platform::OpenServiceW(manager.Get(), kServiceName, platform::kServiceQueryConfig, service.Receive()) ==
         kErrorSuccess;
}

bool ScribeHostRegistration::Install() {
  if (IsInstalled()) return true;
  if (modulePath_.size() >= kMaxPath) return false;
  ServiceHandle manager, service;
  if (platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()) != kErrorSuccess) {
    Show(55306, L"Could not open Service Manager");
    return false;
  }
  platform::ServiceConfig config;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = platform::kServiceDemandStart;
  config.errorControl = platform::kServiceErrorNormal;
  config.binaryPathName = L"\"" + modulePath_ + L"\"";
  config.dependencies = {L"RPCSS"};
  config.displayName = std::wstring(kServiceName);
  if (platform::CreateServiceW(manager.Get(), kServiceName, config, platform::kServiceAllAccess, service.Receive()) !=
      kErrorSuccess) {
    Show(55307, L"Could not start service");
    return false;
  }
  return true;
}

bool ScribeHostRegistration::Uninstall() {
  if (!IsInstalled()) return true;
  ServiceHandle manager, service;
  if (platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()) != kErrorSuccess) {
    Show(55306, L"Could not open Service Manager");
    return false;
  }
  constexpr std::uint32_t kAccess = platform::kServiceStop | platform::kServiceDelete | platform::kServiceQueryStatus;
  if (platform::OpenServiceW(manager.Get(), kServiceName, kAccess, service.Receive()) != kErrorSuccess) {
    Show(55308, L"Could not open service");
    return false;
  }
  // A stopped service gets no stop control: it would only answer 1062, and
  // Wine's service manager then keeps a service marked for deletion until
  // it restarts.
  platform::ServiceStatus status;
  Win32Error stopped = platform::QueryServiceStatus(service.Get(), &status);
  if (stopped == kErrorSuccess && status.currentState == platform::kServiceStopped) {
    stopped = kErrorServiceNotActive;
  } else {
    stopped = platform::ControlService(service.Get(), platform::kServiceControlStop, &status);
  }
  bool alreadyStopping = stopped == kErrorServiceNotActive || (stopped == kErrorServiceCannotAcceptControl &&
                                                               status.currentState == platform::kServiceStopPending);
  if (stopped != kErrorSuccess && !alreadyStopping) Show(55310, L"Could not stop service");
  if (platform::DeleteService(service.Get()) != kErrorSuccess) {
    Show(55309, L"Could not delete service");
    return false;
  }
  return true;
}

}  // namespace wl
