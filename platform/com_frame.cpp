#include "platform/com_frame.h"

#include <bit>
#include <cstring>

#include "platform/text.h"

namespace wl::platform::comframe {
namespace {

std::uint32_t Read32(const std::uint8_t* p) { return LoadLittleEndian32(p); }
std::uint16_t Read16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(LoadLittleEndian(std::span<const std::uint8_t>(p, 2)));
}

void Put8(std::string& out, std::uint8_t value) { out.push_back(static_cast<char>(value)); }
void Put16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}
void Put32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// Starts a frame; the length is filled in by EndFrame.
std::size_t BeginFrame(std::string& out, FrameKind kind, std::uint16_t face, std::uint16_t method,
                       std::uint16_t count) {
  std::size_t start = out.size();
  const char header[kHeaderBytes] = {0,
                                     0,
                                     0,
                                     0,
                                     static_cast<char>(kind),
                                     0,
                                     static_cast<char>(face & 0xFF),
                                     static_cast<char>(face >> 8),
                                     static_cast<char>(method & 0xFF),
                                     static_cast<char>(method >> 8),
                                     static_cast<char>(count & 0xFF),
                                     static_cast<char>(count >> 8)};
  out.append(header, kHeaderBytes);
  return start;
}

void EndFrame(std::string& out, std::size_t start) {
  auto length = static_cast<std::uint32_t>(out.size() - start - 4);
  for (int i = 0; i < 4; ++i) out[start + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

void PutGuid(std::string& out, const GUID& guid) {
  Put32(out, guid.Data1);
  Put16(out, guid.Data2);
  Put16(out, guid.Data3);
  for (std::uint8_t byte : guid.Data4) Put8(out, byte);
}

void PutValue(std::string& out, VARTYPE type, const CallValue& value) {
  VARTYPE base = static_cast<VARTYPE>(type & ~VT_BYREF);
  Put8(out, static_cast<std::uint8_t>(base));
  switch (base) {
    case VT_UI2:
    case VT_I2:
      Put16(out, static_cast<std::uint16_t>(value.number));
      break;
    case VT_BSTR: {
      if (value.text == nullptr) {
        Put32(out, kNullText);
        break;
      }
      std::uint32_t length = SysStringLen(value.text);
      Put32(out, length);
      if constexpr (std::endian::native == std::endian::little) {
        out.append(reinterpret_cast<const char*>(value.text), 2 * static_cast<std::size_t>(length));
      } else {
        for (std::uint32_t i = 0; i < length; ++i) Put16(out, static_cast<std::uint16_t>(value.text[i]));
      }
      break;
    }
    default:
      Put32(out, value.number);
      break;
  }
}

}  // namespace

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
    FrameValue& value = frame->values[i];
    value = FrameValue{};
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

void AppendGuidFrame(std::string& out, FrameKind kind, const GUID& guid) {
  std::size_t start = BeginFrame(out, kind, 0, 0, 1);
  Put8(out, kTagGuid);
  PutGuid(out, guid);
  EndFrame(out, start);
}

void AppendCall(std::string& out, std::uint16_t face, const MethodDescription& method, const CallValue* values) {
  std::uint16_t count = 0;
  for (const ParamDescription& param : method.params) count += param.out ? 0 : 1;
  std::size_t start = BeginFrame(out, FrameKind::kCall, face, static_cast<std::uint16_t>(method.slot), count);
  for (std::size_t i = 0; i < method.params.size(); ++i) {
    if (!method.params[i].out) PutValue(out, method.params[i].type, values[i]);
  }
  EndFrame(out, start);
}

void AppendReply(std::string& out, HRESULT result, const MethodDescription* method, const CallValue* values) {
  std::uint16_t count = 1;
  if (method != nullptr) {
    for (const ParamDescription& param : method->params) count += param.out ? 1 : 0;
  }
  std::size_t start = BeginFrame(out, FrameKind::kReply, 0, 0, count);
  Put8(out, VT_ERROR);
  Put32(out, static_cast<std::uint32_t>(result));
  if (method != nullptr) {
    for (std::size_t i = 0; i < method->params.size(); ++i) {
      if (method->params[i].out) PutValue(out, method->params[i].type, values[i]);
    }
  }
  EndFrame(out, start);
}

void AppendFaceReply(std::string& out, HRESULT result, std::uint16_t face) {
  std::size_t start = BeginFrame(out, FrameKind::kReply, 0, 0, 2);
  Put8(out, VT_ERROR);
  Put32(out, static_cast<std::uint32_t>(result));
  Put8(out, VT_UI2);
  Put16(out, face);
  EndFrame(out, start);
}

std::wstring CheckCallValues(const Frame& frame, const MethodDescription& method) {
  int index = 0;
  for (const ParamDescription& param : method.params) {
    if (param.out) continue;
    if (index >= frame.count) {
      return L"call of " + std::wstring(method.name) + L" with " + std::to_wstring(frame.count) + L" arguments";
    }
    if (frame.values[index].tag != static_cast<std::uint8_t>(param.type & ~VT_BYREF)) {
      return L"argument " + std::to_wstring(index + 1) + L" of " + std::wstring(method.name) + L" of type " +
             std::to_wstring(frame.values[index].tag);
    }
    ++index;
  }
  if (index != frame.count) {
    return L"call of " + std::wstring(method.name) + L" with " + std::to_wstring(frame.count) + L" arguments";
  }
  return {};
}

}  // namespace wl::platform::comframe
