#include "com/com_frame.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace wl::platform::comframe {
namespace {

std::uint32_t Read32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Writes one frame into bytes added at the end of a buffer: the frame's
// size is known before it is written, so the buffer grows once.
class FrameWriter {
 public:
  FrameWriter(FrameBuffer& out, std::size_t valueBytes, FrameKind kind, std::uint16_t face, std::uint16_t method,
              std::uint16_t count)
      : p_(reinterpret_cast<std::uint8_t*>(out.Extend(kHeaderBytes + valueBytes))) {
    Put32(static_cast<std::uint32_t>(kHeaderBytes - 4 + valueBytes));
    Put8(static_cast<std::uint8_t>(kind));
    Put8(0);
    Put16(face);
    Put16(method);
    Put16(count);
  }

  // A call's header from its plan's template.
  FrameWriter(FrameBuffer& out, std::size_t valueBytes, const std::uint8_t (&header)[kHeaderBytes], std::uint16_t face)
      : p_(reinterpret_cast<std::uint8_t*>(out.Extend(kHeaderBytes + valueBytes))) {
    std::memcpy(p_, header, kHeaderBytes);
    Put32(static_cast<std::uint32_t>(kHeaderBytes - 4 + valueBytes));
    p_ += 2;
    Put16(face);
    p_ += 4;
  }

  void Put8(std::uint8_t value) { *p_++ = value; }
  void Put16(std::uint16_t value) { PutLittle(value); }
  void Put32(std::uint32_t value) { PutLittle(value); }

  void PutGuid(const GUID& guid) {
    Put32(guid.Data1);
    Put16(guid.Data2);
    Put16(guid.Data3);
    std::memcpy(p_, guid.Data4, 8);
    p_ += 8;
  }

  // The code units of a text.
  void PutUnits(const OLECHAR* text, std::uint32_t length) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p_, text, 2 * static_cast<std::size_t>(length));
      p_ += 2 * static_cast<std::size_t>(length);
    } else {
      for (std::uint32_t i = 0; i < length; ++i) Put16(static_cast<std::uint16_t>(text[i]));
    }
  }

 private:
  template <typename Number>
  void PutLittle(Number value) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p_, &value, sizeof(value));
    } else {
      for (std::size_t i = 0; i < sizeof(value); ++i) p_[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    p_ += sizeof(value);
  }

  std::uint8_t* p_;
};

// The values of a frame, each type looked at once and gathered into locals
// before the frame is written: the writing goes through a byte pointer, which
// the compiler must assume could change anything it would read in between.
class FrameValues {
 public:
  void Add(VARTYPE type, const CallValue& value) {
    auto base = static_cast<VARTYPE>(type & ~VT_BYREF);
    Value& added = values_[count_++];
    added.tag = static_cast<std::uint8_t>(base);
    if (base == VT_BSTR) {
      added.kind = kText;
      added.text = value.text;
      added.number = value.text == nullptr ? kNullText : SysStringLen(value.text);
      bytes_ += 5 + (added.number == kNullText ? 0 : 2 * static_cast<std::size_t>(added.number));
    } else {
      added.kind = base == VT_UI2 || base == VT_I2 ? k16 : k32;
      added.number = value.number;
      bytes_ += added.kind == k16 ? 3 : 5;
    }
  }

  [[nodiscard]] std::uint16_t count() const { return static_cast<std::uint16_t>(count_); }
  [[nodiscard]] std::size_t bytes() const { return bytes_; }

  void Write(FrameWriter& writer) const {
    for (int i = 0; i < count_; ++i) {
      const Value& value = values_[i];
      writer.Put8(value.tag);
      if (value.kind == k16) {
        writer.Put16(static_cast<std::uint16_t>(value.number));
      } else {
        writer.Put32(value.number);  // a text's length
        if (value.kind == kText && value.number != kNullText) writer.PutUnits(value.text, value.number);
      }
    }
  }

 private:
  enum Kind : std::uint8_t { k16, k32, kText };
  struct Value {
    Kind kind;
    std::uint8_t tag;
    std::uint32_t number;
    const OLECHAR* text;
  };
  Value values_[kMaxFrameValues];
  int count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace

void FrameBuffer::Grow(std::size_t count) {
  std::size_t capacity = std::max({capacity_ * 2, size_ + count, std::size_t{4096}});
  std::unique_ptr<char[]> bytes(new char[capacity]);
  if (size_ != 0) std::memcpy(bytes.get(), bytes_.get(), size_);
  bytes_ = std::move(bytes);
  capacity_ = capacity;
}

ReadStatus ReadFrame(std::span<const std::uint8_t> input, Frame* frame, std::size_t* size, std::wstring* error) {
  *size = 0;
  if (input.size() < 4) return ReadStatus::kIncomplete;
  std::uint32_t length = Read32(input.data());
  if (length < kHeaderBytes - 4) {
    *error = L"frame length " + std::to_wstring(length) + L" shorter than a header";
    return ReadStatus::kInvalid;
  }
  if (length > kMaxFrameBytes - 4) {
    *error =
        L"frame length " + std::to_wstring(length) + L" past the maximum of " + std::to_wstring(kMaxFrameBytes - 4);
    return ReadStatus::kInvalid;
  }
  std::size_t total = 4 + static_cast<std::size_t>(length);
  if (input.size() < total) {
    *size = total;
    return ReadStatus::kIncomplete;
  }
  const std::uint8_t* p = input.data() + 4;
  const std::uint8_t* end = input.data() + total;
  std::uint8_t kind = p[0];
  if (kind < static_cast<std::uint8_t>(FrameKind::kActivate) || kind > static_cast<std::uint8_t>(FrameKind::kReply) ||
      p[1] != 0) {
    *error = L"unknown frame kind " + std::to_wstring(kind);
    return ReadStatus::kInvalid;
  }
  frame->kind = static_cast<FrameKind>(kind);
  frame->face = Read16(p + 2);
  frame->method = Read16(p + 4);
  std::uint16_t count = Read16(p + 6);
  if (count > kMaxFrameValues) {
    *error = L"frame with " + std::to_wstring(count) + L" values";
    return ReadStatus::kInvalid;
  }
  frame->count = count;
  p += kHeaderBytes - 4;
  for (int i = 0; i < count; ++i) {
    // Only the fields of the value's type are set; a GUID is kept as it was
    // unless the value is one.
    FrameValue& value = frame->values[i];
    value.number = 0;
    value.text = nullptr;
    value.textLength = 0;
    value.nullText = false;
    if (p >= end) {
      *error = L"value " + std::to_wstring(i) + L" past the end of the frame";
      return ReadStatus::kInvalid;
    }
    value.tag = *p++;
    std::size_t left = static_cast<std::size_t>(end - p);
    switch (value.tag) {
      case VT_UI2:
      case VT_I2:
        if (left < 2) {
          *error = L"value " + std::to_wstring(i) + L" past the end of the frame";
          return ReadStatus::kInvalid;
        }
        value.number =
            value.tag == VT_I2 ? static_cast<std::uint32_t>(static_cast<std::int16_t>(Read16(p))) : Read16(p);
        p += 2;
        break;
      case VT_UI4:
      case VT_ERROR:
        if (left < 4) {
          *error = L"value " + std::to_wstring(i) + L" past the end of the frame";
          return ReadStatus::kInvalid;
        }
        value.number = Read32(p);
        p += 4;
        break;
      case VT_BSTR: {
        if (left < 4) {
          *error = L"text " + std::to_wstring(i) + L" past the end of the frame";
          return ReadStatus::kInvalid;
        }
        std::uint32_t units = Read32(p);
        p += 4;
        if (units == kNullText) {
          value.nullText = true;
          break;
        }
        if (units > (left - 4) / 2) {
          *error = L"text of " + std::to_wstring(units) + L" characters past the end of the frame";
          return ReadStatus::kInvalid;
        }
        value.text = p;
        value.textLength = units;
        p += 2 * static_cast<std::size_t>(units);
        break;
      }
      case kTagGuid:
        if (left < 16) {
          *error = L"value " + std::to_wstring(i) + L" past the end of the frame";
          return ReadStatus::kInvalid;
        }
        value.guid.Data1 = Read32(p);
        value.guid.Data2 = Read16(p + 4);
        value.guid.Data3 = Read16(p + 6);
        std::memcpy(value.guid.Data4, p + 8, 8);
        p += 16;
        break;
      default:
        *error = L"value " + std::to_wstring(i) + L" of unknown type " + std::to_wstring(value.tag);
        return ReadStatus::kInvalid;
    }
  }
  if (p != end) {
    *error = std::to_wstring(end - p) + L" bytes after the values of the frame";
    return ReadStatus::kInvalid;
  }
  *size = total;
  return ReadStatus::kComplete;
}

bool ReadPlainReply(std::span<const std::uint8_t> input, HRESULT* result) {
  static constexpr std::uint8_t kHead[kPlainReplyBytes - 4] = {
      kPlainReplyBytes - 4, 0, 0, 0, static_cast<std::uint8_t>(FrameKind::kReply), 0, 0, 0, 0, 0, 1, 0, VT_ERROR};
  if (input.size() < kPlainReplyBytes || std::memcmp(input.data(), kHead, sizeof(kHead)) != 0) return false;
  *result = static_cast<HRESULT>(Read32(input.data() + sizeof(kHead)));
  return true;
}

void AppendGuidFrame(FrameBuffer& out, FrameKind kind, const GUID& guid) {
  FrameWriter writer(out, 17, kind, 0, 0, 1);
  writer.Put8(kTagGuid);
  writer.PutGuid(guid);
}

CallPlan PlanCall(const MethodDescription& method) {
  CallPlan plan;
  plan.method = &method;
  for (std::size_t i = 0; i < method.params.size(); ++i) {
    if (method.params[i].out) continue;
    plan.params[plan.count] = static_cast<std::uint8_t>(i);
    plan.types[plan.count] = method.params[i].type;
    ++plan.count;
  }
  FrameBuffer header;
  FrameWriter writer(header, 0, FrameKind::kCall, 0, static_cast<std::uint16_t>(method.slot),
                     static_cast<std::uint16_t>(plan.count));
  std::memcpy(plan.header, header.data(), kHeaderBytes);
  return plan;
}

void AppendCall(FrameBuffer& out, std::uint16_t face, const CallPlan& plan, const CallValue* values) {
  FrameValues in;
  for (int i = 0; i < plan.count; ++i) in.Add(plan.types[i], values[plan.params[i]]);
  FrameWriter writer(out, in.bytes(), plan.header, face);
  in.Write(writer);
}

void AppendCall(FrameBuffer& out, std::uint16_t face, const MethodDescription& method, const CallValue* values) {
  FrameValues in;
  for (std::size_t i = 0; i < method.params.size(); ++i) {
    if (!method.params[i].out) in.Add(method.params[i].type, values[i]);
  }
  FrameWriter writer(out, in.bytes(), FrameKind::kCall, face, static_cast<std::uint16_t>(method.slot), in.count());
  in.Write(writer);
}

void AppendReply(FrameBuffer& out, HRESULT result, const MethodDescription* method, const CallValue* values) {
  FrameValues outValues;
  if (method != nullptr) {
    for (std::size_t i = 0; i < method->params.size(); ++i) {
      if (method->params[i].out) outValues.Add(method->params[i].type, values[i]);
    }
  }
  FrameWriter writer(out, 5 + outValues.bytes(), FrameKind::kReply, 0, 0,
                     static_cast<std::uint16_t>(1 + outValues.count()));
  writer.Put8(VT_ERROR);
  writer.Put32(static_cast<std::uint32_t>(result));
  outValues.Write(writer);
}

void AppendFaceReply(FrameBuffer& out, HRESULT result, std::uint16_t face) {
  FrameWriter writer(out, 8, FrameKind::kReply, 0, 0, 2);
  writer.Put8(VT_ERROR);
  writer.Put32(static_cast<std::uint32_t>(result));
  writer.Put8(VT_UI2);
  writer.Put16(face);
}

bool CheckCallValues(const Frame& frame, const MethodDescription& method, std::wstring* problem) {
  int index = 0;
  std::size_t position = 0;
  for (; position < method.params.size(); ++position) {
    const ParamDescription& param = method.params[position];
    if (param.out) continue;
    if (index >= frame.count) break;
    if (frame.values[index].tag != static_cast<std::uint8_t>(param.type & ~VT_BYREF)) {
      *problem = L"argument " + std::to_wstring(index + 1) + L" of " + std::wstring(method.name) + L" of type " +
                 std::to_wstring(frame.values[index].tag);
      return false;
    }
    ++index;
  }
  // Fewer values than [in] parameters, or more.
  if (position != method.params.size() || index != frame.count) {
    *problem = L"call of " + std::wstring(method.name) + L" with " + std::to_wstring(frame.count) + L" arguments";
    return false;
  }
  return true;
}

}  // namespace wl::platform::comframe
