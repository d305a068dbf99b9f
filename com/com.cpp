// The portable part of the COM layer: BSTR conversions, GUID text and the
// look-ups in a type library description.
#include "com/com.h"

#include "platform/text.h"

namespace wl::platform {

BSTR BstrFromWide(std::wstring_view text) {
  std::u16string units = Utf16FromWide(text);
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(units.data()), static_cast<UINT>(units.size()));
}

std::wstring WideFromBstr(BSTR text) {
  if (text == nullptr) return {};
  return WideFromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text), SysStringLen(text)));
}

std::wstring_view ViewOfBstr(BSTR text, std::wstring& scratch) {
  if (text == nullptr) return {};
  if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
    return std::wstring_view(reinterpret_cast<const wchar_t*>(text), SysStringLen(text));
  } else {
    scratch.clear();
    std::u16string_view units(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
    scratch = WideFromUtf16(units);
    return scratch;
  }
}

std::wstring GuidText(const GUID& guid) {
  std::wstring text = L"{";
  auto hex = [&](std::uint32_t value, int digits) { AppendHex(text, value, digits, HexCase::kUpper); };
  hex(guid.Data1, 8);
  text.push_back(L'-');
  hex(guid.Data2, 4);
  text.push_back(L'-');
  hex(guid.Data3, 4);
  text.push_back(L'-');
  hex(guid.Data4[0], 2);
  hex(guid.Data4[1], 2);
  text.push_back(L'-');
  for (int i = 2; i < 8; ++i) hex(guid.Data4[i], 2);
  text.push_back(L'}');
  return text;
}

bool ParseGuid(std::wstring_view text, GUID* guid) {
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  std::uint8_t bytes[16];
  int count = 0;
  for (std::size_t i = 1; i + 1 < text.size();) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != L'-') return false;
      ++i;
      continue;
    }
    int value = 0;
    for (int k = 0; k < 2; ++k, ++i) {
      wchar_t c = text[i];
      int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                  : c >= L'a' && c <= L'f' ? c - L'a' + 10
                  : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                           : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    if (count == 16) return false;
    bytes[count++] = static_cast<std::uint8_t>(value);
  }
  if (count != 16) return false;
  guid->Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
                static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  guid->Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
  return true;
}

const MethodDescription* FindMethodBySlot(const InterfaceDescription& description, int slot) {
  // The methods are described in slot order, one slot each.
  if (!description.methods.empty()) {
    auto index = static_cast<std::size_t>(slot - description.methods.front().slot);
    if (index < description.methods.size() && description.methods[index].slot == slot) {
      return &description.methods[index];
    }
  }
  for (const MethodDescription& method : description.methods) {
    if (method.slot == slot) return &method;
  }
  return nullptr;
}

const MethodDescription* FindMethodByDispid(const InterfaceDescription& description, DISPID dispid) {
  for (const MethodDescription& method : description.methods) {
    if (method.dispid == dispid) return &method;
  }
  return nullptr;
}

}  // namespace wl::platform
