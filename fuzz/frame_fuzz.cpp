// Fuzzes the frame decoder of the Linux COM transport: the bytes are a
// stream from a peer, read frame by frame as a server connection reads it,
// until a frame is refused or the bytes end inside one. Besides crashes and
// undefined behaviour it checks that every accepted frame lies inside the
// stream, that each of its shorter beginnings asks for more bytes, and that
// a frame of a shape our encoders write (an activation, a query, a call of
// ITraceLogManager, a reply) encodes back to exactly the bytes it came
// from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "com/com.h"
#include "com/com_frame.h"
#include "logclient/trace_log_manager_type.h"

namespace {

using namespace wl::platform;
using namespace wl::platform::comframe;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Whether the frame's values have the tags of the method's [in] (or, for a
// reply after its HRESULT, [out]) parameters.
bool Matches(const Frame& frame, int first, const MethodDescription& method, bool out) {
  int index = first;
  for (const ParamDescription& param : method.params) {
    if (param.out != out) continue;
    if (index >= frame.count || frame.values[index].tag != static_cast<std::uint8_t>(param.type & ~VT_BYREF)) {
      return false;
    }
    ++index;
  }
  return index == frame.count;
}

// The values of the method's parameters taken from the frame; texts become
// BSTRs that the caller frees.
void TakeValues(const Frame& frame, int first, const MethodDescription& method, bool out, CallValue* values) {
  int index = first;
  for (std::size_t i = 0; i < method.params.size(); ++i) {
    if (method.params[i].out != out) continue;
    const FrameValue& value = frame.values[index++];
    values[i].number = value.number;
    if (value.tag == VT_BSTR && !value.nullText) {
      std::u16string units(value.textLength, u'\0');
      if (value.textLength != 0) std::memcpy(units.data(), value.text, 2 * std::size_t{value.textLength});
      values[i].text = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(units.data()), value.textLength);
    }
  }
}

void FreeValues(CallValue* values) {
  for (int i = 0; i < kMaxCallParams; ++i) SysFreeString(values[i].text);
}

// The frame encoded again by our encoders, or false when no encoder writes
// a frame of its shape.
bool Encode(const Frame& frame, FrameBuffer* out) {
  const InterfaceDescription& face = wl::TraceLogManagerInterface();
  switch (frame.kind) {
    case FrameKind::kActivate:
    case FrameKind::kQuery:
      if (frame.count != 1 || frame.values[0].tag != kTagGuid || frame.face != 0 || frame.method != 0) return false;
      AppendGuidFrame(*out, frame.kind, frame.values[0].guid);
      return true;
    case FrameKind::kCall: {
      const MethodDescription* method = FindMethodBySlot(face, frame.method);
      if (method == nullptr) return false;
      // The server's own check and the shape the encoder writes agree.
      std::wstring problem;
      bool matches = CheckCallValues(frame, *method, &problem);
      Check(matches == Matches(frame, 0, *method, false));
      if (!matches) return false;
      CallValue values[kMaxCallParams];
      TakeValues(frame, 0, *method, false, values);
      AppendCall(*out, frame.face, *method, values);
      FreeValues(values);
      return true;
    }
    case FrameKind::kReply: {
      if (frame.face != 0 || frame.method != 0 || frame.count == 0 || frame.values[0].tag != VT_ERROR) return false;
      auto result = static_cast<HRESULT>(frame.values[0].number);
      if (frame.count == 1) {
        AppendReply(*out, result, nullptr, nullptr);
        return true;
      }
      if (frame.count == 2 && frame.values[1].tag == VT_UI2) {
        AppendFaceReply(*out, result, static_cast<std::uint16_t>(frame.values[1].number));
        return true;
      }
      for (const MethodDescription& method : face.methods) {
        if (!Matches(frame, 1, method, true)) continue;
        CallValue values[kMaxCallParams];
        TakeValues(frame, 1, method, true, values);
        AppendReply(*out, result, &method, values);
        FreeValues(values);
        return true;
      }
      return false;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> stream(data, size);
  std::size_t offset = 0;
  Frame frame;
  for (;;) {
    std::span<const std::uint8_t> input = stream.subspan(offset);
    std::size_t frameSize = 0;
    std::wstring error;
    ReadStatus status = ReadFrame(input, &frame, &frameSize, &error);
    if (status == ReadStatus::kInvalid) {
      Check(!error.empty());
      break;
    }
    if (status == ReadStatus::kIncomplete) {
      // The announced size is past the bytes there are, never before them.
      Check(frameSize == 0 ? input.size() < 4 : frameSize > input.size() && frameSize <= kMaxFrameBytes);
      break;
    }
    Check(frameSize >= kHeaderBytes && frameSize <= input.size() && frameSize <= kMaxFrameBytes);
    Check(frame.count >= 0 && frame.count <= kMaxFrameValues);
    for (int i = 0; i < frame.count; ++i) {
      const FrameValue& value = frame.values[i];
      if (value.tag != VT_BSTR || value.nullText) continue;
      Check(value.text >= input.data() + kHeaderBytes &&
            value.text + 2 * std::size_t{value.textLength} <= input.data() + frameSize);
    }
    // Every shorter beginning of the frame asks for the rest.
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{4}, kHeaderBytes, frameSize - 1}) {
      if (cut >= frameSize) continue;
      Frame partial;
      std::size_t partialSize = 0;
      std::wstring partialError;
      Check(ReadFrame(input.first(cut), &partial, &partialSize, &partialError) == ReadStatus::kIncomplete);
      Check(partialSize == (cut < 4 ? 0 : frameSize));
    }
    FrameBuffer encoded;
    if (Encode(frame, &encoded)) {
      Check(encoded.size() == frameSize && std::memcmp(encoded.data(), input.data(), frameSize) == 0);
    }
    offset += frameSize;
  }
  return 0;
}
