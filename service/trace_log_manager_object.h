// The shared TraceLogManager object that clients reach through
// ITraceLogManager, and its singleton class factory.
//
// The object is free-threaded: any number of threads may call it at once.
// Its methods pass on to the core (TraceLogManager), narrowing sources and
// levels to 16 bits; Initialize and Close change nothing. The factory owns
// it: it is created at the first activation, every activation gets the same
// object, and it lives until the factory goes (at the end of the server
// process). Its reference count takes the module lock when it rises from 1
// to 2 (the first client reference beyond the factory's) and releases it
// when it falls back to 1. References taken and dropped on the sender thread
// of this process's own Logger (the service logging through itself, a batch
// at a time) are not counted for the lock: they are no client's, and the
// end of a batch must not count as the last client leaving.
//
// Changing levels and resetting the logs is open to every caller unless the
// setting RestrictControl narrows it to SYSTEM (ControlGate); a refused
// call returns E_ACCESSDENIED and changes nothing.
#pragma once

#include <atomic>
#include <mutex>

#include "ScribeHost.h"
#include "com/com.h"
#include "service/control_gate.h"
#include "service/module_lock.h"
#include "service/trace_log_manager.h"

namespace wl {

class TraceLogManagerObject final : public ITraceLogManager {
 public:
  // Builds the core and starts its writer. S_OK with the object at a count
  // of 1 (the creator's reference, counted for the lock), or E_OUTOFMEMORY when memory or the writer thread was missing
  // (nothing is left then).
  static HRESULT Create(ModuleLock& moduleLock, TraceLogManagerObject** object);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  HRESULT STDMETHODCALLTYPE Initialize() override;
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE LogMessage(ULONG ulSource, ULONG ulLevel, BSTR bsMsg, SHORT bFlush) override;
  HRESULT STDMETHODCALLTYPE GetLogLevel(ULONG* pLevel) override;
  HRESULT STDMETHODCALLTYPE SetLogLevel(ULONG ulLevel) override;
  HRESULT STDMETHODCALLTYPE SetComponentLogLevel(ULONG ulComponent, ULONG ulLogLevel) override;
  HRESULT STDMETHODCALLTYPE GetComponentLogLevel(ULONG ulComponent, ULONG* pulLogLevel) override;
  HRESULT STDMETHODCALLTYPE ResetLogs() override;
  HRESULT STDMETHODCALLTYPE LogMsg(USHORT uSource, USHORT uLevel, BSTR bsMsg) override;

  // The core, for the server's own process (the host and tests).
  TraceLogManager& Core() { return core_; }

 private:
  explicit TraceLogManagerObject(ModuleLock& moduleLock) : moduleLock_(moduleLock) {}
  // Stops the worker before the files are closed (the core's FinalRelease).
  ~TraceLogManagerObject();

  HRESULT Log(std::uint16_t source, std::uint16_t level, BSTR text);

  std::atomic<ULONG> refCount_{1};
  // The references that count for the module lock.
  std::atomic<ULONG> lockingCount_{1};
  ModuleLock& moduleLock_;
  ControlGate controlGate_;
  TraceLogManager core_;
};

// The singleton class factory of TraceLogManager: register one per process
// (CoRegisterClassObject). Its last release destroys the object.
class TraceLogManagerFactory final : public platform::RefCounted<IClassFactory> {
 public:
  // A new factory with a count of 1, for its owner.
  static TraceLogManagerFactory* Create(ModuleLock& moduleLock);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  // Creates the object at the first call, or fails as that creation did;
  // then hands out the object's interface riid.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // The object once created, for the server's own process (the host and
  // tests); null before.
  [[nodiscard]] TraceLogManagerObject* Object() const { return object_.load(); }

 private:
  explicit TraceLogManagerFactory(ModuleLock& moduleLock) : moduleLock_(moduleLock) {}
  ~TraceLogManagerFactory() override;

  ModuleLock& moduleLock_;
  std::atomic<HRESULT> creationResult_{S_OK};
  std::atomic<TraceLogManagerObject*> object_{nullptr};
  IUnknown* objectUnknown_ = nullptr;
  std::mutex creationLock_;
};

}  // namespace wl
