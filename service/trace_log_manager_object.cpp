#include "service/trace_log_manager_object.h"

#include <new>
#include <string>

#include "logclient/logger.h"
#include "logclient/trace_log_manager_type.h"

namespace wl {

HRESULT TraceLogManagerObject::Create(ModuleLock& moduleLock, TraceLogManagerObject** object) {
  *object = nullptr;
  TraceLogManagerObject* made = nullptr;
  try {
    made = new TraceLogManagerObject(moduleLock);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  HRESULT result = made->core_.FinalConstruct();
  if (FAILED(result)) {
    delete made;
    return result;
  }
  *object = made;
  return S_OK;
}

TraceLogManagerObject::~TraceLogManagerObject() { core_.FinalRelease(); }

HRESULT TraceLogManagerObject::QueryInterface(REFIID riid, void** object) {
  return platform::QueryInterfaceOf<ITraceLogManager>(this, riid, object, {IID_IDispatch, IID_ITraceLogManager});
}

ULONG TraceLogManagerObject::AddRef() {
  if (!IsLoggerSenderThread() && ++lockingCount_ == 2) moduleLock_.Lock();
  return ++refCount_;
}

ULONG TraceLogManagerObject::Release() {
  if (!IsLoggerSenderThread() && --lockingCount_ == 1) moduleLock_.Unlock();
  ULONG count = --refCount_;
  if (count == 0) delete this;
  return count;
}

HRESULT TraceLogManagerObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT TraceLogManagerObject::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  return TraceLogManagerTypeInfo::Instance().GetTypeInfo(index, lcid, info);
}

HRESULT TraceLogManagerObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  return TraceLogManagerTypeInfo::Instance().GetIDsOfNames(names, count, lcid, ids);
}

HRESULT TraceLogManagerObject::Invoke(DISPID member, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                      EXCEPINFO* exception, UINT* argError) {
  ITypeInfo* info = nullptr;
  if (HRESULT loaded = TraceLogManagerTypeInfo::Instance().Get(lcid, &info); FAILED(loaded)) return loaded;
  return info->Invoke(static_cast<ITraceLogManager*>(this), member, flags, params, result, exception, argError);
}

HRESULT TraceLogManagerObject::Initialize() { return S_OK; }

HRESULT TraceLogManagerObject::Close() { return S_OK; }

HRESULT TraceLogManagerObject::Log(std::uint16_t source, std::uint16_t level, BSTR text) {
  // Converting callers reuse their thread's buffer.
  thread_local std::wstring scratch;
  return core_.QueueMessage(source, level, platform::ViewOfBstr(text, scratch));
}

HRESULT TraceLogManagerObject::LogMessage(ULONG ulSource, ULONG ulLevel, BSTR bsMsg, SHORT) {
  return Log(static_cast<std::uint16_t>(ulSource), static_cast<std::uint16_t>(ulLevel), bsMsg);
}

HRESULT TraceLogManagerObject::LogMsg(USHORT uSource, USHORT uLevel, BSTR bsMsg) { return Log(uSource, uLevel, bsMsg); }

HRESULT TraceLogManagerObject::GetLogLevel(ULONG* pLevel) {
  if (pLevel == nullptr) return E_INVALIDARG;
  std::uint32_t level = 0;
  HRESULT result = core_.GetLogLevel(&level);
  *pLevel = level;
  return result;
}

HRESULT TraceLogManagerObject::SetLogLevel(ULONG ulLevel) {
  if (!controlGate_.Allows(L"SetLogLevel")) return E_ACCESSDENIED;
  return core_.SetLogLevel(ulLevel);
}

HRESULT TraceLogManagerObject::SetComponentLogLevel(ULONG ulComponent, ULONG ulLogLevel) {
  if (!controlGate_.Allows(L"SetComponentLogLevel")) return E_ACCESSDENIED;
  return core_.SetComponentLogLevel(ulComponent, ulLogLevel);
}

HRESULT TraceLogManagerObject::GetComponentLogLevel(ULONG ulComponent, ULONG* pulLogLevel) {
  if (pulLogLevel == nullptr) return E_INVALIDARG;
  std::uint32_t level = 0;
  HRESULT result = core_.GetComponentLogLevel(ulComponent, &level);
  if (SUCCEEDED(result)) *pulLogLevel = level;
  return result;
}

HRESULT TraceLogManagerObject::ResetLogs() {
  if (!controlGate_.Allows(L"ResetLogs")) return E_ACCESSDENIED;
  return core_.ResetLogs();
}

TraceLogManagerFactory* TraceLogManagerFactory::Create(ModuleLock& moduleLock) {
  // The transport of the Linux build decodes calls by the description.
  platform::AddBuiltInTypeLibrary(ScribeHostTypeLib());
  return new TraceLogManagerFactory(moduleLock);
}

TraceLogManagerFactory::~TraceLogManagerFactory() {
  if (objectUnknown_ != nullptr) objectUnknown_->Release();
}

HRESULT TraceLogManagerFactory::QueryInterface(REFIID riid, void** object) {
  return platform::QueryInterfaceOf<IClassFactory>(this, riid, object, {IID_IClassFactory});
}

HRESULT TraceLogManagerFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (creationResult_.load() == S_OK && object_.load() == nullptr) {
    std::lock_guard lock(creationLock_);
    if (creationResult_.load() == S_OK && object_.load() == nullptr) {
      TraceLogManagerObject* made = nullptr;
      HRESULT result = TraceLogManagerObject::Create(moduleLock_, &made);
      if (SUCCEEDED(result)) {
        // The creator's reference becomes the factory's own.
        objectUnknown_ = static_cast<ITraceLogManager*>(made);
        object_.store(made);
      } else {
        creationResult_.store(result);
      }
    }
  }
  if (HRESULT stored = creationResult_.load(); stored != S_OK) return stored;
  return object_.load()->QueryInterface(riid, object);
}

HRESULT TraceLogManagerFactory::LockServer(BOOL lock) {
  if (lock) {
    moduleLock_.Lock();
  } else {
    moduleLock_.Unlock();
  }
  return S_OK;
}

}  // namespace wl
