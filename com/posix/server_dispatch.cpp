#include "com/posix/server_dispatch.h"

#include <unistd.h>

#include <cstring>

#include "com/posix/runtime.h"
#include "com/posix/type_info.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/trust.h"

namespace wl::platform {
namespace posix {
namespace {

using comframe::Frame;
using comframe::FrameKind;
using comframe::ReadStatus;

// Interfaces one connection may hold; a client asking for more gets
// E_OUTOFMEMORY.
constexpr std::size_t kMaxFaces = 64;

// The dispatcher whose call the thread is making, for GetComCaller.
thread_local const Dispatcher* servingCall = nullptr;

HRESULT CreateInstance(const CLSID& clsid, const IID& iid, IUnknown** object) {
  IUnknown* classObject = FindLocalClassObject(clsid);
  if (classObject == nullptr) return CO_E_SERVER_EXEC_FAILURE;
  IClassFactory* factory = nullptr;
  HRESULT result = classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
  classObject->Release();
  if (FAILED(result)) return result;
  result = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(object));
  factory->Release();
  return result;
}

// A BSTR argument lives in a buffer of the serving thread, laid out as
// SysAllocStringLen lays it out (the callee only reads it and never
// frees it), so that a call costs no allocation.
BSTR ThreadBstr(int index, const comframe::FrameValue& value) {
  thread_local std::vector<std::uint32_t> buffers[kMaxCallParams];
  std::vector<std::uint32_t>& buffer = buffers[index];
  std::size_t bytes = 2 * static_cast<std::size_t>(value.textLength);
  buffer.resize(1 + (bytes + 2 + 3) / 4);
  buffer[0] = static_cast<std::uint32_t>(bytes);
  BSTR text = reinterpret_cast<BSTR>(buffer.data() + 1);
  // The wire's UTF-16LE is the memory order of this machine.
  if (bytes != 0) std::memcpy(text, value.text, bytes);
  text[value.textLength] = 0;
  return text;
}

}  // namespace

Dispatcher::~Dispatcher() {
  for (IUnknown* face : faces_) face->Release();
}

bool Dispatcher::Answer(std::span<const std::uint8_t> input, comframe::FrameBuffer& output, std::size_t* used,
                        std::wstring* error) {
  std::size_t offset = 0;
  Frame frame;
  for (;;) {
    std::size_t size = 0;
    ReadStatus status = comframe::ReadFrame(input.subspan(offset), &frame, &size, error);
    if (status == ReadStatus::kInvalid) return false;
    // The buffer grows with the bytes that come, not with what a header
    // announces, so a client cannot make the server reserve memory for
    // frames it never sends.
    if (status == ReadStatus::kIncomplete) break;
    if (!Handle(frame, output, error)) return false;
    offset += size;
  }
  *used = offset;
  return true;
}

bool Dispatcher::Handle(const Frame& frame, comframe::FrameBuffer& output, std::wstring* error) {
  switch (frame.kind) {
    case FrameKind::kActivate:
    case FrameKind::kQuery: {
      if (frame.count != 1 || frame.values[0].tag != comframe::kTagGuid) {
        *error = L"interface request without an interface identifier";
        return false;
      }
      bool activate = frame.kind == FrameKind::kActivate;
      if (activate == activated_) {
        *error = activate ? L"second activation" : L"interface request before the activation";
        return false;
      }
      const IID& iid = frame.values[0].guid;
      IUnknown* object = nullptr;
      HRESULT result = E_OUTOFMEMORY;
      if (faces_.size() < kMaxFaces) {
        result = activate ? CreateInstance(clsid_, iid, &object)
                          : faces_[0]->QueryInterface(iid, reinterpret_cast<void**>(&object));
      }
      auto face = static_cast<std::uint16_t>(faces_.size());
      if (SUCCEEDED(result) && object != nullptr) {
        faces_.push_back(object);
        descriptions_.push_back(FindBuiltInInterface(iid));
        activated_ = true;
      }
      comframe::AppendFaceReply(output, result, face);
      return true;
    }
    case FrameKind::kCall: {
      if (frame.face >= faces_.size() || descriptions_[frame.face] == nullptr) {
        *error = L"call on unknown interface " + std::to_wstring(frame.face);
        return false;
      }
      const MethodDescription* method = FindMethodBySlot(*descriptions_[frame.face], frame.method);
      if (method == nullptr) {
        *error = L"call of unknown method " + std::to_wstring(frame.method);
        return false;
      }
      if (!comframe::CheckCallValues(frame, *method, error)) return false;
      Call(frame, *method, output);
      return true;
    }
    case FrameKind::kReply:
      *error = L"reply frame from a client";
      return false;
  }
  return false;
}

void Dispatcher::Call(const Frame& frame, const MethodDescription& method, comframe::FrameBuffer& output) {
  CallValue* values = values_;
  int index = 0;
  for (std::size_t i = 0; i < method.params.size(); ++i) {
    values[i] = CallValue{};
    if (method.params[i].out) continue;
    const comframe::FrameValue& value = frame.values[index++];
    if (method.params[i].type != VT_BSTR) {
      values[i].number = value.number;
    } else if (!value.nullText) {
      values[i].text = ThreadBstr(static_cast<int>(i), value);
    }
  }
  servingCall = this;
  HRESULT result = method.call(faces_[frame.face], values);
  servingCall = nullptr;
  comframe::AppendReply(output, result, &method, values);
}

}  // namespace posix

ComCaller GetComCaller() {
  if (const posix::Dispatcher* dispatcher = posix::servingCall) {
    const posix::ComPeer& peer = dispatcher->Peer();
    return {peer.system, posix::UserSidString(peer.uid), peer.pid};
  }
  return {posix::ProcessIsSystem(), posix::ProcessUserSidString(), static_cast<std::uint32_t>(getpid())};
}

}  // namespace wl::platform
