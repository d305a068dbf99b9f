// ITraceLogManager for the Linux build: the interface of ScribeHost.idl as a
// C++ abstract class, with the same method order and types as the header
// widl makes from the IDL for the Windows build, and the identifiers under
// the same names.
#pragma once

#include "com/com.h"

extern const GUID LIBID_ScribeHostLib;
extern const CLSID CLSID_TraceLogManager;
extern const IID IID_ITraceLogManager;

struct ITraceLogManager : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Initialize() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE LogMessage(ULONG ulSource, ULONG ulLevel, BSTR bsMsg, SHORT bFlush) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLogLevel(ULONG* pLevel) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetLogLevel(ULONG ulLevel) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetComponentLogLevel(ULONG ulComponent, ULONG ulLogLevel) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetComponentLogLevel(ULONG ulComponent, ULONG* pulLogLevel) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetLogs() = 0;
  virtual HRESULT STDMETHODCALLTYPE LogMsg(USHORT uSource, USHORT uLevel, BSTR bsMsg) = 0;
};
