#include "host/scribe_host_module.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "com/com_server_process.h"
#include "diagnostics/error_text.h"
#include "diagnostics/write_log.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/event_log.h"
#include "platform/message_queue.h"
#include "platform/system.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service/forwarder.h"
#include "service/service_events.h"
#include "service/trace_log_manager_object.h"

namespace wl {
namespace {

// Made before main runs, on the process's first thread.
CScribeHostModule module;

constexpr std::uint32_t kLocalServiceMaxBytes = 520;

// LocalService counts when it is a string whose data is empty or an even
// number of bytes ending in a null character.
bool ReadLocalService(platform::HKey appIdKey) {
  std::vector<std::uint8_t> data(kLocalServiceMaxBytes);
  std::uint32_t type = 0;
  auto size = static_cast<std::uint32_t>(data.size());
  if (platform::RegistryQueryValue(appIdKey, L"LocalService", &type, data.data(), &size) != kErrorSuccess) {
    return false;
  }
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return false;
  return size == 0 || (size % 2 == 0 && data[size - 1] == 0 && data[size - 2] == 0);
}

using Key = platform::UniqueKey;

}  // namespace

std::wstring_view CutEventText(std::wstring_view text) { return text.substr(0, kMaxEventTextLength); }

CScribeHostModule& CScribeHostModule::Instance() { return module; }

CScribeHostModule::CScribeHostModule() : mainThreadId_(platform::GetCurrentThreadId()) {}

CScribeHostModule::~CScribeHostModule() {
  if (monitor_.joinable()) monitor_.detach();
}

HRESULT CScribeHostModule::Start() {
  Key appIds, appId;
  Win32Error opened =
      platform::RegistryOpenKey(platform::kHKeyClassesRoot, L"AppID", platform::kKeyRead, appIds.Receive());
  if (opened == kErrorSuccess) {
    opened = platform::RegistryOpenKey(appIds.Get(), platform::GuidText(kScribeHostAppId), platform::kKeyRead,
                                       appId.Receive());
  }
  if (opened != kErrorSuccess) {
    exitCode_ = opened;
    return static_cast<HRESULT>(opened);
  }
  if (ReadLocalService(appId.Get())) {
    isService_ = true;
    Win32Error result = platform::StartServiceCtrlDispatcherW(kServiceName, &ServiceMainEntry);
    if (result != kErrorSuccess) exitCode_ = result;
    return static_cast<HRESULT>(exitCode_.load());
  }
  isService_ = false;
  if (HRESULT result = InitializeCom(); FAILED(result)) return result;
  HRESULT result = Run();
  exitCode_ = static_cast<std::uint32_t>(result);
  return result;
}

// COM for the multithreaded apartment; a thread already in another
// apartment is accepted only where the managed runtime put it there.
HRESULT CScribeHostModule::InitializeCom() {
  HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(result)) {
    comInitialized_ = true;
    return result;
  }
  if (result == RPC_E_CHANGED_MODE && platform::IsModuleLoaded(L"Mscoree.dll")) return S_OK;
  return result;
}

void CScribeHostModule::ServiceMainEntry() { Instance().ServiceMain(); }

void CScribeHostModule::HandlerEntry(std::uint32_t control) { Instance().Handler(control); }

void CScribeHostModule::ServiceMain() {
  state_ = platform::kServiceStartPending;
  serviceThreadId_ = platform::GetCurrentThreadId();
  // The queue exists before the handler can post the quit message to it.
  platform::EnsureThreadMessageQueue();
  platform::ServiceStatusHandle handle = nullptr;
  if (platform::RegisterServiceCtrlHandlerW(kServiceName, &HandlerEntry, &handle) != kErrorSuccess) {
    LogEvent(kEventHandlerNotInstalled);
    return;
  }
  statusHandle_ = handle;
  exitCode_ = 0;
  ReportStatus();
  // Remembered apart from a local server's initialisation: this one is
  // undone here.
  bool comBefore = comInitialized_.load();
  if (FAILED(InitializeCom())) return;
  bool initializedHere = comInitialized_.load() && !comBefore;
  delayShutdown_ = false;
  HRESULT result = Run();
  exitCode_ = static_cast<std::uint32_t>(result);
  // Clients may still hold the object (the COM runtime of Windows drops
  // their references only later): every line taken so far reaches its file
  // before the service reports stopped.
  WaitUntilWritten();
  if (initializedHere) {
    CoUninitialize();
    comInitialized_ = false;
  }
  ReleaseClassObject();
  state_ = platform::kServiceStopped;
  ReportStatus();
  LogEvent(kEventServiceStopped);
}

void CScribeHostModule::Handler(std::uint32_t control) {
  switch (control) {
    case platform::kServiceControlStop:
      state_ = platform::kServiceStopPending;
      ReportStatus();
      (void)platform::PostThreadMessageW(serviceThreadId_, platform::kWmQuit);
      break;
    case platform::kServiceControlPause:
    case platform::kServiceControlContinue:
    case platform::kServiceControlInterrogate:
    case platform::kServiceControlShutdown:
      break;
    default:
      LogEvent(kEventBadRequest);
  }
}

void CScribeHostModule::ReportStatus() {
  platform::ServiceStatusHandle handle = statusHandle_.load();
  if (handle == nullptr) return;
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state_.load();
  status.controlsAccepted = platform::kServiceAcceptStop;
  status.win32ExitCode = exitCode_.load();
  (void)platform::SetServiceStatus(handle, status);
}

HRESULT CScribeHostModule::Run() {
  platform::EnsureThreadMessageQueue();
  HRESULT result = PreMessageLoop();
  if (FAILED(result)) {
    ReleaseClassObject();
    return result;
  }
  if (result == S_OK) {
    platform::ThreadMessage message;
    while (platform::GetMessageW(&message) > 0) {
      platform::TranslateMessage(message);
      platform::DispatchMessageW(message);
    }
  }
  result = PostMessageLoop();
  // In local-server mode the last client is gone: the object goes with the
  // factory here. A service keeps it until COM is undone, which drops the
  // references of clients that still hold it.
  if (!isService_) ReleaseClassObject();
  return result;
}

HRESULT CScribeHostModule::PreMessageLoop() {
  // What the service reports while it runs (the forwarder's state) becomes
  // events.
  SetServiceEventReceiver([](std::wstring_view text, bool error) { Instance().LogEvent(text, error); });
  if (isService_ && FAILED(platform::InitializeServerSecurity())) LogEvent(kEventSecurityFailure);
  if (HRESULT result = RegisterClassObject(); FAILED(result)) return result;
  if (delayShutdown_) {
    try {
      {
        std::lock_guard lock(shutdownMutex_);
        shutdownSet_ = false;
        monitorDone_ = false;
      }
      monitor_ = std::thread(&CScribeHostModule::MonitorShutdown, this);
    } catch (const std::system_error&) {
      RevokeClassObject();
      return E_FAIL;
    }
  }
  if (isService_) StartSyslogIntake();
  if (isService_) StartForwarding();
  if (isService_) {
    std::uint32_t expected = platform::kServiceStartPending;
    if (state_.compare_exchange_strong(expected, platform::kServiceRunning)) {
      LogEvent(kEventServiceStarted);
      ReportStatus();
    }
  }
  HRESULT result = CoResumeClassObjects();
  if (FAILED(result)) {
    if (delayShutdown_ && monitor_.joinable()) {
      SignalShutdown();
      std::unique_lock lock(shutdownMutex_);
      shutdownSignal_.wait_for(lock, std::chrono::milliseconds(2 * shutdownTimeoutMs_), [&] { return monitorDone_; });
    }
    RevokeClassObject();
    return result;
  }
  return S_OK;
}

HRESULT CScribeHostModule::PostMessageLoop() {
  HRESULT result = classRegistered_ ? CoRevokeClassObject(classCookie_) : S_OK;
  classRegistered_ = false;
  StopSyslogIntake();
  StopForwarding();
  // What the process reports from now on goes to its daily file.
  ownService_.Stop();
  if (!isService_) platform::SleepMilliseconds(pauseMs_);
  if (monitor_.joinable()) {
    // The loop may have ended otherwise than by the monitor's quit message.
    SignalShutdown();
    monitor_.join();
  }
  return result;
}

HRESULT CScribeHostModule::RegisterClassObject() {
  if (factory_ == nullptr) factory_ = TraceLogManagerFactory::Create(*this);
  if (factory_ == nullptr) {
    delayShutdown_ = false;
    return S_FALSE;
  }
  HRESULT result = CoRegisterClassObject(kTraceLogManagerClsid, factory_, CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &classCookie_);
  classRegistered_ = SUCCEEDED(result);
  if (classRegistered_) ownService_.Serve(factory_);
  return result;
}

void CScribeHostModule::RevokeClassObject() {
  if (classRegistered_) (void)CoRevokeClassObject(classCookie_);
  classRegistered_ = false;
  ownService_.Stop();
}

void CScribeHostModule::StartSyslogIntake() {
  SyslogIntakeSettings settings = ReadSyslogIntakeSettings();
  if (!settings.enabled || factory_ == nullptr) return;
  void* object = nullptr;
  if (HRESULT result = factory_->CreateInstance(nullptr, IID_ITraceLogManager, &object); FAILED(result)) {
    LogEvent(L"Syslog intake: the log service object cannot be made." +
             ErrorCodeText(static_cast<std::uint32_t>(result)));
    return;
  }
  syslogObject_ = static_cast<ITraceLogManager*>(object);
  syslogIntake_ = std::make_unique<SyslogIntake>(factory_->Object()->Core());
  // The operator reads where the intake listens (or why it does not) in the
  // event log and in the service's own file.
  for (const std::wstring& line : syslogIntake_->Start(settings)) {
    LogEvent(line);
    WriteLog(kGlobalSource, line.find(L"listening on") != std::wstring::npos ? kLevelInfo : kLevelError, line);
  }
  if (!syslogIntake_->Running()) StopSyslogIntake();
}

// A service with a target forwards from its start, not from its first
// client: the operator sees the collector's state (status file, events) at
// once.
void CScribeHostModule::StartForwarding() {
  if (factory_ == nullptr || ReadForwardingSettings().target.empty()) return;
  void* object = nullptr;
  if (HRESULT result = factory_->CreateInstance(nullptr, IID_ITraceLogManager, &object); FAILED(result)) {
    LogEvent(L"Forwarding: the log service object cannot be made." + ErrorCodeText(static_cast<std::uint32_t>(result)),
             true);
    return;
  }
  forwardingObject_ = static_cast<ITraceLogManager*>(object);
}

void CScribeHostModule::StopForwarding() {
  if (forwardingObject_ != nullptr) forwardingObject_->Release();
  forwardingObject_ = nullptr;
}

void CScribeHostModule::StopSyslogIntake() {
  if (syslogIntake_ != nullptr) syslogIntake_->Stop();
  syslogIntake_.reset();
  if (syslogObject_ != nullptr) syslogObject_->Release();
  syslogObject_ = nullptr;
}

void CScribeHostModule::WaitUntilWritten() {
  if (factory_ != nullptr && factory_->Object() != nullptr) factory_->Object()->Core().WaitUntilWritten();
}

// The factory's last reference: the object, when no client holds it any
// more, stops its writer (every queued line reaches its file) and closes
// its files.
void CScribeHostModule::ReleaseClassObject() {
  ownService_.Stop();
  if (factory_ != nullptr) factory_->Release();
  factory_ = nullptr;
}

long CScribeHostModule::Lock() {
  CoAddRefServerProcess();
  return ++lockCount_;
}

long CScribeHostModule::Unlock() {
  long left = --lockCount_;
  if (isService_) return left;
  if (left == 0 && delayShutdown_) {
    // The monitor takes the disk's time, not the releasing caller.
    {
      std::lock_guard lock(shutdownMutex_);
      ++idleReleases_;
    }
    shutdownSignal_.notify_all();
    return left;
  }
  ULONG processLeft = CoReleaseServerProcess();
  if (processLeft == 0) {
    activity_ = true;
    if (delayShutdown_) {
      SignalShutdown();
    } else {
      (void)platform::PostThreadMessageW(mainThreadId_, platform::kWmQuit);
    }
  }
  return static_cast<long>(processLeft);
}

void CScribeHostModule::SignalShutdown() {
  {
    std::lock_guard lock(shutdownMutex_);
    shutdownSet_ = true;
  }
  shutdownSignal_.notify_all();
}

// Waits for the last unlock, then ends the main thread's loop at once. The
// files are written out and closed before the process's last reference
// goes, since from then on a client starts a new server, which must find
// them free; a client that came back meanwhile keeps this one serving.
void CScribeHostModule::MonitorShutdown() {
  {
    std::unique_lock lock(shutdownMutex_);
    for (;;) {
      shutdownSignal_.wait(lock, [&] { return shutdownSet_ || idleReleases_ > 0; });
      if (shutdownSet_) break;
      --idleReleases_;
      lock.unlock();
      ownService_.Stop();
      bool last = CoReleaseServerProcess() == 0;
      if (!last) ownService_.Serve(factory_);
      lock.lock();
      if (last) {
        activity_ = true;
        break;
      }
    }
    shutdownSet_ = false;
  }
  (void)platform::PostThreadMessageW(mainThreadId_, platform::kWmQuit);
  {
    std::lock_guard lock(shutdownMutex_);
    monitorDone_ = true;
  }
  shutdownSignal_.notify_all();
}

void CScribeHostModule::LogEvent(std::wstring_view text, bool error) {
  std::wstring_view cut = CutEventText(text);
  if (!isService_ || platform::ServiceRunsInForeground()) {
    std::string line = platform::Utf8FromWide(cut) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  platform::EventSourceHandle source = nullptr;
  if (platform::RegisterEventSourceW(kServiceName, &source) != kErrorSuccess) return;
  (void)platform::ReportEventW(source, error ? platform::kEventLogErrorType : platform::kEventLogInformationType, 0, 0,
                               {std::wstring(cut)});
  (void)platform::DeregisterEventSource(source);
}

}  // namespace wl
