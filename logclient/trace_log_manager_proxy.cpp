#include "logclient/trace_log_manager_proxy.h"

#include <span>

#include "logclient/trace_log_manager_type.h"

namespace wl {
namespace {

using platform::CallValue;

// Each method sends its arguments as one call frame; IDispatch is answered
// here from the registered type library, and Invoke calls back into this
// proxy's own methods, so late-bound calls take the same road.
class TraceLogManagerProxy final : public ITraceLogManager,
                                   public ITraceLogManagerPipeline,
                                   public platform::InterfaceProxy {
 public:
  TraceLogManagerProxy(IUnknown* outer, platform::ComChannel& channel) : outer_(outer), channel_(channel) {}

  IUnknown* Interface() override { return static_cast<ITraceLogManager*>(this); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object != nullptr && IsEqualIID(riid, kTraceLogManagerPipelineIid)) {
      outer_->AddRef();
      *object = static_cast<ITraceLogManagerPipeline*>(this);
      return S_OK;
    }
    return outer_->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return TraceLogManagerTypeInfo::Instance().GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return TraceLogManagerTypeInfo::Instance().GetIDsOfNames(names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) override {
    ITypeInfo* info = nullptr;
    if (HRESULT loaded = TraceLogManagerTypeInfo::Instance().Get(lcid, &info); FAILED(loaded)) return loaded;
    return info->Invoke(static_cast<ITraceLogManager*>(this), member, flags, params, result, exception, argError);
  }

  HRESULT STDMETHODCALLTYPE Initialize() override { return Call(7, nullptr); }
  HRESULT STDMETHODCALLTYPE Close() override { return Call(8, nullptr); }
  HRESULT STDMETHODCALLTYPE LogMessage(ULONG ulSource, ULONG ulLevel, BSTR bsMsg, SHORT bFlush) override {
    CallValue values[4];
    values[0].number = ulSource;
    values[1].number = ulLevel;
    values[2].text = bsMsg;
    values[3].number = static_cast<std::uint16_t>(bFlush);
    return Call(9, values);
  }
  // A null [out] pointer never leaves the client, as with the COM
  // runtime's proxies.
  HRESULT STDMETHODCALLTYPE GetLogLevel(ULONG* pLevel) override {
    if (pLevel == nullptr) return RPC_X_NULL_REF_POINTER;
    CallValue values[1];
    HRESULT result = Call(10, values);
    *pLevel = values[0].number;
    return result;
  }
  HRESULT STDMETHODCALLTYPE SetLogLevel(ULONG ulLevel) override {
    CallValue values[1];
    values[0].number = ulLevel;
    return Call(11, values);
  }
  HRESULT STDMETHODCALLTYPE SetComponentLogLevel(ULONG ulComponent, ULONG ulLogLevel) override {
    CallValue values[2];
    values[0].number = ulComponent;
    values[1].number = ulLogLevel;
    return Call(12, values);
  }
  HRESULT STDMETHODCALLTYPE GetComponentLogLevel(ULONG ulComponent, ULONG* pulLogLevel) override {
    if (pulLogLevel == nullptr) return RPC_X_NULL_REF_POINTER;
    CallValue values[2];
    values[0].number = ulComponent;
    HRESULT result = Call(13, values);
    if (SUCCEEDED(result)) *pulLogLevel = values[1].number;
    return result;
  }
  HRESULT STDMETHODCALLTYPE ResetLogs() override { return Call(14, nullptr); }
  HRESULT STDMETHODCALLTYPE LogMsg(USHORT uSource, USHORT uLevel, BSTR bsMsg) override {
    CallValue values[3];
    values[0].number = uSource;
    values[1].number = uLevel;
    values[2].text = bsMsg;
    return Call(15, values);
  }

  HRESULT STDMETHODCALLTYPE SendLogMsg(USHORT uSource, USHORT uLevel, BSTR bsMsg) override {
    CallValue values[3];
    values[0].number = uSource;
    values[1].number = uLevel;
    values[2].text = bsMsg;
    return channel_.Send(TraceLogManagerInterface(), *Method(15), values);
  }
  HRESULT STDMETHODCALLTYPE ReceiveResults(ULONG count, HRESULT* results) override {
    if (results == nullptr && count != 0) return E_POINTER;
    return channel_.Receive(std::span<HRESULT>(results, count));
  }
  ULONG STDMETHODCALLTYPE Outstanding() override { return static_cast<ULONG>(channel_.Outstanding()); }

 private:
  // The interface's methods are described in slot order, one slot each.
  static const platform::MethodDescription* Method(int slot) {
    static const std::span<const platform::MethodDescription> methods = TraceLogManagerInterface().methods;
    return &methods[static_cast<std::size_t>(slot - methods.front().slot)];
  }

  HRESULT Call(int slot, CallValue* values) {
    CallValue none[1];
    return channel_.Call(TraceLogManagerInterface(), *Method(slot), values != nullptr ? values : none);
  }

  IUnknown* outer_;
  platform::ComChannel& channel_;
};

}  // namespace

std::unique_ptr<platform::InterfaceProxy> MakeTraceLogManagerProxy(IUnknown* outer, platform::ComChannel& channel) {
  return std::make_unique<TraceLogManagerProxy>(outer, channel);
}

}  // namespace wl
