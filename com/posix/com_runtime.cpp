// The COM runtime on Linux: apartments, the class objects this process
// registers, the server process's reference count, activation by
// CoCreateInstance, and the hooks of the transport (service starter, report
// sink). The transport itself is in com_server.cpp (with its listener,
// connection and dispatch) and in activation.cpp and channel.cpp, the
// class folders in class_folders.cpp, the registry reads of activation in
// class_registration.cpp.
#include <poll.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "com/com.h"
#include "com/posix/activation.h"
#include "com/posix/com_server.h"
#include "com/posix/runtime.h"
#include "platform/debug_output.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service_control/service_run.h"

namespace wl::platform {
namespace {

thread_local int threadInitCount = 0;
std::atomic<int> processInitCount{0};
std::atomic<ULONG> serverProcessCount{0};

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* classObject;
  DWORD context;
  bool suspended;
};

std::mutex& RegistrationsLock() {
  static std::mutex lock;
  return lock;
}
std::vector<Registration>& Registrations() {
  static std::vector<Registration> registrations;
  return registrations;
}

// Starts the installed service through the service control stand-in.
class InstalledServiceStarter final : public ServiceStarter {
 public:
  Win32Error StartServiceByName(std::wstring_view name) override { return StartInstalledService(name); }
};

InstalledServiceStarter defaultStarter;
std::atomic<ServiceStarter*> serviceStarter{&defaultStarter};

void DefaultSink(ComReport kind, std::wstring_view text) {
  if (kind == ComReport::kError) OutputDebugText(std::wstring(text) + L"\n");
}
std::atomic<ComReportSink> reportSink{&DefaultSink};

std::mutex& HooksLock() {
  static std::mutex lock;
  return lock;
}
ComTimeouts timeouts;
ComServerLimits serverLimits;

}  // namespace

void SetServiceStarter(ServiceStarter* starter) { serviceStarter = starter == nullptr ? &defaultStarter : starter; }

void SetComReportSink(ComReportSink sink) { reportSink = sink == nullptr ? &DefaultSink : sink; }

void SetComTimeouts(const ComTimeouts& value) {
  std::lock_guard lock(HooksLock());
  timeouts = value;
}

void SetComServerLimits(const ComServerLimits& limits) {
  std::lock_guard lock(HooksLock());
  serverLimits = limits;
}

namespace posix {

void ReportCom(ComReport kind, std::wstring_view text) { reportSink.load()(kind, text); }

Win32Error StartNamedService(std::wstring_view name) { return serviceStarter.load()->StartServiceByName(name); }

bool AwaitReadable(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
  do {
    pollfd poller{fd, POLLIN, 0};
    if (poll(&poller, 1, 0) > 0) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

ComTimeouts CurrentComTimeouts() {
  std::lock_guard lock(HooksLock());
  return timeouts;
}

ComServerLimits CurrentComServerLimits() {
  std::lock_guard lock(HooksLock());
  return serverLimits;
}

IUnknown* FindLocalClassObject(const CLSID& clsid) {
  std::lock_guard lock(RegistrationsLock());
  for (const Registration& registration : Registrations()) {
    if (registration.clsid == clsid) {
      registration.classObject->AddRef();
      return registration.classObject;
    }
  }
  return nullptr;
}

}  // namespace posix
}  // namespace wl::platform

using namespace wl::platform;

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  // There is one apartment here, the multithreaded one.
  if ((dwCoInit & COINIT_APARTMENTTHREADED) != 0) return threadInitCount > 0 ? RPC_E_CHANGED_MODE : E_NOTIMPL;
  ++processInitCount;
  return threadInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (threadInitCount == 0) return;
  --threadInitCount;
  // The last one out stops the transport: listeners, connections (their
  // references are released) and the server threads.
  if (--processInitCount == 0) posix::StopComServer();
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister) {
  if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
  if (processInitCount == 0) return CO_E_NOTINITIALIZED;
  static std::atomic<DWORD> nextCookie{1};
  Registration registration{nextCookie++, rclsid, pUnk, dwClsContext, (flags & REGCLS_SUSPENDED) != 0};
  if ((dwClsContext & CLSCTX_LOCAL_SERVER) != 0 && !registration.suspended) {
    if (HRESULT result = posix::ListenForClass(rclsid); FAILED(result)) return result;
  }
  pUnk->AddRef();
  std::lock_guard lock(RegistrationsLock());
  Registrations().push_back(registration);
  *lpdwRegister = registration.cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* classObject = nullptr;
  {
    std::lock_guard lock(RegistrationsLock());
    auto& registrations = Registrations();
    for (auto it = registrations.begin(); it != registrations.end(); ++it) {
      if (it->cookie != dwRegister) continue;
      classObject = it->classObject;
      posix::StopListeningForClass(it->clsid);
      registrations.erase(it);
      break;
    }
  }
  if (classObject == nullptr) return E_INVALIDARG;
  classObject->Release();
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::lock_guard lock(RegistrationsLock());
  for (Registration& registration : Registrations()) {
    if (!registration.suspended) continue;
    if ((registration.context & CLSCTX_LOCAL_SERVER) != 0) {
      if (HRESULT result = posix::ListenForClass(registration.clsid); FAILED(result)) return result;
    }
    registration.suspended = false;
  }
  return S_OK;
}

HRESULT CoSuspendClassObjects() {
  std::lock_guard lock(RegistrationsLock());
  for (Registration& registration : Registrations()) {
    if (registration.suspended) continue;
    posix::StopListeningForClass(registration.clsid);
    registration.suspended = true;
  }
  return S_OK;
}

ULONG CoAddRefServerProcess() { return ++serverProcessCount; }

ULONG CoReleaseServerProcess() {
  ULONG count = --serverProcessCount;
  // As on Windows, a server whose count reaches 0 takes no new activations:
  // a client that comes now starts a new server.
  if (count == 0) CoSuspendClassObjects();
  return count;
}

HRESULT OleRun(IUnknown* pUnknown) { return pUnknown == nullptr ? E_INVALIDARG : S_OK; }

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (processInitCount == 0) return CO_E_NOTINITIALIZED;
  // A class object registered in this process is found first.
  if (IUnknown* classObject = posix::FindLocalClassObject(rclsid)) {
    IClassFactory* factory = nullptr;
    HRESULT result = classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
    classObject->Release();
    if (FAILED(result)) return result;
    result = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return result;
  }
  if ((dwClsContext & CLSCTX_LOCAL_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return posix::CreateRemoteInstance(rclsid, riid, ppv);
}
