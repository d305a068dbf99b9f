// The frames of the Linux COM transport: pure encoding and decoding, with
// no system calls, so that the decoder can be fuzzed on its own.
//
// Every message is one frame, all numbers little-endian:
//   u32 length   bytes after this field (header and values)
//   u8  kind     FrameKind
//   u8  0
//   u16 face     the interface's number on the connection (calls)
//   u16 method   the vtable slot (calls)
//   u16 count    number of values that follow (at most kMaxFrameValues)
//   values       each a u8 tag and its data:
//                VT_UI4 u32 | VT_UI2 u16 | VT_I2 i16 | VT_ERROR i32 |
//                VT_BSTR u32 character count (0xFFFFFFFF: null) and that
//                many UTF-16LE code units | VT_CLSID 16 bytes of a GUID
// A reply carries the HRESULT as its first value (VT_ERROR), then the
// [out] values. A frame of more than kMaxFrameBytes in all is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "com/com.h"

namespace wl::platform::comframe {

inline constexpr std::size_t kMaxFrameBytes = 4u << 20;
inline constexpr std::size_t kHeaderBytes = 12;
inline constexpr int kMaxFrameValues = kMaxCallParams + 1;
inline constexpr std::uint8_t kTagGuid = 72;  // VT_CLSID
inline constexpr std::uint32_t kNullText = 0xFFFFFFFFu;

enum class FrameKind : std::uint8_t {
  kActivate = 1,  // client: GUID of the requested interface
  kQuery = 2,     // client: GUID of the requested interface
  kCall = 3,      // client: face, method, [in] values
  kReply = 4,     // server: HRESULT, then the [out] values or the face number
};

struct FrameValue {
  std::uint8_t tag = 0;
  std::uint32_t number = 0;
  // The UTF-16LE bytes of a text, inside the input.
  const std::uint8_t* text = nullptr;
  std::uint32_t textLength = 0;  // in code units
  bool nullText = false;
  GUID guid{};  // set for a value of kTagGuid only
};

struct Frame {
  FrameKind kind = FrameKind::kCall;
  std::uint16_t face = 0;
  std::uint16_t method = 0;
  int count = 0;
  FrameValue values[kMaxFrameValues];
};

enum class ReadStatus { kComplete, kIncomplete, kInvalid };

// Reads the frame at the start of input. kComplete stores it (its texts
// point into input) and its size in *size; kIncomplete asks for more bytes
// (*size is then the whole frame's size when the header is in, else 0);
// kInvalid stores the reason in *error.
ReadStatus ReadFrame(std::span<const std::uint8_t> input, Frame* frame, std::size_t* size, std::wstring* error);

// A reply that carries only its HRESULT, the reply to a call without [out]
// values (every pipelined LogMsg gets one). A client reads a thousand of them
// at a time, so it looks for this shape before it reads a frame in full.
inline constexpr std::size_t kPlainReplyBytes = 17;
// True, with the HRESULT, when input starts with such a reply.
bool ReadPlainReply(std::span<const std::uint8_t> input, HRESULT* result);

// Frames waiting to be sent. Growing it leaves the new bytes as they are
// (each encoder writes every byte it adds), so that a frame costs no
// clearing of memory; the bytes are kept for the next frames after clear().
class FrameBuffer {
 public:
  [[nodiscard]] const char* data() const { return bytes_.get(); }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  // Gives the memory back when nothing is in it and it holds more than
  // `keep` bytes.
  void Trim(std::size_t keep) {
    if (size_ != 0 || capacity_ <= keep) return;
    bytes_.reset();
    capacity_ = 0;
  }
  [[nodiscard]] std::string_view View() const { return {bytes_.get(), size_}; }
  // Adds `count` bytes at the end and returns where they start.
  char* Extend(std::size_t count) {
    if (capacity_ - size_ < count) Grow(count);
    char* added = bytes_.get() + size_;
    size_ += count;
    return added;
  }

 private:
  void Grow(std::size_t count);

  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// What a method's call frames take from its description, worked out once so
// that a client that sends many calls does not go through the parameters
// for each: the header as sent (the length and the face are set per call),
// and the parameter and type of each [in] value.
struct CallPlan {
  const MethodDescription* method = nullptr;
  std::uint8_t header[kHeaderBytes] = {};
  int count = 0;
  std::uint8_t params[kMaxCallParams] = {};
  VARTYPE types[kMaxCallParams] = {};
};
CallPlan PlanCall(const MethodDescription& method);

// Appending encoders; each writes one whole frame at the end of out.
void AppendGuidFrame(FrameBuffer& out, FrameKind kind, const GUID& guid);
// A call with the [in] values of the method's parameters; the same bytes
// either way.
void AppendCall(FrameBuffer& out, std::uint16_t face, const MethodDescription& method, const CallValue* values);
void AppendCall(FrameBuffer& out, std::uint16_t face, const CallPlan& plan, const CallValue* values);
// A reply with the [out] values of the method's parameters (none when method
// is null).
void AppendReply(FrameBuffer& out, HRESULT result, const MethodDescription* method, const CallValue* values);
// The reply to an activation or query: the HRESULT and the face number.
void AppendFaceReply(FrameBuffer& out, HRESULT result, std::uint16_t face);

// Checks a call frame's values against the method's [in] parameters: same
// count, same tags. False, with the reason in *problem, when they differ.
bool CheckCallValues(const Frame& frame, const MethodDescription& method, std::wstring* problem);

}  // namespace wl::platform::comframe
