// The client-side proxy of ITraceLogManager for the Linux transport, and the
// pipelined form of LogMsg that it offers to clients that send many
// messages. On Windows the COM runtime makes the proxies, and no object
// there answers ITraceLogManagerPipeline.
#pragma once

#include <memory>

#include "ScribeHost.h"
#include "com/com.h"

namespace wl {

// {C2E5A7B1-4F3D-4E8A-9B61-7D0C5A2E9F14}: asked of an ITraceLogManager; only
// a proxy of the Linux transport has it.
inline constexpr IID kTraceLogManagerPipelineIid{
    0xC2E5A7B1, 0x4F3D, 0x4E8A, {0x9B, 0x61, 0x7D, 0x0C, 0x5A, 0x2E, 0x9F, 0x14}};

// LogMsg calls that do not wait for their replies: many may be in flight on
// the connection, and their HRESULTs are collected in the order sent. Use
// from one thread at a time (the Logger's sender).
struct ITraceLogManagerPipeline : public IUnknown {
  // Queues a LogMsg call (the text is copied at once). S_OK, or
  // RPC_E_DISCONNECTED when the connection is gone.
  virtual HRESULT STDMETHODCALLTYPE SendLogMsg(USHORT uSource, USHORT uLevel, BSTR bsMsg) = 0;
  // Waits for the results of the count oldest calls sent and not yet
  // received, in order. E_INVALIDARG when fewer are outstanding.
  virtual HRESULT STDMETHODCALLTYPE ReceiveResults(ULONG count, HRESULT* results) = 0;
  // The number of calls sent and not yet received.
  virtual ULONG STDMETHODCALLTYPE Outstanding() = 0;
};

// InterfaceDescription::makeProxy of ITraceLogManager.
std::unique_ptr<platform::InterfaceProxy> MakeTraceLogManagerProxy(IUnknown* outer, platform::ComChannel& channel);

}  // namespace wl
