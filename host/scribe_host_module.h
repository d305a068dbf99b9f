// The service module of ScribeHost: one static instance that carries the
// process's role and state. It chooses the role at start (a service when the
// AppID holds LocalService, else a local server), runs the service's main
// function and control handler, registers the TraceLogManager class object,
// runs the message loop, keeps the module lock count that decides when a
// local server ends, and writes the host's events to the event log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "com/com.h"
#include "host/scribe_host_registration.h"
#include "service/module_lock.h"
#include "service/own_log_service.h"
#include "service/syslog_intake.h"
#include "service_control/service_control.h"
#include "service_control/service_run.h"

namespace wl {

class TraceLogManagerFactory;

// The texts the host writes to the event log.
inline constexpr std::wstring_view kEventHandlerNotInstalled = L"Handler not installed";
inline constexpr std::wstring_view kEventSecurityFailure = L"CoInitializeSecurity failure!";
inline constexpr std::wstring_view kEventServiceStarted = L"Service started/resumed";
inline constexpr std::wstring_view kEventBadRequest = L"Bad service request";
inline constexpr std::wstring_view kEventServiceStopped = L"Service stopped";

// The longest event text; LogEvent cuts what is longer.
inline constexpr std::size_t kMaxEventTextLength = 255;

// The text as LogEvent reports it: at most kMaxEventTextLength characters.
std::wstring_view CutEventText(std::wstring_view text);

class CScribeHostModule final : public ModuleLock {
 public:
  // The one instance, made before main runs (so its main thread is the
  // process's first thread).
  static CScribeHostModule& Instance();

  CScribeHostModule();
  ~CScribeHostModule() override;
  CScribeHostModule(const CScribeHostModule&) = delete;
  CScribeHostModule& operator=(const CScribeHostModule&) = delete;

  // Chooses the role from the AppID's LocalService and runs it. Returns the
  // exit code: the registry's error when the AppID key cannot be opened,
  // the dispatcher's error when the process was not started as a service
  // (1063 from a console), else the result of the run. Main thread.
  HRESULT Start();

  // The service's main function and control handler (called by the
  // dispatcher through static entries).
  void ServiceMain();
  void Handler(std::uint32_t control);

  // PreMessageLoop, the message loop of the calling thread, PostMessageLoop.
  HRESULT Run();
  HRESULT PreMessageLoop();
  HRESULT PostMessageLoop();

  // The module lock (ModuleLock). Lock adds a reference to the server
  // process. Unlock in service mode only counts down: a service keeps
  // running without clients. Unlock in local-server mode releases the
  // server process's reference; the last one goes to the shutdown monitor,
  // which has the files written out and closed before it releases it (the
  // class then takes no more activations) and ends the loop. Any thread.
  long Lock() override;
  long Unlock() override;
  [[nodiscard]] long GetLockCount() const override { return lockCount_.load(); }

  // Reports an event (information, or error when `error`) under the
  // service's name, the text cut to 255 characters; a local server and a
  // service run in the foreground (wlsc run) also print it on standard
  // output with a line break. Any thread.
  void LogEvent(std::wstring_view text, bool error = false);

  // What this process's own Logger logs through: the object while the
  // process serves the class. The entry point installs it for the Logger.
  OwnLogService& OwnService() { return ownService_; }

  [[nodiscard]] bool IsService() const { return isService_.load(); }
  [[nodiscard]] bool ComInitialized() const { return comInitialized_.load(); }
  [[nodiscard]] std::uint32_t ServiceState() const { return state_.load(); }

 private:
  HRESULT InitializeCom();
  void ReportStatus();
  HRESULT RegisterClassObject();
  void RevokeClassObject();
  void ReleaseClassObject();
  void WaitUntilWritten();
  // The syslog intake of a service, when its settings turn it on: started
  // with the object (made here, since no client may come), stopped before
  // the object writes out.
  void StartSyslogIntake();
  void StopSyslogIntake();
  void StartForwarding();
  void StopForwarding();
  void SignalShutdown();
  void MonitorShutdown();

  static void ServiceMainEntry();
  static void HandlerEntry(std::uint32_t control);

  const std::uint32_t mainThreadId_;
  const std::uint32_t shutdownTimeoutMs_ = 5000;
  const std::uint32_t pauseMs_ = 1000;
  std::atomic<bool> delayShutdown_{true};
  std::atomic<bool> activity_{false};
  std::atomic<bool> comInitialized_{false};
  std::atomic<bool> isService_{true};
  std::atomic<std::uint32_t> serviceThreadId_{0};
  std::atomic<long> lockCount_{0};

  // The service status: the state changes from any thread, the rest only
  // on the service thread.
  std::atomic<std::uint32_t> state_{platform::kServiceStopped};
  std::atomic<std::uint32_t> exitCode_{0};
  std::atomic<platform::ServiceStatusHandle> statusHandle_{nullptr};

  // The auto-reset shutdown event and its monitor (local-server mode).
  std::mutex shutdownMutex_;
  std::condition_variable shutdownSignal_;
  bool shutdownSet_ = false;
  bool monitorDone_ = false;
  // Last references of the server process that Unlock left to the monitor.
  int idleReleases_ = 0;
  std::thread monitor_;

  OwnLogService ownService_;

  TraceLogManagerFactory* factory_ = nullptr;
  // The intake's reference to the object, and the intake.
  ITraceLogManager* syslogObject_ = nullptr;
  // Held while the service forwards, so that it starts without a client.
  ITraceLogManager* forwardingObject_ = nullptr;
  std::unique_ptr<SyslogIntake> syslogIntake_;
  DWORD classCookie_ = 0;
  bool classRegistered_ = false;
};

}  // namespace wl
